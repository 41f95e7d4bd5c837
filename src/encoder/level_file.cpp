#include "encoder/level_file.h"

#include <memory>

#include "encoder/bit_writer.h"
#include "encoder/piece_encoder.h"

namespace qxw {

namespace {

// Takes a file's bytes only to count them.
class CountingSink : public ByteSink {
 public:
  bool write(const uint8_t*, size_t size) override {
    at_ += size;
    end_ = std::max(end_, at_);
    return true;
  }
  bool seek(uint64_t position) override {
    at_ = position;
    return true;
  }
  bool rewind() override {
    at_ = end_ = 0;
    return true;
  }
  bool canSeek() const override { return true; }
  uint64_t size() const { return end_; }

 private:
  uint64_t at_ = 0;
  uint64_t end_ = 0;
};

}  // namespace

uint64_t writeLevelFile(EncoderModel& model, OutputStream& output, SampleRange samples,
                        const SoundFormat& format, unsigned threads, Recording recording,
                        const std::function<void()>& samplesStart, uint64_t lostLimit) {
  BitWriter writer(output);
  model.writeMagic(writer);
  model.writeHeader(writer, format.sampleRate);
  if (samplesStart) samplesStart();
  const uint64_t lost =
      encodeSamplesInPieces(model, writer, samples, threads, recording, lostLimit);
  model.finishFile(writer);
  return lost;
}

void refineAgain(EncoderModel& model, const LosslessTable& lossless, int quality,
                 uint32_t channels) {
  lossless.restore(model);
  model.channels = std::make_unique<ChannelState[]>(channels);
  uint64_t unused[3];
  model.refineBins(static_cast<uint32_t>(quality), unused[0], unused[1], unused[2]);
}

bool replaceByLossless(EncoderModel& model, const LosslessTable& lossless,
                       uint64_t losslessEstimate, OutputStream& output, SampleRange samples,
                       const SoundFormat& format, unsigned threads, bool exact) {
  // The estimate can lie above the file by a third or more (squares, few magnitudes): a size
  // target counts the lossless file's bytes unless its own are well under the estimate.
  if (output.size() < (exact ? losslessEstimate / 2 : losslessEstimate)) return false;
  refineAgain(model, lossless, 9, format.channelCount);
  if (exact) {
    CountingSink counted;
    OutputStream file;
    file.attachSink(counted);
    writeLevelFile(model, file, samples, format, threads, {});
    file.close();
    if (counted.size() > output.size()) return false;
    model.channels = std::make_unique<ChannelState[]>(format.channelCount);
  }
  OutputStream file;
  file.createInMemory(static_cast<size_t>(output.size()));
  writeLevelFile(model, file, samples, format, threads, {});
  file.close();
  if (file.contents().size() > output.size()) return false;
  output.restart();
  output.append(file.contents().data(), file.contents().size());
  return true;
}

}  // namespace qxw
