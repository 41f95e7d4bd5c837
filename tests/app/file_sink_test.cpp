#include "app/file_sink.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/patched_output.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using qxw::testing::expectPatched;

void writePatched(FileSink& out) {
  qxw::testing::writePatched(out, [&](const uint8_t* data, size_t size) { out.write(data, size); });
}

TEST(FileSink, PatchesEarlierBytesInAFileAndInAPipe) {
  qxw::testing::TempDir dir;
  FileSink file;
  ASSERT_TRUE(file.create(dir.path("out.bin")));
  writePatched(file);
  EXPECT_TRUE(file.close());
  expectPatched(qxw::testing::readFile(dir.path("out.bin")));

  // A pipe cannot seek: the bytes wait in memory, patched there, and go out whole at close.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  FileSink pipe;
  pipe.attach(ends[1]);
  pipe.holdUntilClose();
  EXPECT_TRUE(pipe.isHeld());
  writePatched(pipe);
  ASSERT_TRUE(pipe.drain());
  expectPatched(pipe.held());
  // Abandoned (a verification failed, say), nothing at all goes out.
  pipe.abandon();
  EXPECT_TRUE(pipe.close());
  ::close(ends[1]);
  uint8_t byte = 0;
  EXPECT_EQ(::read(ends[0], &byte, 1), 0);
  ::close(ends[0]);
}

TEST(FileSink, ReportsAFailedWriteAtClose) {
  FileSink full;
  ASSERT_TRUE(full.create("/dev/full"));
  const uint8_t byte = 1;
  full.write(&byte, 1);
  EXPECT_FALSE(full.close());
}

}  // namespace
}  // namespace qxw
