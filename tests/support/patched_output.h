#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace qxw::testing {

// Writes 3 MiB (past any buffer), then 3 bytes, then overwrites 4 bytes near the start, as the
// size patch does; write(data, size) appends to out.
template <typename Out, typename Write>
void writePatched(Out& out, Write write) {
  const std::vector<uint8_t> block(3u << 20, 0xAB);
  write(block.data(), block.size());
  const uint8_t tail[] = {1, 2, 3};
  write(tail, 3);
  out.seekTo(10);
  const uint8_t patch[] = {9, 9, 9, 9};
  write(patch, 4);
}

inline void expectPatched(const std::vector<uint8_t>& bytes) {
  ASSERT_EQ(bytes.size(), (3u << 20) + 3);
  EXPECT_EQ(bytes[9], 0xAB);
  EXPECT_EQ(bytes[10], 9);
  EXPECT_EQ(bytes[13], 9);
  EXPECT_EQ(bytes[14], 0xAB);
  EXPECT_EQ(bytes.back(), 3);
}

}  // namespace qxw::testing
