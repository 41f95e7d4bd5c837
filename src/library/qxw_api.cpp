// The C interface: argument checks, status values and ownership over the codec's passes. No
// exception leaves it, and nothing is read outside the caller's buffers.
#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "decoder/sample_decoder.h"
#include "format/byte_order.h"
#include "format/qxw_header.h"
#include "format/reconstruction_digest.h"
#include "library/compressor.h"
#include "library/feed_decoder.h"
#include "library/thread_count.h"
#include "qxw/qxw.h"

#ifndef QXW_VERSION
#define QXW_VERSION "0.0.0"
#endif

struct qxw_feed_decoder {
  qxw::FeedDecoder feed;
};

struct qxw_decoder {
  qxw::QxwHeader header;
  std::unique_ptr<qxw::SampleDecoder> samples;
};

namespace {

using namespace qxw;

qxw_format formatOf(const QxwHeader& header) {
  return {header.frameCount, header.channelCount, header.sampleRate};
}

// Runs body: memory running out anywhere inside (an allocation throws) is a status, and so is
// anything else thrown, which no input should cause.
template <typename Body>
qxw_status guarded(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return QXW_OUT_OF_MEMORY;
  } catch (...) {
    return QXW_INTERNAL_ERROR;
  }
}

// Collects the file in memory.
class MemoryListener : public CompressionListener {
 public:
  MemoryListener() { stream_.createInMallocBlock(); }
  OutputStream* output() override { return &stream_; }
  OutputStream& stream() { return stream_; }

 private:
  OutputStream stream_;
};

// The samples as the little-endian bytes the passes read: in place on a little-endian machine.
SampleRange littleEndianSamples(const int16_t* samples, size_t count, std::vector<uint8_t>& copy) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples);
  if constexpr (std::endian::native == std::endian::little) {
    return {bytes, bytes + 2 * count};
  }
  copy.resize(2 * count);
  putSamples(samples, count, copy.data());
  return {copy.data(), copy.data() + copy.size()};
}

qxw_status openHeader(const void* data, size_t size, QxwHeader& header) {
  if (data == nullptr) return QXW_INVALID_ARGUMENT;
  return toC(parseQxwHeader(static_cast<const uint8_t*>(data), size, header));
}

// The caller's write, seek and rewind functions as the stream's sink.
class CallbackSink : public ByteSink {
 public:
  explicit CallbackSink(const qxw_encoder_callbacks& callbacks) : c_(callbacks) {}
  bool write(const uint8_t* data, size_t size) override {
    return c_.write(c_.context, data, size) == 0;
  }
  bool seek(uint64_t position) override { return c_.seek(c_.context, position) == 0; }
  bool rewind() override { return c_.rewind(c_.context) == 0; }
  bool canSeek() const override { return c_.seek != nullptr && c_.rewind != nullptr; }

 private:
  const qxw_encoder_callbacks& c_;
};

// A compression's news passed on to the caller's functions.
class CallbackListener : public CompressionListener {
 public:
  CallbackListener(const qxw_encoder_callbacks& callbacks, bool digest)
      : c_(callbacks), sink_(callbacks), wantsDigest_(digest) {}

  void stepStarts(CompressionStep step) override {
    if (c_.step != nullptr) c_.step(c_.context, toQxwStep(step));
  }
  void estimatesReady(const SizeEstimates& e) override {
    if (c_.estimates == nullptr) return;
    const auto bytes = estimatedBytes;
    const qxw_estimates estimates{bytes(e.runBits + e.totalBits),
                                  bytes(e.runBits + e.losslessValueBits + e.totalBits),
                                  bytes(e.runBits + e.selectedValueBits + e.totalBits)};
    c_.estimates(c_.context, &estimates);
  }
  void qualityRaised(int from, int to) override {
    if (c_.quality_raised != nullptr) c_.quality_raised(c_.context, from, to);
  }
  void writtenLossless() override { stepStarts(CompressionStep::WrittenLossless); }
  void targetUnmet() override { stepStarts(CompressionStep::TargetUnmet); }
  OutputStream* output() override {
    if (c_.open != nullptr && c_.open(c_.context) == 0) return nullptr;
    stream_.attachSink(sink_);
    return &stream_;
  }
  void targetReached(const TargetReport& report) override { target_ = report; }
  uint64_t* reconstructionDigest() override { return wantsDigest_ ? &digest_ : nullptr; }
  void progress(double done) override {
    if (progress_ != nullptr) progress_(c_.context, done);
  }
  void tellProgress(void (*progress)(void*, double)) { progress_ = progress; }

  OutputStream& stream() { return stream_; }
  const TargetReport& target() const { return target_; }
  uint64_t digest() const { return digest_; }

