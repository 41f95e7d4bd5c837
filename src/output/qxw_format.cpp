#include "output/qxw_format.h"

#include "analysis/encoder_model.h"
#include "output/bit_writer.h"

namespace qxw {

void EncoderModel::writeMagic(BitWriter& writer) { writer.writeBytes(kQxwMagic, sizeof kQxwMagic); }

void EncoderModel::writeHeader(BitWriter& writer, uint32_t sampleRate) {
  writer.writeUint32(frameCount);
  writer.writeUint32(channelCount);
  writer.writeUint32(sampleRate);

  uint8_t binTable[4 * kBinCount];
  for (int b = 0; b < kBinCount; ++b) {
    binTable[4 * b + 0] = static_cast<uint8_t>(binBits[b]);
    binTable[4 * b + 1] = static_cast<uint8_t>(binShift[b]);
    binTable[4 * b + 2] = static_cast<uint8_t>(binBase[b]);
    binTable[4 * b + 3] = static_cast<uint8_t>(binBase[b] >> 8);
  }
  writer.writeBytes(binTable, sizeof binTable);

  for (int c = 0; c < kContextCount; ++c) {
    uint8_t row[kSymbolColumns] = {};
    for (int s = 0; s < kSymbolCount; ++s) row[s] = static_cast<uint8_t>(codeLength[c][s]);
    writer.writeBytes(row, sizeof row);
  }

  writer.alignToWord();
  sizeFieldPosition = static_cast<int32_t>(writer.output().position());
  writer.writeUint32(0);

  for (uint32_t c = 0; c < channelCount; ++c) {
    ChannelState& st = channels[c];
    st.lastInput = 0;
    st.reconstructed = 0;
    st.error = 0;
    st.context = 0;
    st.runLength = 0;
    st.lastNegative = 0;
  }
}

void EncoderModel::finishFile(BitWriter& writer) {
  writer.alignToWord();
  const uint64_t end = writer.output().position();
  writer.output().seekTo(static_cast<uint64_t>(sizeFieldPosition));
  writer.writeUint32(static_cast<uint32_t>(end - static_cast<uint64_t>(sizeFieldPosition) - 4));
  channels.reset();
}

}  // namespace qxw
