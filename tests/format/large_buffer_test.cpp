// A large buffer holds every element it was asked for, below, at and past a large page, and
// swapping hands its memory over whole.
#include "format/large_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace qxw {
namespace {

TEST(LargeBuffer, HoldsEveryElementAskedFor) {
  constexpr size_t kPage = size_t{2} << 20;
  for (size_t count :
       {size_t{1}, size_t{4095}, kPage / 2 - 1, kPage / 2, kPage / 2 + 3, 5 * kPage / 2 + 17}) {
    LargeBuffer<uint16_t> buffer(count);
    for (size_t i = 0; i < count; ++i) buffer[i] = static_cast<uint16_t>(i * 7);
    LargeBuffer<uint16_t> other;
    other.swap(buffer);
    EXPECT_EQ(buffer.get(), nullptr);
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(other[i], static_cast<uint16_t>(i * 7)) << count;
  }
}

}  // namespace
}  // namespace qxw
