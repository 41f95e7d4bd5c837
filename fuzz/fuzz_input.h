#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Reads a fuzzer's bytes as settings followed by interleaved little-endian samples.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // The rest, as whole frames of the given channel count.
  std::vector<int16_t> samples(uint32_t channels) {
    const size_t frames = (size_ - at_) / 2 / channels;
    std::vector<int16_t> out(frames * channels);
    for (size_t i = 0; i < out.size(); ++i, at_ += 2) {
      out[i] = static_cast<int16_t>(static_cast<uint16_t>(data_[at_] | (data_[at_ + 1] << 8)));
    }
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};