 private:
  const qxw_encoder_callbacks& c_;
  CallbackSink sink_;
  OutputStream stream_;
  TargetReport target_;
  uint64_t digest_ = 0;
  bool wantsDigest_;
  void (*progress_)(void*, double) = nullptr;
};

// What an encoding asks for: a level, or a size target when bits is not 0.
struct Setting {
  int quality;
  double bits;
};

// The checks every encoding call shares: a format of 1 to QXW_CHANNELS_MAX channels at a rate a
// player can use, whose samples a WAV file can hold, the samples themselves, a thread count, and a
// level or a size target within their limits (NaN is refused too).
bool encodingIsValid(const void* samples, const qxw_format* format, int threads, Setting setting) {
  if (format == nullptr) return false;
  const uint64_t count = uint64_t{format->frame_count} * format->channel_count;
  const bool settingValid = setting.bits != 0
                                ? setting.bits >= QXW_BITS_MIN && setting.bits <= QXW_BITS_MAX
                                : setting.quality >= 0 && setting.quality <= QXW_QUALITY_MAX;
  const bool rateValid = format->sample_rate >= 1 && format->sample_rate <= QXW_RATE_MAX;
  return (samples != nullptr || count == 0) && threads >= 0 && rateValid &&
         format->channel_count >= 1 && format->channel_count <= QXW_CHANNELS_MAX &&
         2 * count + kWaveHeaderSize <= 0xFFFFFFFFu && settingValid;
}

// The hand-over every call that returns a block shares; encode runs the passes.
template <typename Encode>
qxw_status encodeWith(const int16_t* samples, const qxw_format* format, Setting setting,
                      int threads, void** qxw_data, size_t* qxw_size, Encode encode) {
  if (qxw_data == nullptr || qxw_size == nullptr ||
      !encodingIsValid(samples, format, threads, setting)) {
    return QXW_INVALID_ARGUMENT;
  }
  const uint64_t count = uint64_t{format->frame_count} * format->channel_count;
  return guarded([&] {
    std::vector<uint8_t> copy;
    const SampleRange range = littleEndianSamples(samples, static_cast<size_t>(count), copy);
    MemoryListener listener;
    const SoundFormat sound{format->frame_count, format->channel_count, format->sample_rate};
    encode(range, sound, listener, threads);
    // The block could not grow: nothing is handed over.
    if (!listener.stream().close()) return QXW_OUT_OF_MEMORY;
    size_t size = 0;
    *qxw_data = listener.stream().releaseBlock(size);
    *qxw_size = size;
    return QXW_OK;
  });
}

// A second CPU decodes a part of the file ahead while the first decodes on.
SplitOptions decodeSplit(const QxwHeader& header) {
  SplitOptions split;
  split.threads = std::min(2u, threadsToUse(0, header.frameCount));
  return split;
}

}  // namespace

