#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "analysis/encoder_model.h"
#include "entropy/bin_lookup.h"
#include "entropy/symbol_cells.h"
#include "format/frame_pieces.h"
#include "format/sample_differences.h"
#include "format/vector_support.h"

namespace qxw {

void EncoderModel::resetContextStatistics() {
  std::memset(contextHistogram, 0, sizeof contextHistogram);
  resetChannels();
}

namespace {

using Histogram = uint32_t[kContextCount][kSymbolColumns];

// Counts the symbol of a sample that differs by d from its channel's last into histogram, moving
// the channel's state on (but for its last sample).
[[gnu::always_inline]] inline void countDifference(const uint8_t* bins, ChannelState& st, int32_t d,
                                                   Histogram& histogram) {
  const bool negative = d < 0;
  const auto magnitude = static_cast<uint32_t>(negative ? -d : d);
  const bool turned = negative != (st.lastNegative != 0);
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

// The same for the sample at `at`.
[[gnu::always_inline]] inline void countSample(const uint8_t* bins, ChannelState& st,
                                               const uint8_t* at, Histogram& histogram) {
  const int32_t s = readSample(at);
  countDifference(bins, st, s - st.previous, histogram);
  st.previous = s;
}

// Counts the symbols of the frames in [from, to) into histogram a sample at a time, where the
// machine has no wide vectors, carrying each channel's state; kChannels is the channel count
// when fixed at compile time, so that the states stay in registers, or 0. Mono and stereo count
// four samples in a row into four tables: a count of the same symbol as the sample before would
// otherwise wait on that sample's store, and music repeats its symbols.
template <uint32_t kChannels>
void countFramesOneByOne(const BinLookup& binOf, ChannelState* states, uint32_t channelCount,
                         const uint8_t* from, const uint8_t* to, Histogram& histogram) {
  const uint32_t channels = kChannels != 0 ? kChannels : channelCount;
  ChannelState local[kChannels != 0 ? kChannels : kMaxChannels];
  std::copy_n(states, channels, local);
  const uint8_t* bins = binOf.table();  // differences of 16-bit samples stay within it
  const uint8_t* at = from;
  if constexpr (kChannels == 1 || kChannels == 2) {
    constexpr int kTables = 4;
    Histogram tables[kTables - 1] = {};
    // The differences of a block first, in a loop the compiler vectorises; then their symbols.
    constexpr ptrdiff_t kBlock = 1024;
    int32_t d[kBlock];
    for (; to - at >= 2 * kBlock; at += 2 * kBlock) {
      for (uint32_t c = 0; c < kChannels; ++c) d[c] = readSample(at + 2 * c) - local[c].previous;
      for (ptrdiff_t i = kChannels; i < kBlock; ++i) {
        d[i] = readSample(at + 2 * i) - readSample(at + 2 * (i - kChannels));
      }
      for (ptrdiff_t i = 0; i < kBlock; i += kTables) {
        countDifference(bins, local[0], d[i], histogram);
        countDifference(bins, local[1 % kChannels], d[i + 1], tables[0]);
        countDifference(bins, local[0], d[i + 2], tables[1]);
        countDifference(bins, local[1 % kChannels], d[i + 3], tables[2]);
      }
      for (uint32_t c = 0; c < kChannels; ++c) {
        local[c].previous = readSample(at + 2 * (kBlock - kChannels + c));
      }
    }
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

// The histogram cell of the symbol of a sample that differs by d from its channel's last,
// moving the chain past it.
inline uint32_t symbolCell(const uint8_t* bins, SymbolChain& chain, int32_t d) {
  const bool negative = d < 0;
  const auto magnitude = static_cast<uint32_t>(negative ? -d : d);
  const bool turned = negative != chain.lastNegative;
  const int bin = bins[magnitude];
  const auto row = static_cast<uint32_t>(chain.context) * kSymbolColumns;
  chain.lastNegative = negative;
  chain.context = bin;
  if (bin != 0) {
    chain.runLength = 0;
    return row + static_cast<uint32_t>(bin + (turned ? kBinCount - 1 : 0));
  }
  if (row != 0) {
    chain.runLength = 0;
    return row;
  }
  // A run of zero-bin samples in context 0 counts its opening symbol only.
  return chain.runLength++ == 0 ? 0 : kNoCell;
}

// The same with wide vectors: a block of each channel at a time, its differences, in a loop the
// compiler vectorises; their symbols' cells, in vector groups; and the counts, into four tables
// in turn.
template <uint32_t kChannels>
void countFramesInGroups(const BinLookup& binOf, ChannelState* states, uint32_t channelCount,
                         const uint8_t* from, const uint8_t* to, Histogram& histogram) {
  static_assert(kSymbolColumns == 64 && kBinCount == 32, "the vector groups' cells");
  const uint32_t channels = kChannels != 0 ? kChannels : channelCount;
  const size_t stride = 2 * size_t{channels};
  const size_t frames = static_cast<size_t>(to - from) / stride;
  const uint8_t* bins = binOf.table();  // differences of 16-bit samples stay within it
  constexpr int kTables = 4;
  auto counts = std::make_unique<uint32_t[][kNoCell + 1]>(kTables);
  constexpr size_t kBlock = 1024;
  int32_t d[kBlock];
  uint32_t cells[kBlock];
  for (size_t start = 0; start < frames; start += kBlock) {
    const size_t n = std::min(kBlock, frames - start);
    for (uint32_t c = 0; c < channels; ++c) {
      ChannelState& st = states[c];
      const uint8_t* samples = from + start * stride + 2 * c;
      channelDifferences(from + start * stride, n, channels, c, st.previous, d);
      SymbolChain chain{st.context, st.lastNegative != 0, st.runLength};
      const size_t grouped = findSymbolCells(d, n, binOf.bases(), chain, kNoCell, cells);
      size_t k = 0;
      for (; k + kTables <= grouped; k += kTables) {
        for (int t = 0; t < kTables; ++t) ++counts[t][cells[k + t]];
      }
      // The rest, and every sample where the machine has no wide vectors, a sample at a time.
      for (; k < n; ++k) ++counts[k % kTables][symbolCell(bins, chain, d[k])];
      st.previous = readSample(samples + (n - 1) * stride);
      st.context = chain.context;
      st.lastNegative = chain.lastNegative;
      st.runLength = chain.runLength;
    }
  }
  for (int t = 0; t < kTables; ++t) {
    for (uint32_t cell = 0; cell < kNoCell; ++cell) {
      histogram[cell / kSymbolColumns][cell % kSymbolColumns] += counts[t][cell];
    }
  }
}

void countSymbols(const BinLookup& binOf, ChannelState* states, uint32_t channels,
                  const uint8_t* from, const uint8_t* to, Histogram& histogram) {
  if (!wideVectorsAvailable()) {
    if (channels == 2) return countFramesOneByOne<2>(binOf, states, channels, from, to, histogram);
    if (channels == 1) return countFramesOneByOne<1>(binOf, states, channels, from, to, histogram);
    return countFramesOneByOne<0>(binOf, states, channels, from, to, histogram);
  }
  if (channels == 2) return countFramesInGroups<2>(binOf, states, channels, from, to, histogram);
  if (channels == 1) return countFramesInGroups<1>(binOf, states, channels, from, to, histogram);
  countFramesInGroups<0>(binOf, states, channels, from, to, histogram);
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
  std::vector<std::unique_ptr<Histogram[]>> partial(threads);        // each worker's counts
  std::vector<std::vector<ChannelState>> ends(mostPieces(threads));  // each piece's last state
  const auto piece = [&](size_t worker, size_t k, FramePiece range) {
    if (!partial[worker]) {
      partial[worker] = std::make_unique<Histogram[]>(1);
      std::memset(partial[worker].get(), 0, sizeof(Histogram));
    }
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
    countSymbols(binOf, states.data(), channels, range.begin, range.end, partial[worker][0]);
    ends[k] = std::move(states);
  };
  const auto merge = [&](const std::vector<FramePiece>& pieces) {
    for (const auto& counted : partial) {
      if (!counted) continue;
      for (int c = 0; c < kContextCount; ++c) {
        for (int s = 0; s < kSymbolColumns; ++s) model.contextHistogram[c][s] += counted[0][c][s];
      }
    }
    const std::vector<ChannelState>& last = ends[pieces.size() - 1];
    std::copy(last.begin(), last.end(), model.channels.get());
  };
  countInPieces(
      samples, channels, threads, [&] { model.gatherContextStatistics(samples); }, piece, merge);
}

}  // namespace qxw
