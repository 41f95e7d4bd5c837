// The fed decoder: the frames of any split of a file's bytes are the whole decode's, and its
// faults are reported with the statuses of the whole decode, as soon as the bytes show them.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "qxw/qxw.h"
#include "support/signals.h"

namespace qxw {
namespace {

using namespace qxw::testing;

std::vector<uint8_t> encodeFile(const std::vector<int16_t>& samples, uint32_t channels, int quality,
                                double bits = 0) {
  const qxw_format format{static_cast<uint32_t>(samples.size() / channels), channels, 44100};
  void* data = nullptr;
  size_t size = 0;
  const qxw_status status = bits > 0
                                ? qxw_encode_bits(samples.data(), &format, bits, 1, &data, &size)
                                : qxw_encode(samples.data(), &format, quality, 1, &data, &size);
  EXPECT_EQ(status, QXW_OK);
  std::vector<uint8_t> bytes(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + size);
  qxw_free(data);
  return bytes;
}

struct Decoded {
  qxw_status status = QXW_OK;
  std::vector<int16_t> samples;
  size_t bytesBeforeFault = 0;  // the bytes pushed when the fault was reported
};

Decoded decodeWhole(const std::vector<uint8_t>& file) {
  Decoded out;
  qxw_format format{};
  out.status = qxw_read_format(file.data(), file.size(), &format);
  if (out.status != QXW_OK) return out;
  out.samples.resize(size_t{format.frame_count} * format.channel_count);
  out.status = qxw_decode(file.data(), file.size(), out.samples.data(), out.samples.size());
  return out;
}

// What a streaming read of the whole file gives: the frames of every read that succeeded, then
// the first status other than QXW_OK.
Decoded decodeStreaming(const std::vector<uint8_t>& file) {
  Decoded out;
  qxw_decoder* decoder = nullptr;
  out.status = qxw_decoder_open(file.data(), file.size(), &decoder);
  if (out.status != QXW_OK) return out;
  qxw_format format{};
  qxw_decoder_format(decoder, &format);
  std::vector<int16_t> block(size_t{1000} * format.channel_count);
  size_t frames = 0;
  do {
    out.status = qxw_decoder_read(decoder, block.data(), 1000, &frames);
    if (out.status != QXW_OK) break;
    out.samples.insert(out.samples.end(), block.begin(),
                       block.begin() + static_cast<long>(frames * format.channel_count));
  } while (frames > 0);
  qxw_decoder_close(decoder);
  return out;
}

// Pushes the file in the pieces nextPiece() sizes, pulling up to maxFrames at a time after each,
// and finishes; the first status other than QXW_OK ends the run.
template <typename NextPiece>
Decoded decodeFed(const std::vector<uint8_t>& file, NextPiece nextPiece, size_t maxFrames) {
  Decoded out;
  qxw_feed_decoder* decoder = nullptr;
  EXPECT_EQ(qxw_feed_decoder_open(&decoder), QXW_OK);
  std::vector<int16_t> block(maxFrames * QXW_CHANNELS_MAX);
  uint32_t channels = 0;
  auto pullAll = [&] {
    size_t frames = 0;
    do {
      qxw_format format{};
      if (channels == 0 && qxw_feed_decoder_format(decoder, &format) == QXW_OK) {
        channels = format.channel_count;
      }
      out.status = qxw_feed_decoder_pull(decoder, block.data(), maxFrames, &frames);
      out.samples.insert(out.samples.end(), block.begin(),
                         block.begin() + static_cast<long>(frames * channels));
    } while (out.status == QXW_OK && frames > 0);
    return out.status == QXW_OK;
  };
  size_t at = 0;
  while (at < file.size() && out.status == QXW_OK) {
    const size_t end = std::min(file.size(), at + nextPiece());
    while (at < end) {
      size_t used = 0;
      out.status = qxw_feed_decoder_push(decoder, file.data() + at, end - at, &used);
      at += used;
      if (out.status != QXW_OK || !pullAll()) break;
    }
  }
  out.bytesBeforeFault = at;
  if (out.status == QXW_OK) {
    out.status = qxw_feed_decoder_finish(decoder);
    if (out.status == QXW_OK) pullAll();
  }
  qxw_feed_decoder_close(decoder);
  return out;
}

struct Case {
  const char* name;
  Signal signal;
  uint32_t channels;
  int quality;
  double bits;
};

// Music past the staging area's size, runs of silence, the rails, a size target, six channels.
const Case kCases[] = {
    {"music stereo Q9", Signal::Music, 2, 9, 0},
    {"music 6 channels Q0", Signal::Music, 6, 0, 0},
    {"silence mono Q9", Signal::Silence, 1, 9, 0},
    {"noisy extremes Q3", Signal::NoisyExtremes, 1, 3, 0},
    {"clipped music B4", Signal::ClippedMusic, 2, 0, 4},
    {"single frame", Signal::Single, 3, 9, 0},
};

TEST(FeedDecoder, EverySplitGivesTheWholeDecode) {
  std::mt19937 random(7);
  for (const Case& c : kCases) {
    const auto file =
        encodeFile(makeSignal(c.signal, 24000, c.channels), c.channels, c.quality, c.bits);
    const Decoded whole = decodeWhole(file);
    ASSERT_EQ(whole.status, QXW_OK) << c.name;
    for (size_t piece = 1; piece <= 64; ++piece) {
      const Decoded fed = decodeFed(
          file, [piece] { return piece; }, 4096);
      ASSERT_EQ(fed.status, QXW_OK) << c.name << " in pieces of " << piece;
      ASSERT_EQ(fed.samples, whole.samples) << c.name << " in pieces of " << piece;
    }
    for (int trial = 0; trial < 20; ++trial) {
      std::uniform_int_distribution<size_t> size(1, trial % 2 ? 100000 : 3000);
      const size_t maxFrames = 1 + random() % 5000;
      const Decoded fed = decodeFed(
          file, [&] { return size(random); }, maxFrames);
      ASSERT_EQ(fed.status, QXW_OK) << c.name << " trial " << trial;
      ASSERT_EQ(fed.samples, whole.samples) << c.name << " trial " << trial;
    }
  }
}

TEST(FeedDecoder, ReportsEveryFaultAsTheWholeDecode) {
  const auto file = encodeFile(makeSignal(Signal::Music, 30000, 2), 2, 5);
  const auto byPiece = [] { return size_t{1000}; };
  std::mt19937 random(3);
  // Changed bytes anywhere but the data size: the same status, and the same samples when the
  // change still decodes.
  for (int trial = 0; trial < 300; ++trial) {
    auto changed = file;
    size_t at = random() % changed.size();
    if (at >= 2196 && at < 2200) at -= 4;
    changed[at] ^= static_cast<uint8_t>(1 + random() % 255);
    const Decoded whole = decodeWhole(changed);
    const Decoded fed = decodeFed(changed, byPiece, 999);
    ASSERT_EQ(fed.status, whole.status) << "byte " << at;
    if (whole.status == QXW_OK) {
      ASSERT_EQ(fed.samples, whole.samples) << "byte " << at;
    }
  }
  // Cut short: the frames the bytes complete, then QXW_TRUNCATED (QXW_NOT_QXW before the magic).
  const Decoded whole = decodeWhole(file);
  for (size_t length : {size_t{0}, size_t{5}, size_t{8}, size_t{2199}, size_t{2200}, size_t{9000},
                        file.size() - 4, file.size() - 1}) {
    const Decoded fed =
        decodeFed({file.begin(), file.begin() + static_cast<long>(length)}, byPiece, 999);
    EXPECT_EQ(fed.status, length < 8 ? QXW_NOT_QXW : QXW_TRUNCATED) << length;
    ASSERT_LE(fed.samples.size(), whole.samples.size());
    EXPECT_TRUE(std::equal(fed.samples.begin(), fed.samples.end(), whole.samples.begin()));
  }
  // A bit set in the last word's padding: the streaming read's frames, then QXW_CORRUPT, however
  // the bytes are split around it.
  auto padded = file;
  for (size_t bit = 0; bit < 32 && decodeWhole(padded).status == QXW_OK; ++bit) {
    padded = file;
    padded[file.size() - 4 + bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
  }
  const Decoded streamed = decodeStreaming(padded);
  ASSERT_EQ(streamed.status, QXW_CORRUPT);
  ASSERT_GE(streamed.samples.size(), whole.samples.size() - 2000);
  for (size_t split = padded.size() - 220; split < padded.size(); ++split) {
    bool first = true;
    const Decoded fed = decodeFed(
        padded,
        [&] {
          const size_t piece = first ? split : padded.size();
          first = false;
          return piece;
        },
        999);
    EXPECT_EQ(fed.status, QXW_CORRUPT) << split;
    EXPECT_EQ(fed.samples, streamed.samples) << split;
  }
  // Not QXW with the first wrong byte.
  const Decoded wave = decodeFed(
      {'T', 'R', 'I', 'F', 0, 0, 0, 0}, [] { return 1; }, 1);
  EXPECT_EQ(wave.status, QXW_NOT_QXW);
  EXPECT_EQ(wave.bytesBeforeFault, 3u);
  // Bytes after the data: refused where they start; the file's frames are all there.
  auto longer = file;
  longer.insert(longer.end(), 100, 0);
  const Decoded trailing = decodeFed(longer, byPiece, 999);
  EXPECT_EQ(trailing.status, QXW_TRAILING_DATA);
  EXPECT_EQ(trailing.bytesBeforeFault, file.size());
}

TEST(FeedDecoder, RefusesBadArgumentsAndWaitsForItsHeader) {
  qxw_feed_decoder* decoder = nullptr;
  EXPECT_EQ(qxw_feed_decoder_open(nullptr), QXW_INVALID_ARGUMENT);
  ASSERT_EQ(qxw_feed_decoder_open(&decoder), QXW_OK);
  size_t used = 7, frames = 7;
  qxw_format format{};
  int16_t sample = 0;
  EXPECT_EQ(qxw_feed_decoder_push(decoder, nullptr, 1, &used), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(qxw_feed_decoder_push(decoder, &sample, 1, nullptr), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(qxw_feed_decoder_pull(decoder, nullptr, 1, &frames), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(qxw_feed_decoder_format(decoder, &format), QXW_TRUNCATED);
  EXPECT_EQ(qxw_feed_decoder_pull(decoder, &sample, 1, &frames), QXW_OK);
  EXPECT_EQ(frames, 0u);
  EXPECT_EQ(qxw_feed_decoder_finish(decoder), QXW_NOT_QXW);
  // The error is final for every call, an empty push included.
  EXPECT_EQ(qxw_feed_decoder_push(decoder, &sample, 0, &used), QXW_NOT_QXW);
  EXPECT_EQ(qxw_feed_decoder_push(decoder, &sample, 1, &used), QXW_NOT_QXW);
  EXPECT_EQ(qxw_feed_decoder_format(decoder, &format), QXW_NOT_QXW);
  EXPECT_EQ(qxw_feed_decoder_pull(decoder, &sample, 1, &frames), QXW_NOT_QXW);
  EXPECT_EQ(qxw_feed_decoder_finish(decoder), QXW_NOT_QXW);
  qxw_feed_decoder_close(decoder);
  qxw_feed_decoder_close(nullptr);
}

}  // namespace
}  // namespace qxw
