#include <algorithm>

#include "analysis/encoder_model.h"
#include "encoder/bit_writer.h"
#include "format/qxw_header.h"

namespace qxw {

void EncoderModel::writeMagic(BitWriter& writer) { writer.writeBytes(kQxwMagic, kQxwMagicSize); }

void EncoderModel::writeHeader(BitWriter& writer, uint32_t sampleRate) {
  QxwHeader header{};
  header.frameCount = frameCount;
  header.channelCount = channelCount;
  header.sampleRate = sampleRate;
  std::copy(std::begin(binBase), std::end(binBase), header.binBase);
  std::copy(std::begin(binBits), std::end(binBits), header.binBits);
  std::copy(std::begin(binShift), std::end(binShift), header.binShift);
  std::copy(&codeLength[0][0], &codeLength[0][0] + kContextCount * kSymbolColumns,
            &header.codeLength[0][0]);
  uint8_t bytes[kDataSizeOffset];
  packQxwHeader(header, bytes);
  // The magic is already out.
  writer.writeBytes(bytes + kQxwMagicSize, sizeof bytes - kQxwMagicSize);

  writer.alignToWord();
  sizeFieldPosition = static_cast<int32_t>(writer.output().position());
  writer.writeUint32(0);
  resetChannels();
}

void EncoderModel::finishFile(BitWriter& writer) {
  writer.alignToWord();
  const uint64_t end = writer.output().position();
  writer.output().seekTo(static_cast<uint64_t>(sizeFieldPosition));
  writer.writeUint32(static_cast<uint32_t>(end - static_cast<uint64_t>(sizeFieldPosition) - 4));
  channels.reset();
}

}  // namespace qxw
