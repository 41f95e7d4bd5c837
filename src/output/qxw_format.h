#pragma once

#include <cstdint>

namespace qxw {

inline constexpr uint8_t kQxwMagic[8] = {0x54, 0x52, 0x55, 0x56, 0x00, 0x1A, 0xFF, 0xFE};
inline constexpr uint32_t kBinTableOffset = 20;
inline constexpr uint32_t kCodeLengthOffset = 148;
inline constexpr uint32_t kDataSizeOffset = 2196;
inline constexpr uint32_t kQxwHeaderSize = 2200;

}  // namespace qxw
