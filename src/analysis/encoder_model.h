#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "format/progress_meter.h"
#include "format/qxw_layout.h"
#include "format/sample_range.h"

namespace qxw {

class BitWriter;

// Per-channel working state. The analysis passes use previous/runLength/context/lastNegative;
// the encoder uses lastInput/reconstructed/error and gives runLength its own meaning.
struct ChannelState {
  int32_t previous;
  uint32_t runLength;
  int32_t context;
  uint8_t lastNegative;
  int16_t lastInput;
  int16_t reconstructed;
  int32_t error;
};

// The one state object of a compression run. The passes are its operations, in the order they
// are declared below; a level's run makes each once, while the size targets' searches fit the
// codes again on every trial.
struct EncoderModel {
  uint32_t deltaHistogram[kMaxMagnitude + 1];
  uint32_t maxRun;
  uint32_t contextHistogram[kContextCount][kSymbolColumns];
  int32_t currentContext;
  uint32_t frameCount;
  uint32_t channelCount;
  std::unique_ptr<ChannelState[]> channels;
  uint32_t binBase[kBinCount];
  int32_t binBits[kBinCount];
  int32_t binShift[kBinCount];
  uint32_t binCount[kBinCount];
  int32_t codeLength[kContextCount][kSymbolColumns];
  uint32_t codeWord[kContextCount][kSymbolColumns];
  int32_t sizeFieldPosition;
  // Where the long passes report the work they finish; none when null.
  ProgressMeter* meter = nullptr;

  EncoderModel() = default;
  EncoderModel(const EncoderModel&) = delete;
  EncoderModel& operator=(const EncoderModel&) = delete;

  // Every channel's state back to zero, as each pass starts.
  void resetChannels() { std::fill_n(channels.get(), channelCount, ChannelState{}); }

  // Difference histogram.
  void initialize(uint32_t channels);
  void histogramDeltas(SampleRange samples);
  // The same as another model's that counted the same samples, without counting them again.
  void takeDeltaCounts(const EncoderModel& counted);

  // Quantizer bin layout.
  void analyzeHistogram(uint32_t frames);

  // Context statistics.
  void resetContextStatistics();
  void gatherContextStatistics(SampleRange samples);

  // Huffman codes; totalBits is added into.
  void generateHuffmanCodes(uint64_t& totalBits);

  // Quality refinement of the bins.
  void refineBins(uint32_t quality, uint64_t& runBits, uint64_t& losslessValueBits,
                  uint64_t& selectedValueBits);

  // File output.
  void writeMagic(BitWriter& writer);
  void writeHeader(BitWriter& writer, uint32_t sampleRate);
  void finishFile(BitWriter& writer);
};

// The same counts as histogramDeltas and gatherContextStatistics, made on up to `threads`
// threads over pieces of the frames and merged; the seams between pieces are mended so that
// the result is exactly that of one pass.
void histogramDeltasInPieces(EncoderModel& model, SampleRange samples, unsigned threads);
void gatherContextStatisticsInPieces(EncoderModel& model, SampleRange samples, unsigned threads);

// The model whose tables the tree nodes and refinement nodes read while they are made; one per
// thread, so that threads can encode at once.
extern thread_local EncoderModel* activeModel;

// The bin of magnitude m: the largest bin 1..31 whose base does not exceed m, or 0.
// A fixed binary search of five comparisons over a non-decreasing base table.
inline int findBin(const uint32_t (&binBase)[kBinCount], uint32_t magnitude) {
  int lo = 0, hi = 31, mid = 16;
  while (hi > lo) {
    if (magnitude < binBase[mid]) {
      hi = mid - 1;
    } else {
      lo = mid;
    }
    mid = (lo + hi + 1) >> 1;
  }
  return mid;
}

}  // namespace qxw
