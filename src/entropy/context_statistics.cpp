#include <cstring>

#include "analysis/encoder_model.h"
#include "entropy/bin_lookup.h"

namespace qxw {

void EncoderModel::resetContextStatistics() {
  std::memset(contextHistogram, 0, sizeof contextHistogram);
  for (uint32_t c = 0; c < channelCount; ++c) {
    ChannelState& st = channels[c];
    st.previous = 0;
    st.context = 0;
    st.lastNegative = 0;
    st.runLength = 0;
  }
}

void EncoderModel::gatherContextStatistics(SampleRange samples) {
  const BinLookup binOf(binBase);
  const uint8_t* at = samples.begin;
  while (at < samples.end) {
    for (uint32_t c = 0; c < channelCount; ++c, at += 2) {
      ChannelState& st = channels[c];
      const int32_t s = readSample(at);
      const bool negative = s < st.previous;
      const uint32_t magnitude = static_cast<uint32_t>(negative ? st.previous - s : s - st.previous);
      const bool turned = negative != (st.lastNegative != 0);
      st.previous = s;
      const int bin = binOf(magnitude);
      if (bin != 0) {
        ++contextHistogram[st.context][bin + (turned ? 31 : 0)];
        st.runLength = 0;
      } else if (st.context != 0) {
        ++contextHistogram[st.context][0];
        st.runLength = 0;
      } else {
        // A run of zero-bin samples in context 0 counts its opening symbol only.
        if (st.runLength == 0) ++contextHistogram[0][0];
        ++st.runLength;
      }
      st.lastNegative = negative;
      st.context = bin;
    }
  }
}

}  // namespace qxw
