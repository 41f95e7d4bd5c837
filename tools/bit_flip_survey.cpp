// Flips single bits of a QXW file and counts how many of the damaged files the decoder's checks
// refuse; the rest decode without an error, to different sound. The format has no checksum, so
// this share is what a test run (qxw2wav /T) can promise.
// Usage: bit_flip_survey file.qxw [flips]
// (flips: random bit positions, half in the header and half in the data; default 2000)
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "qxw/qxw.h"

namespace {

bool decodesWithoutError(const std::vector<uint8_t>& file) {
  qxw_decoder* decoder = nullptr;
  if (qxw_decoder_open(file.data(), file.size(), &decoder) != QXW_OK) return false;
  static std::vector<int16_t> block(6 * 65536);
  qxw_status status = QXW_OK;
  for (size_t frames = 1; frames > 0 && status == QXW_OK;) {
    status = qxw_decoder_read(decoder, block.data(), 65536, &frames);
  }
  qxw_decoder_close(decoder);
  return status == QXW_OK;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "Usage: %s file.qxw [flips]\n", argv[0]);
    return 1;
  }
  FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) return 2;
  std::vector<uint8_t> file;
  for (int c; (c = std::fgetc(in)) != EOF;) file.push_back(static_cast<uint8_t>(c));
  std::fclose(in);
  const long flips = argc > 2 ? std::atol(argv[2]) : 2000;
  constexpr uint64_t kHeaderBits = 2200 * 8;
  if (file.size() <= 2200) return 2;
  std::mt19937_64 random(1);
  long headerFlips = 0, headerCaught = 0, dataFlips = 0, dataCaught = 0;
  for (long i = 0; i < flips; ++i) {
    const uint64_t dataBits = (uint64_t{file.size()} - 2200) * 8;
    const uint64_t bit = i % 2 ? random() % kHeaderBits : kHeaderBits + random() % dataBits;
    file[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    const bool caught = !decodesWithoutError(file);
    file[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    (bit / 8 < 2200 ? headerFlips : dataFlips) += 1;
    (bit / 8 < 2200 ? headerCaught : dataCaught) += caught ? 1 : 0;
  }
  auto share = [](long part, long whole) { return whole == 0 ? 0.0 : 100.0 * part / whole; };
  std::printf("header: %ld of %ld flips detected (%.1f%%)\n", headerCaught, headerFlips,
              share(headerCaught, headerFlips));
  std::printf("data:   %ld of %ld flips detected (%.1f%%)\n", dataCaught, dataFlips,
              share(dataCaught, dataFlips));
  std::printf("all:    %.1f%% detected\n", share(headerCaught + dataCaught, flips));
  return 0;
}
