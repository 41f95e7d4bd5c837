#include "output/output_stream.h"

#include <gtest/gtest.h>

#include "support/wav_files.h"

namespace qxw {
namespace {

// Writes 3 MiB (past the buffer), then overwrites 4 bytes near the start.
void writePatched(OutputStream& out) {
  std::vector<uint8_t> block(3u << 20, 0xAB);
  out.append(block.data(), block.size());
  const uint8_t tail[] = {1, 2, 3};
  out.append(tail, 3);
  EXPECT_EQ(out.position(), block.size() + 3);
  out.seekTo(10);
  const uint8_t patch[] = {9, 9, 9, 9};
  out.append(patch, 4);
  EXPECT_TRUE(out.close());
}

void expectPatched(const std::vector<uint8_t>& bytes) {
  ASSERT_EQ(bytes.size(), (3u << 20) + 3);
  EXPECT_EQ(bytes[9], 0xAB);
  EXPECT_EQ(bytes[10], 9);
  EXPECT_EQ(bytes[13], 9);
  EXPECT_EQ(bytes[14], 0xAB);
  EXPECT_EQ(bytes.back(), 3);
}

TEST(OutputStream, PatchesEarlierBytesInAFileAndInMemory) {
  qxw::testing::TempDir dir;
  OutputStream file;
  ASSERT_TRUE(file.create(dir.path("out.bin")));
  EXPECT_TRUE(file.isRegularFile());
  writePatched(file);
  expectPatched(qxw::testing::readFile(dir.path("out.bin")));

  OutputStream memory;
  memory.createInMemory();
  writePatched(memory);
  expectPatched(memory.contents());
}

TEST(OutputStream, ReportsAFailedWriteAtClose) {
  OutputStream full;
  ASSERT_TRUE(full.create("/dev/full"));
  EXPECT_FALSE(full.isRegularFile());
  const uint8_t byte = 1;
  full.append(&byte, 1);
  EXPECT_FALSE(full.close());
}

}  // namespace
}  // namespace qxw
