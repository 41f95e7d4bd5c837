#include "output/target_encoder.h"

#include <vector>

namespace qxw {

namespace {

// One step of a channel: the level chosen for the sample, its symbol in the channel's context,
// and the state moved on. Returns the symbol; level receives the level.
[[gnu::always_inline]] inline int stepTowards(const UniformTable& table, TargetState& st,
                                              int16_t x, const Level*& level) {
  const int32_t target = int32_t{x} - st.reconstructed;
  const bool negative = target < 0;
  const uint32_t magnitude = negative ? 0u - static_cast<uint32_t>(target) : target;
  level = &table.nearest(magnitude);
  // Room to the rail in the step's direction: 0..65535.
  const uint32_t room = negative ? uint32_t(st.reconstructed + 32768) : uint32_t(32767 - st.reconstructed);
  if (level->magnitude > room) level = &table.atMost(room);
  const int32_t step = negative ? -int32_t{level->magnitude} : int32_t{level->magnitude};
  st.reconstructed = static_cast<int16_t>(st.reconstructed + step);
  const int bin = level->bin;
  const bool down = step < 0;
  const int symbol = symbolOf(bin, down != st.lastNegative);
  st.lastNegative = down;
  return symbol;
}

}  // namespace

void countTargetSymbols(const UniformTable& table, SampleRange samples, uint32_t channels,
                        TargetState* states, SymbolCounts& counts) {
  for (const uint8_t* at = samples.begin; at < samples.end;) {
    for (uint32_t c = 0; c < channels; ++c, at += 2) {
      TargetState& st = states[c];
      const Level* level = nullptr;
      const int symbol = stepTowards(table, st, readSample(at), level);
      ++counts[st.context][symbol];
      st.context = level->bin;
    }
  }
}

TargetQuality writeTargetSamples(const UniformTable& table, const EncoderModel& model,
                                 BitWriter& writer, SampleRange samples,
                                 int16_t* reconstruction) {
  const uint32_t channels = model.channelCount;
  std::vector<TargetState> states(channels);
  TargetQuality quality;
  uint64_t signal = 0, noise = 0;  // exact within a block of frames
  size_t inBlock = 0;
  for (const uint8_t* at = samples.begin; at < samples.end;) {
    for (uint32_t c = 0; c < channels; ++c, at += 2) {
      TargetState& st = states[c];
      const int16_t x = readSample(at);
      const Level* level = nullptr;
      const int symbol = stepTowards(table, st, x, level);
      const int length = model.codeLength[st.context][symbol];
      const int offsetBits = table.bits(level->bin);
      const uint64_t field = (uint64_t{model.codeWord[st.context][symbol]} << offsetBits) | level->offset;
      if (length + offsetBits <= 32) {
        writer.writeBits(length + offsetBits, static_cast<uint32_t>(field));
      } else {
        writer.writeBits(length, model.codeWord[st.context][symbol]);
        writer.writeBits(offsetBits, level->offset);
      }
      st.context = level->bin;
      if (reconstruction != nullptr) *reconstruction++ = st.reconstructed;
      const int64_t difference = int64_t{x} - st.reconstructed;
      signal += static_cast<uint64_t>(int64_t{x} * x);
      noise += static_cast<uint64_t>(difference * difference);
    }
    // 2^30 a sample at most: a block of 2^32 samples cannot wrap 64 bits.
    if (++inBlock == (size_t{1} << 24) / channels) {
      quality.signal += signal;
      quality.noise += noise;
      signal = noise = 0;
      inBlock = 0;
    }
  }
  quality.signal += signal;
  quality.noise += noise;
  return quality;
}

}  // namespace qxw
