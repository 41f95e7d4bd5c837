#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "analysis/encoder_model.h"

namespace qxw::testing {

// A zeroed model with its channel array, as the run makes it.
inline std::unique_ptr<EncoderModel> makeModel(uint32_t channels = 1) {
  auto model = std::make_unique<EncoderModel>();
  model->initialize(channels);
  return model;
}

// Interleaved samples as the little-endian bytes the passes read.
inline std::vector<uint8_t> sampleBytes(const std::vector<int16_t>& samples) {
  std::vector<uint8_t> bytes;
  for (int16_t s : samples) {
    bytes.push_back(static_cast<uint8_t>(s));
    bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
  }
  return bytes;
}

inline SampleRange rangeOf(const std::vector<uint8_t>& bytes) {
  return SampleRange{bytes.data(), bytes.data() + bytes.size()};
}

// Reads fields back the way the writer packs them: most significant bit first within
// little-endian 32-bit words.
class BitReader {
 public:
  BitReader(const std::vector<uint8_t>& bytes, size_t start) : bytes_(bytes), bit_(start * 8) {}

  uint32_t read(int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i, ++bit_) {
      const size_t word = bit_ / 32;
      const int inWord = 31 - static_cast<int>(bit_ % 32);
      const uint8_t byte = bytes_.at(word * 4 + static_cast<size_t>(inWord / 8));
      value = (value << 1) | ((byte >> (inWord % 8)) & 1u);
    }
    return value;
  }
  size_t bitPosition() const { return bit_; }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t bit_;
};

// Reads one code word of the model's context row by matching the written codes.
inline int readSymbol(BitReader& reader, const EncoderModel& model, int context) {
  uint32_t code = 0;
  for (int length = 1; length <= 32; ++length) {
    code = (code << 1) | reader.read(1);
    for (int s = 0; s < kSymbolCount; ++s) {
      if (model.codeLength[context][s] == length && model.codeWord[context][s] == code) return s;
    }
  }
  return -1;
}

}  // namespace qxw::testing
