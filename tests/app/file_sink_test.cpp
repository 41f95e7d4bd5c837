#include "app/file_sink.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/wav_files.h"

namespace qxw {
namespace {

// Writes 3 MiB (past a block), then overwrites 4 bytes near the start.
void writePatched(FileSink& out) {
  std::vector<uint8_t> block(3u << 20, 0xAB);
  out.write(block.data(), block.size());
  const uint8_t tail[] = {1, 2, 3};
  out.write(tail, 3);
  out.seekTo(10);
  const uint8_t patch[] = {9, 9, 9, 9};
  out.write(patch, 4);
}

void expectPatched(const std::vector<uint8_t>& bytes) {
  ASSERT_EQ(bytes.size(), (3u << 20) + 3);
  EXPECT_EQ(bytes[9], 0xAB);
  EXPECT_EQ(bytes[10], 9);
  EXPECT_EQ(bytes[13], 9);
  EXPECT_EQ(bytes[14], 0xAB);
  EXPECT_EQ(bytes.back(), 3);
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
