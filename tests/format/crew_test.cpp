// The crew runs every piece of every job exactly once, however the pieces outnumber its threads
// and whether they are given out or taken in turn, and a job within a job runs on threads of its
// own.
#include "format/crew.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#ifdef __linux__
#include <sched.h>
#endif

#include "format/frame_pieces.h"

namespace qxw {
namespace {

TEST(Crew, RunsEveryPieceOfEveryJobOnce) {
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    const CrewScope scope(threads);
    EXPECT_EQ(CrewScope::current() != nullptr, threads > 1);
    for (size_t count : {1u, 2u, 3u, 7u, 16u}) {
      for (int job = 0; job < 50; ++job) {
        std::vector<std::atomic<int>> ran(count);
        onThreads(count, [&](size_t k) { ran[k].fetch_add(1); });
        for (size_t k = 0; k < count; ++k) ASSERT_EQ(ran[k].load(), 1) << threads << " " << count;
        // Pieces taken in turn: each once, by a worker below both counts.
        std::vector<std::atomic<int>> taken(count);
        std::atomic<bool> badWorker{false};
        takeInTurn(threads, count, [&](size_t worker, size_t k) {
          if (worker >= std::min<size_t>(threads, count)) badWorker = true;
          taken[k].fetch_add(1);
        });
        EXPECT_FALSE(badWorker.load());
        for (size_t k = 0; k < count; ++k) ASSERT_EQ(taken[k].load(), 1) << threads << " " << count;
      }
    }
  }
  EXPECT_EQ(CrewScope::current(), nullptr);
}

TEST(Crew, RunsAJobWithinAJobAndPassesOnWhatAPieceThrows) {
  const CrewScope scope(3);
  std::atomic<int> inner{0};
  onThreads(3, [&](size_t) { onThreads(4, [&](size_t) { inner.fetch_add(1); }); });
  EXPECT_EQ(inner.load(), 12);
  EXPECT_THROW(onThreads(3,
                         [](size_t k) {
                           if (k == 2) throw std::bad_alloc();
                         }),
               std::bad_alloc);
  // The crew still serves after a piece threw.
  std::atomic<int> after{0};
  onThreads(3, [&](size_t) { after.fetch_add(1); });
  EXPECT_EQ(after.load(), 3);
}

#ifdef __linux__
// A crew's thread that steps off its maker's CPU may afterwards run on every CPU it could before,
// its own included.
TEST(Crew, AThreadThatLeavesItsCpuKeepsEveryCpuItHad) {
  cpu_set_t before, after;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  for (const int cpu : {currentCpu(), -1, CPU_SETSIZE - 1}) {
    leaveCpu(cpu);
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &after)) << cpu;
  }
}
#endif

}  // namespace
}  // namespace qxw
