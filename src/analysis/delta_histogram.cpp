#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "analysis/encoder_model.h"
#include "format/frame_pieces.h"
#include "format/sample_differences.h"
#include "format/vector_support.h"

namespace qxw {

void EncoderModel::initialize(uint32_t channels_) {
  std::memset(deltaHistogram, 0, sizeof deltaHistogram);
  channelCount = channels_;
  maxRun = 0;
  binCount[0] = 0;
  channels = std::make_unique<ChannelState[]>(channelCount);  // zeroed
}

namespace {

#ifdef QXW_VECTORS
// Machines with these vectors count bits in one instruction, which the plain build may not use.
[[gnu::target("avx512f,popcnt")]] size_t markZerosInLanes(const uint32_t* d, size_t count,
                                                          uint64_t* zeros) {
  size_t marked = 0;
  for (size_t w = 0; w < count / 64; ++w) {
    uint64_t bits = 0;
    for (size_t q = 0; q < 4; ++q) {
      const __m512i v = _mm512_loadu_si512(d + 64 * w + 16 * q);
      bits |= uint64_t{_mm512_testn_epi32_mask(v, v)} << (16 * q);
    }
    zeros[w] = bits;
    marked += static_cast<size_t>(std::popcount(bits));
  }
  return marked;
}
#endif

// Bit i % 64 of zeros[i / 64] set where d[i] is zero, for count a multiple of 64; returns how
// many are.
size_t markZeros(const uint32_t* d, size_t count, uint64_t* zeros) {
#ifdef QXW_VECTORS
  if (wideVectorsAvailable()) return markZerosInLanes(d, count, zeros);
#endif
  size_t marked = 0;
  for (size_t w = 0; w < count / 64; ++w) {
    uint64_t bits = 0;
    for (size_t b = 0; b < 64; ++b) {
      bits |= uint64_t{d[64 * w + b] == 0} << b;
      marked += d[64 * w + b] == 0;
    }
    zeros[w] = bits;
  }
  return marked;
}

// The counts of one range of frames, and what its seams need, per channel: the last sample, the
// run of zero differences at the end, and the zero differences before the first other one.
struct DeltaCounts {
  uint32_t* histogram;       // added into
  uint32_t runEstimate = 0;  // the first two zero differences of each run that opens here
  uint32_t maxRun = 0;
  int32_t previous[kMaxChannels] = {};
  uint32_t run[kMaxChannels] = {};
  uint32_t leading[kMaxChannels] = {};
  bool opened[kMaxChannels] = {};
};

// Counts the differences of [from, to); kChannels is the channel count when fixed at compile
// time, so that the states stay in registers, or 0. Most differences are not zero, so the
// branch on it is well predicted.
template <uint32_t kChannels>
void countFrames(const uint8_t* from, const uint8_t* to, uint32_t channelCount, DeltaCounts& out) {
  const uint32_t channels = kChannels != 0 ? kChannels : channelCount;
  constexpr uint32_t kSlots = kChannels != 0 ? kChannels : kMaxChannels;
  int32_t previous[kSlots];
  uint32_t run[kSlots], leading[kSlots];
  bool opened[kSlots];
  std::copy_n(out.previous, channels, previous);
  std::copy_n(out.run, channels, run);
  std::copy_n(out.leading, channels, leading);
  std::copy_n(out.opened, channels, opened);
  uint32_t* const histogram = out.histogram;
  uint32_t runEstimate = out.runEstimate, maxRun = out.maxRun;
  const auto countOther = [&](uint32_t c) {
    run[c] = 0;
    opened[c] = true;
  };
  const auto countZero = [&](uint32_t c) {
    // Only the first two zero differences of a run count towards the run estimate.
    if (run[c] < 2) ++runEstimate;
    ++run[c];
    if (!opened[c]) leading[c] = run[c];
    maxRun = std::max(maxRun, run[c]);
  };
  // The same for n zero differences in a row.
  const auto countZeros = [&](uint32_t c, uint32_t n) {
    runEstimate += run[c] < 2 ? std::min(n, 2 - run[c]) : 0;
    run[c] += n;
    if (!opened[c]) leading[c] = run[c];
    maxRun = std::max(maxRun, run[c]);
  };
  const auto count = [&](uint32_t c, uint32_t d) {
    ++histogram[d];
    if (d != 0) return countOther(c);
    countZero(c);
  };
  const uint8_t* at = from;
  if constexpr (kChannels != 0) {
    // The differences of a block first, in lanes; then their counts, in a loop that does
    // nothing else; then the runs, from the zero differences alone, which are few in sound.
    constexpr ptrdiff_t kBlock = 1024;
    constexpr auto kApart = static_cast<ptrdiff_t>(kChannels);  // a channel's samples apart
    uint32_t d[kBlock];
    uint64_t zeros[kBlock / 64];
    const auto isZero = [&](ptrdiff_t i) { return ((zeros[i / 64] >> (i % 64)) & 1) != 0; };
    for (; to - at >= 2 * kBlock; at += 2 * kBlock) {
      for (uint32_t c = 0; c < kChannels; ++c) {
        d[c] = static_cast<uint32_t>(std::abs(previous[c] - readSample(at + 2 * c)));
      }
      sampleDistances(at, kBlock, kChannels, d);
      const size_t zeroCount = markZeros(d, kBlock, zeros);
      if (zeroCount <= kBlock / 8) {
        for (ptrdiff_t i = 0; i < kBlock; ++i) ++histogram[d[i]];
      } else {
        // Mostly silence, whose counts of zero would each wait on the one before.
        histogram[0] += static_cast<uint32_t>(zeroCount);
        for (ptrdiff_t w = 0; w < kBlock / 64; ++w) {
          for (uint64_t bits = ~zeros[w]; bits != 0; bits &= bits - 1) {
            ++histogram[d[64 * w + std::countr_zero(bits)]];
          }
        }
      }
      for (ptrdiff_t w = 0; w < kBlock / 64; ++w) {
        if (zeros[w] == ~uint64_t{0}) {
          // Silence: each channel's whole share of the word continues or opens one run.
          for (uint32_t c = 0; c < kChannels; ++c) {
            const ptrdiff_t i = 64 * w + static_cast<ptrdiff_t>(c);
            if (i >= kApart && !isZero(i - kApart)) countOther(c);
            countZeros(c, 64 / kChannels);
          }
          continue;
        }
        for (uint64_t bits = zeros[w]; bits != 0; bits &= bits - 1) {
          const ptrdiff_t i = 64 * w + std::countr_zero(bits);
          const uint32_t c = static_cast<uint32_t>(i) % kChannels;
          // The first zero after another difference opens a run.
          if (i >= kApart && !isZero(i - kApart)) countOther(c);
          countZero(c);
        }
      }
      for (uint32_t c = 0; c < kChannels; ++c) {
        if (!isZero(kBlock - kChannels + c)) countOther(c);
      }
      for (uint32_t c = 0; c < kChannels; ++c) {
        previous[c] = readSample(at + 2 * (kBlock - kChannels + c));
      }
    }
  }
  while (at < to) {
    for (uint32_t c = 0; c < channels; ++c, at += 2) {
      const int32_t s = readSample(at);
      count(c, static_cast<uint32_t>(std::abs(previous[c] - s)));
      previous[c] = s;
    }
  }
  std::copy_n(previous, channels, out.previous);
  std::copy_n(run, channels, out.run);
  std::copy_n(leading, channels, out.leading);
  std::copy_n(opened, channels, out.opened);
  out.runEstimate = runEstimate;
  out.maxRun = maxRun;
}

void countDeltas(const uint8_t* from, const uint8_t* to, uint32_t channels, DeltaCounts& out) {
  if (channels == 2) return countFrames<2>(from, to, channels, out);
  if (channels == 1) return countFrames<1>(from, to, channels, out);
  countFrames<0>(from, to, channels, out);
}

}  // namespace

void EncoderModel::histogramDeltas(SampleRange samples) {
  DeltaCounts counts;
  counts.histogram = deltaHistogram;
  for (uint32_t c = 0; c < channelCount; ++c) {
    counts.previous[c] = channels[c].previous;
    counts.run[c] = channels[c].runLength;
  }
  countDeltas(samples.begin, samples.end, channelCount, counts);
  binCount[0] += counts.runEstimate;
  maxRun = std::max(maxRun, counts.maxRun);
  for (uint32_t c = 0; c < channelCount; ++c) {
    channels[c].previous = counts.previous[c];
    channels[c].runLength = counts.run[c];
  }
}

void EncoderModel::takeDeltaCounts(const EncoderModel& counted) {
  initialize(counted.channelCount);
  std::copy_n(counted.deltaHistogram, kMaxMagnitude + 1, deltaHistogram);
  maxRun = counted.maxRun;
  binCount[0] = counted.binCount[0];
  std::copy_n(counted.channels.get(), channelCount, channels.get());
}

void histogramDeltasInPieces(EncoderModel& model, SampleRange samples, unsigned threads) {
  const uint32_t channels = model.channelCount;
  const size_t stride = 2 * size_t{channels};
  // Each piece counts as if every run started inside it; the seams are mended in the merge. The
  // differences of a worker's pieces go into the worker's histogram.
  std::vector<std::vector<uint32_t>> histograms(threads);
  std::vector<DeltaCounts> counts(mostPieces(threads));
  const auto piece = [&](size_t worker, size_t k, FramePiece range) {
    if (histograms[worker].empty()) histograms[worker].assign(kMaxMagnitude + 1, 0);
    counts[k].histogram = histograms[worker].data();
    if (range.begin > samples.begin) {
      for (uint32_t c = 0; c < channels; ++c) {
        counts[k].previous[c] = readSample(range.begin - stride + 2 * c);
      }
    }
    countDeltas(range.begin, range.end, channels, counts[k]);
  };
  // A run that crosses a seam continues the previous piece's: its leading zero differences
  // count towards the run estimate only while the whole run is still below two.
  const auto merge = [&](const std::vector<FramePiece>& pieces) {
    for (const std::vector<uint32_t>& histogram : histograms) {
      for (size_t m = 0; m < histogram.size(); ++m) model.deltaHistogram[m] += histogram[m];
    }
    std::vector<uint32_t> run(channels, 0);
    for (size_t k = 0; k < pieces.size(); ++k) {
      const DeltaCounts& counted = counts[k];
      model.binCount[0] += counted.runEstimate;
      model.maxRun = std::max(model.maxRun, counted.maxRun);
      const size_t frames = static_cast<size_t>(pieces[k].end - pieces[k].begin) / stride;
      for (uint32_t c = 0; c < channels; ++c) {
        const uint32_t lead = counted.leading[c];
        const uint32_t countedHere = std::min<uint32_t>(lead, 2);
        const uint32_t countedWhole = run[c] >= 2 ? 0 : std::min<uint32_t>(lead, 2 - run[c]);
        model.binCount[0] = model.binCount[0] - countedHere + countedWhole;
        model.maxRun = std::max(model.maxRun, run[c] + lead);
        run[c] = lead == frames ? run[c] + lead : counted.run[c];
      }
    }
    const uint8_t* last = samples.end - stride;
    for (uint32_t c = 0; c < channels; ++c) {
      model.channels[c].previous = readSample(last + 2 * c);
      model.channels[c].runLength = run[c];
    }
  };
  countInPieces(
      samples, channels, threads, [&] { model.histogramDeltas(samples); }, piece, merge);
}

}  // namespace qxw