extern "C" {

const char* qxw_version(void) { return QXW_VERSION; }

const char* qxw_status_text(qxw_status status) {
  switch (status) {
    case QXW_OK:
      return "success";
    case QXW_INVALID_ARGUMENT:
      return "invalid argument";
    case QXW_NOT_QXW:
      return "not a QXW file";
    case QXW_INVALID_HEADER:
      return "invalid QXW file header";
    case QXW_TRUNCATED:
      return "QXW data incomplete or truncated";
    case QXW_CORRUPT:
      return "corrupt QXW data";
    case QXW_OUT_OF_MEMORY:
      return "out of memory";
    case QXW_BUFFER_TOO_SMALL:
      return "buffer too small";
    case QXW_TRAILING_DATA:
      return "bytes follow the end of the QXW data";
    case QXW_STOPPED:
      return "stopped by the caller";
    case QXW_WRITE_FAILED:
      return "writing the output failed";
    case QXW_INTERNAL_ERROR:
      return "internal error in libqxw";
  }
  return "unknown status";
}

qxw_status qxw_encode(const int16_t* samples, const qxw_format* format, int quality, int threads,
                      void** qxw_data, size_t* qxw_size) {
  return encodeWith(
      samples, format, {quality, 0}, threads, qxw_data, qxw_size,
      [quality](SampleRange range, const SoundFormat& sound, CompressionListener& listener,
                int threadCount) { compress(range, sound, quality, listener, threadCount); });
}

qxw_status qxw_encode_search(const int16_t* samples, const qxw_format* format,
                             double bits_per_sample, int effort, int threads, void** qxw_data,
                             size_t* qxw_size) {
  // A target of 0 would stand for a level; it is no target.
  if (bits_per_sample == 0 || effort < 0 || effort > QXW_EFFORT_MAX) return QXW_INVALID_ARGUMENT;
  return encodeWith(samples, format, {0, bits_per_sample}, threads, qxw_data, qxw_size,
                    [bits_per_sample, effort](SampleRange range, const SoundFormat& sound,
                                              CompressionListener& listener, int threadCount) {
                      compressToBits(range, sound, bits_per_sample, listener, threadCount, effort);
                    });
}

qxw_status qxw_encode_bits(const int16_t* samples, const qxw_format* format, double bits_per_sample,
                           int threads, void** qxw_data, size_t* qxw_size) {
  return qxw_encode_search(samples, format, bits_per_sample, 0, threads, qxw_data, qxw_size);
}

qxw_status qxw_encode_stream(const void* little_endian_samples, const qxw_format* format,
                             const qxw_encode_options* options,
                             const qxw_encoder_callbacks* callbacks, qxw_encode_report* report) {
  return qxw_encode_stream_search(little_endian_samples, format, options, 0, callbacks, report);
}

qxw_status qxw_encode_stream_search(const void* little_endian_samples, const qxw_format* format,
                                    const qxw_encode_options* options, int effort,
                                    const qxw_encoder_callbacks* callbacks,
                                    qxw_encode_report* report) {
  return qxw_encode_stream_progress(little_endian_samples, format, options, effort, callbacks,
                                    nullptr, report);
}

qxw_status qxw_encode_stream_progress(const void* little_endian_samples, const qxw_format* format,
                                      const qxw_encode_options* options, int effort,
                                      const qxw_encoder_callbacks* callbacks,
                                      void (*progress)(void* context, double done),
                                      qxw_encode_report* report) {
  if (options == nullptr || callbacks == nullptr || callbacks->write == nullptr ||
      (callbacks->seek == nullptr) != (callbacks->rewind == nullptr) || effort < 0 ||
      effort > QXW_EFFORT_MAX || (effort > 0 && options->bits_per_sample == 0) ||
      !encodingIsValid(little_endian_samples, format, options->threads,
                       {options->quality, options->bits_per_sample})) {
    return QXW_INVALID_ARGUMENT;
  }
  const uint64_t count = uint64_t{format->frame_count} * format->channel_count;
  const bool target = options->bits_per_sample != 0;
  return guarded([&] {
    static const uint8_t kNothing = 0;
    const auto* first = count > 0 ? static_cast<const uint8_t*>(little_endian_samples) : &kNothing;
    const SampleRange range{first, first + 2 * count};
    const SoundFormat sound{format->frame_count, format->channel_count, format->sample_rate};
    CallbackListener listener(*callbacks, options->digest != 0);
    listener.tellProgress(progress);
    const Status ran = target
                           ? compressToBits(range, sound, options->bits_per_sample, listener,
                                            options->threads, effort)
                           : compress(range, sound, options->quality, listener, options->threads);
    if (ran != Status::Ok) return toC(ran);
    OutputStream& stream = listener.stream();
    const uint64_t bytes = stream.size();
    if (!stream.close()) return QXW_WRITE_FAILED;
    if (report != nullptr) {
      *report = {bytes,
                 count == 0 ? 0 : 8.0 * static_cast<double>(bytes) / static_cast<double>(count),
                 static_cast<double>(listener.target().signal),
                 static_cast<double>(listener.target().noise), listener.digest()};
    }
    return QXW_OK;
  });
}

uint64_t qxw_digest(uint64_t digest, const int16_t* samples, size_t count, uint64_t first_sample) {
  for (size_t i = 0; i < count; ++i) digest += digestTerm(first_sample + i, samples[i]);
  return digest;
}

void qxw_free(void* p) { std::free(p); }

qxw_status qxw_read_format(const void* qxw_data, size_t qxw_size, qxw_format* format) {
  if (format == nullptr) return QXW_INVALID_ARGUMENT;
  QxwHeader header;
  const qxw_status status = openHeader(qxw_data, qxw_size, header);
  if (status == QXW_OK) *format = formatOf(header);
  return status;
}

qxw_status qxw_file_size(const void* qxw_data, size_t qxw_size, uint64_t* file_size) {
  if (qxw_data == nullptr || file_size == nullptr) return QXW_INVALID_ARGUMENT;
  const auto* bytes = static_cast<const uint8_t*>(qxw_data);
  if (!hasQxwMagic(bytes, qxw_size)) return QXW_NOT_QXW;
  if (qxw_size < kQxwHeaderSize) return QXW_TRUNCATED;
  *file_size = kQxwHeaderSize + uint64_t{read32(bytes + kDataSizeOffset)};
  return QXW_OK;
}

qxw_status qxw_decode(const void* qxw_data, size_t qxw_size, int16_t* samples, size_t capacity) {
  return guarded([&] {
    auto header = std::make_unique<QxwHeader>();
    const qxw_status status = openHeader(qxw_data, qxw_size, *header);
    if (status != QXW_OK) return status;
    const uint64_t count = uint64_t{header->frameCount} * header->channelCount;
    if (samples == nullptr && count > 0) return QXW_INVALID_ARGUMENT;
    if (count > capacity) return QXW_BUFFER_TOO_SMALL;
    SampleDecoder decoder(*header, static_cast<const uint8_t*>(qxw_data) + kQxwHeaderSize,
                          decodeSplit(*header));
    size_t frames = 0;
    int16_t none = 0;
    Status read = decoder.read(samples != nullptr ? samples : &none, header->frameCount, frames);
    // The read after the last frame checks what follows it.
    if (read == Status::Ok) read = decoder.read(&none, 0, frames);
    return toC(read);
  });
}

qxw_status qxw_decoder_open(const void* qxw_data, size_t qxw_size, qxw_decoder** decoder) {
  if (decoder == nullptr) return QXW_INVALID_ARGUMENT;
  *decoder = nullptr;
  return guarded([&] {
    auto opened = std::make_unique<qxw_decoder>();
    const qxw_status status = openHeader(qxw_data, qxw_size, opened->header);
    if (status != QXW_OK) return status;
    opened->samples = std::make_unique<SampleDecoder>(
        opened->header, static_cast<const uint8_t*>(qxw_data) + kQxwHeaderSize,
        decodeSplit(opened->header));
    *decoder = opened.release();
    return QXW_OK;
  });
}

void qxw_decoder_format(const qxw_decoder* decoder, qxw_format* format) {
  if (decoder != nullptr && format != nullptr) *format = formatOf(decoder->header);
}

qxw_status qxw_decoder_read(qxw_decoder* decoder, int16_t* samples, size_t max_frames,
                            size_t* frames_read) {
  if (frames_read != nullptr) *frames_read = 0;
  if (decoder == nullptr || frames_read == nullptr || (samples == nullptr && max_frames > 0)) {
    return QXW_INVALID_ARGUMENT;
  }
  int16_t none = 0;
  return toC(
      decoder->samples->read(samples != nullptr ? samples : &none, max_frames, *frames_read));
}

void qxw_decoder_close(qxw_decoder* decoder) { delete decoder; }

qxw_status qxw_feed_decoder_open(qxw_feed_decoder** decoder) {
  if (decoder == nullptr) return QXW_INVALID_ARGUMENT;
  *decoder = nullptr;
  return guarded([&] {
    *decoder = new qxw_feed_decoder;
    return QXW_OK;
  });
}

qxw_status qxw_feed_decoder_push(qxw_feed_decoder* decoder, const void* data, size_t size,
                                 size_t* used) {
  if (used != nullptr) *used = 0;
  if (decoder == nullptr || used == nullptr || (data == nullptr && size > 0)) {
    return QXW_INVALID_ARGUMENT;
  }
  if (size == 0) return toC(decoder->feed.status());
  return guarded(
      [&] { return toC(decoder->feed.push(static_cast<const uint8_t*>(data), size, *used)); });
}

qxw_status qxw_feed_decoder_format(const qxw_feed_decoder* decoder, qxw_format* format) {
  if (decoder == nullptr || format == nullptr) return QXW_INVALID_ARGUMENT;
  const QxwHeader* header = decoder->feed.header();
  if (header == nullptr) {
    return decoder->feed.status() != Status::Ok ? toC(decoder->feed.status()) : QXW_TRUNCATED;
  }
  *format = formatOf(*header);
  return QXW_OK;
}

qxw_status qxw_feed_decoder_pull(qxw_feed_decoder* decoder, int16_t* samples, size_t max_frames,
                                 size_t* frames_read) {
  if (frames_read != nullptr) *frames_read = 0;
  if (decoder == nullptr || frames_read == nullptr || (samples == nullptr && max_frames > 0)) {
    return QXW_INVALID_ARGUMENT;
  }
  int16_t none = 0;
  return toC(decoder->feed.pull(samples != nullptr ? samples : &none, max_frames, *frames_read));
}

qxw_status qxw_feed_decoder_finish(qxw_feed_decoder* decoder) {
  if (decoder == nullptr) return QXW_INVALID_ARGUMENT;
  return toC(decoder->feed.finish());
}

void qxw_feed_decoder_close(qxw_feed_decoder* decoder) { delete decoder; }

}  // extern "C"
