#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "analysis/encoder_model.h"
#include "entropy/bin_lookup.h"
#include "format/frame_pieces.h"

namespace qxw {

void EncoderModel::resetContextStatistics() {
  std::memset(contextHistogram, 0, sizeof contextHistogram);
  resetChannels();
}

namespace {

using Histogram = uint32_t[kContextCount][kSymbolColumns];

// Counts one sample's symbol into histogram, moving its channel's state on.
[[gnu::always_inline]] inline void countSample(const uint8_t* bins, ChannelState& st,
                                               const uint8_t* at, Histogram& histogram) {
  const int32_t s = readSample(at);
  const bool negative = s < st.previous;
  const auto magnitude = static_cast<uint32_t>(negative ? st.previous - s : s - st.previous);
  const bool turned = negative != (st.lastNegative != 0);
  st.previous = s;
  const int bin = bins[magnitude];
  if (bin != 0) {
    ++histogram[st.context][bin + (turned ? 31 : 0)];
    st.runLength = 0;
  } else if (st.context != 0) {
    ++histogram[st.context][0];
    st.runLength = 0;
  } else {
    // A run of zero-bin samples in context 0 counts its opening symbol only.
    if (st.runLength == 0) ++histogram[0][0];
    ++st.runLength;
  }
  st.lastNegative = negative;
  st.context = bin;
}

// Counts the symbols of the frames in [from, to) into histogram, carrying each channel's state;
// kChannels is the channel count when fixed at compile time, so that the states stay in
// registers, or 0. Mono and stereo count four samples in a row into four tables: a count of the
// same symbol as the sample before would otherwise wait on that sample's store, and music repeats
// its symbols.
template <uint32_t kChannels>
void countFrames(const BinLookup& binOf, ChannelState* states, uint32_t channelCount,
                 const uint8_t* from, const uint8_t* to, Histogram& histogram) {
  const uint32_t channels = kChannels != 0 ? kChannels : channelCount;
  ChannelState local[kChannels != 0 ? kChannels : kMaxChannels];
  std::copy_n(states, channels, local);
  const uint8_t* bins = binOf.table();  // differences of 16-bit samples stay within it
  const uint8_t* at = from;
  if constexpr (kChannels == 1 || kChannels == 2) {
    constexpr int kTables = 4;
    Histogram tables[kTables - 1] = {};
    for (; to - at >= 2 * kTables; at += 2 * kTables) {
      countSample(bins, local[0], at, histogram);
      countSample(bins, local[1 % kChannels], at + 2, tables[0]);
      countSample(bins, local[0], at + 4, tables[1]);
      countSample(bins, local[1 % kChannels], at + 6, tables[2]);
    }
    for (const Histogram& table : tables) {
      for (int c = 0; c < kContextCount; ++c) {
        for (int s = 0; s < kSymbolColumns; ++s) histogram[c][s] += table[c][s];
      }
    }
  }
  while (at < to) {
    for (uint32_t c = 0; c < channels; ++c, at += 2) countSample(bins, local[c], at, histogram);
  }
  std::copy_n(local, channels, states);
}

void countSymbols(const BinLookup& binOf, ChannelState* states, uint32_t channels,
                  const uint8_t* from, const uint8_t* to, Histogram& histogram) {
  if (channels == 2) return countFrames<2>(binOf, states, channels, from, to, histogram);
  if (channels == 1) return countFrames<1>(binOf, states, channels, from, to, histogram);
  countFrames<0>(binOf, states, channels, from, to, histogram);
}

}  // namespace

void EncoderModel::gatherContextStatistics(SampleRange samples) {
  const BinLookup binOf(binBase);
  countSymbols(binOf, channels.get(), channelCount, samples.begin, samples.end, contextHistogram);
}

void gatherContextStatisticsInPieces(EncoderModel& model, SampleRange samples, unsigned threads) {
  const uint32_t channels = model.channelCount;
  const size_t stride = 2 * size_t{channels};
  const BinLookup binOf(model.binBase);
  std::vector<std::unique_ptr<Histogram[]>> partial(threads);
  std::vector<std::vector<ChannelState>> ends(threads);  // each piece's state at its end
  const auto piece = [&](size_t k, FramePiece range) {
    partial[k] = std::make_unique<Histogram[]>(1);
    std::memset(partial[k].get(), 0, sizeof(Histogram));
    std::vector<ChannelState> states(model.channels.get(), model.channels.get() + channels);
    if (range.begin > samples.begin) {
      // Two frames settle every field the counts read: the sample before, the sign and bin of
      // the difference before, and whether a run in context 0 is open (its length matters only
      // as zero or not). They start from the sample three frames back.
      const uint8_t* primeFrom = range.begin - 2 * stride;
      for (uint32_t c = 0; c < channels; ++c)
        states[c].previous = readSample(primeFrom - stride + 2 * c);
      Histogram ignored{};
      countSymbols(binOf, states.data(), channels, primeFrom, range.begin, ignored);
    }
    countSymbols(binOf, states.data(), channels, range.begin, range.end, partial[k][0]);
    ends[k] = std::move(states);
  };
  const auto merge = [&](const std::vector<FramePiece>& pieces) {
    for (size_t k = 0; k < pieces.size(); ++k) {
      for (int c = 0; c < kContextCount; ++c) {
        for (int s = 0; s < kSymbolColumns; ++s)
          model.contextHistogram[c][s] += partial[k][0][c][s];
      }
    }
    const std::vector<ChannelState>& last = ends[pieces.size() - 1];
    std::copy(last.begin(), last.end(), model.channels.get());
  };
  countInPieces(
      samples, channels, threads, [&] { model.gatherContextStatistics(samples); }, piece, merge);
}

}  // namespace qxw
