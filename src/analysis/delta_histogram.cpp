#include <cstdlib>
#include <cstring>

#include "analysis/encoder_model.h"

namespace qxw {

void EncoderModel::initialize(uint32_t channels_) {
  std::memset(deltaHistogram, 0, sizeof deltaHistogram);
  channelCount = channels_;
  maxRun = 0;
  binCount[0] = 0;
  channels = std::make_unique<ChannelState[]>(channelCount);
  for (uint32_t c = 0; c < channelCount; ++c) {
    channels[c].previous = 0;
    channels[c].runLength = 0;
  }
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

}  // namespace qxw
