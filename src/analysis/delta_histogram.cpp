#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/encoder_model.h"
#include "analysis/frame_pieces.h"

namespace qxw {

void EncoderModel::initialize(uint32_t channels_) {
  std::memset(deltaHistogram, 0, sizeof deltaHistogram);
  channelCount = channels_;
  maxRun = 0;
  binCount[0] = 0;
  channels = std::make_unique<ChannelState[]>(channelCount);  // zeroed
}

void EncoderModel::histogramDeltas(SampleRange samples) {
  const uint8_t* at = samples.begin;
  while (at < samples.end) {
    for (uint32_t c = 0; c < channelCount; ++c, at += 2) {
      ChannelState& st = channels[c];
      const int32_t s = readSample(at);
      const uint32_t d = static_cast<uint32_t>(std::abs(st.previous - s));
      ++deltaHistogram[d];
      st.previous = s;
      if (d != 0) {
        st.runLength = 0;
        continue;
      }
      // Only the first two zero differences of a run count towards the run estimate.
      if (st.runLength < 2) ++binCount[0];
      ++st.runLength;
      if (st.runLength > maxRun) maxRun = st.runLength;
    }
  }
}

namespace {

// One piece's counts, made as if every run started inside it, and what its seams need.
struct HistogramPiece {
  std::vector<uint32_t> histogram = std::vector<uint32_t>(kMaxMagnitude + 1, 0);
  uint32_t runEstimate = 0;  // the first two zero differences of each run, runs opening here
  uint32_t maxRun = 0;
  std::vector<uint32_t> leadingZeros;  // per channel: zero differences before the first other
  std::vector<uint32_t> endRun;        // per channel: the run length at the end
  size_t frames = 0;
};

void countPiece(const FramePiece& piece, SampleRange samples, uint32_t channels,
                HistogramPiece& out) {
  const size_t stride = 2 * size_t{channels};
  out.frames = static_cast<size_t>(piece.end - piece.begin) / stride;
  out.leadingZeros.assign(channels, 0);
  out.endRun.assign(channels, 0);
  int32_t previous[kMaxChannels] = {};
  bool opened[kMaxChannels] = {};
  if (piece.begin > samples.begin) {
    for (uint32_t c = 0; c < channels; ++c) previous[c] = readSample(piece.begin - stride + 2 * c);
  }
  for (const uint8_t* at = piece.begin; at < piece.end;) {
    for (uint32_t c = 0; c < channels; ++c, at += 2) {
      const int32_t s = readSample(at);
      const uint32_t d = static_cast<uint32_t>(std::abs(previous[c] - s));
      ++out.histogram[d];
      previous[c] = s;
      uint32_t& run = out.endRun[c];
      if (d != 0) {
        run = 0;
        opened[c] = true;
        continue;
      }
      if (run < 2) ++out.runEstimate;
      ++run;
      if (!opened[c]) out.leadingZeros[c] = run;
      out.maxRun = std::max(out.maxRun, run);
    }
  }
}

}  // namespace

void histogramDeltasInPieces(EncoderModel& model, SampleRange samples, unsigned threads) {
  const uint32_t channels = model.channelCount;
  const auto pieces = cutIntoPieces(samples, channels, threads, size_t{1} << 17);
  if (pieces.size() < 2) {
    model.histogramDeltas(samples);
    return;
  }
  std::vector<HistogramPiece> counts(pieces.size());
  onThreads(pieces.size(), [&](size_t k) { countPiece(pieces[k], samples, channels, counts[k]); });
  // A run that crosses a seam continues the previous piece's: its leading zero differences
  // count towards the run estimate only while the whole run is still below two.
  std::vector<uint32_t> run(channels, 0);
  for (const HistogramPiece& piece : counts) {
    for (uint32_t m = 0; m <= kMaxMagnitude; ++m) model.deltaHistogram[m] += piece.histogram[m];
    model.binCount[0] += piece.runEstimate;
    model.maxRun = std::max(model.maxRun, piece.maxRun);
    for (uint32_t c = 0; c < channels; ++c) {
      const uint32_t lead = piece.leadingZeros[c];
      const uint32_t countedHere = std::min<uint32_t>(lead, 2);
      const uint32_t countedWhole = run[c] >= 2 ? 0 : std::min<uint32_t>(lead, 2 - run[c]);
      model.binCount[0] = model.binCount[0] - countedHere + countedWhole;
      model.maxRun = std::max(model.maxRun, run[c] + lead);
      run[c] = lead == piece.frames ? run[c] + lead : piece.endRun[c];
    }
  }
  const uint8_t* last = samples.end - 2 * size_t{channels};
  for (uint32_t c = 0; c < channels; ++c) {
    model.channels[c].previous = readSample(last + 2 * c);
    model.channels[c].runLength = run[c];
  }
}

}  // namespace qxw
