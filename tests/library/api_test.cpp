// The C interface as other programs use it: the same bytes as the programs, streaming in any
// block size, a status for every fault, and threads that do not disturb each other.
#include "qxw/qxw.h"

#ifdef _WIN32
#include <windows.h>

#include "app/platform.h"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <string>
#include <thread>
#include <tuple>

#include "support/run_program.h"
#include "support/signals.h"
#include "support/wav_files.h"

#ifdef QXW_TEST_C_HEADER
extern "C" int qxw_c_round_trip(void);
#endif

namespace qxw {
namespace {

using namespace qxw::testing;

struct Encoded {
  qxw_status status = QXW_OK;
  std::vector<uint8_t> bytes;
};

Encoded encode(const std::vector<int16_t>& samples, uint32_t channels, int quality,
               uint32_t rate = 44100, int threads = 1) {
  const qxw_format format{static_cast<uint32_t>(samples.size() / channels), channels, rate};
  void* data = nullptr;
  size_t size = 0;
  Encoded result;
  result.status = qxw_encode(samples.data(), &format, quality, threads, &data, &size);
  if (result.status == QXW_OK) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    result.bytes.assign(bytes, bytes + size);
    qxw_free(data);
  }
  return result;
}

std::vector<int16_t> decodeWhole(const std::vector<uint8_t>& file, qxw_status expected = QXW_OK) {
  qxw_format format{};
  EXPECT_EQ(qxw_read_format(file.data(), file.size(), &format), QXW_OK);
  std::vector<int16_t> samples(size_t{format.frame_count} * format.channel_count);
  EXPECT_EQ(qxw_decode(file.data(), file.size(), samples.data(), samples.size()), expected);
  return samples;
}

std::vector<int16_t> samplesOfWav(const std::vector<uint8_t>& wav) {
  std::vector<int16_t> samples;
  for (size_t i = 44; i + 1 < wav.size(); i += 2) {
    samples.push_back(static_cast<int16_t>(wav[i] | (wav[i + 1] << 8)));
  }
  return samples;
}

TEST(Api, GivesTheProgramsBytesBothWays) {
  TempDir dir;
  RunOptions options;
  options.workingDir = dir.dir();
  for (uint32_t channels : {1u, 2u, 6u}) {
    const auto input = makeSignal(Signal::Music, 4000, channels, channels);
    writeFile(dir.path("in.wav"), makeWav(input, channels, 22050));
    for (int quality : {0, 3, 9}) {
      const std::string q = "/Q" + std::to_string(quality);
      ASSERT_EQ(runProgram(WAV2QXW_PATH, {q, "in.wav", "out.qxw"}, options).status, 0);
      const auto program = readFile(dir.path("out.qxw"));
      const Encoded api = encode(input, channels, quality, 22050);
      ASSERT_EQ(api.status, QXW_OK);
      EXPECT_EQ(api.bytes, program) << channels << " channels " << q;

      ASSERT_EQ(runProgram(QXW2WAV_PATH, {"/F", "out.qxw", "back.wav"}, options).status, 0);
      EXPECT_EQ(decodeWhole(program), samplesOfWav(readFile(dir.path("back.wav"))));
      if (quality == 9) {
        EXPECT_EQ(decodeWhole(program), input);
      }
    }
  }
}

TEST(Api, StreamsInAnyBlockSizeAsTheWholeDecode) {
  const auto input = makeSignal(Signal::Music, 20000, 3);
  const Encoded file = encode(input, 3, 4);
  const auto whole = decodeWhole(file.bytes);
  for (size_t block : {1u, 7u, 333u, 16384u, 16385u, 100000u}) {
    qxw_decoder* decoder = nullptr;
    ASSERT_EQ(qxw_decoder_open(file.bytes.data(), file.bytes.size(), &decoder), QXW_OK);
    qxw_format format{};
    qxw_decoder_format(decoder, &format);
    EXPECT_EQ(format.frame_count, 20000u);
    EXPECT_EQ(format.channel_count, 3u);
    std::vector<int16_t> streamed;
    std::vector<int16_t> buffer(block * 3);
    size_t frames = 0;
    do {
      ASSERT_EQ(qxw_decoder_read(decoder, buffer.data(), block, &frames), QXW_OK) << block;
      streamed.insert(streamed.end(), buffer.begin(),
                      buffer.begin() + static_cast<long>(frames * 3));
    } while (frames > 0);
    // Past the end every read gives nothing, and says so.
    ASSERT_EQ(qxw_decoder_read(decoder, buffer.data(), block, &frames), QXW_OK);
    EXPECT_EQ(frames, 0u);
    qxw_decoder_close(decoder);
    EXPECT_EQ(streamed, whole) << block;
  }
}

TEST(Api, ReportsEachFaultWithItsStatus) {
  const auto input = makeSignal(Signal::Music, 3000, 2);
  const std::vector<uint8_t> file = encode(input, 2, 5).bytes;
  std::vector<int16_t> out(input.size());
  qxw_format format{};
  auto readFormat = [&](const std::vector<uint8_t>& bytes) {
    return qxw_read_format(bytes.data(), bytes.size(), &format);
  };
  auto decode = [&](const std::vector<uint8_t>& bytes) {
    return qxw_decode(bytes.data(), bytes.size(), out.data(), out.size());
  };

  qxw_decoder* decoder = nullptr;
  EXPECT_EQ(decode(file), QXW_OK);
  EXPECT_EQ(qxw_read_format(file.data(), 0, &format), QXW_NOT_QXW);
  EXPECT_EQ(qxw_read_format(nullptr, 0, &format), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(readFormat({'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'}), QXW_NOT_QXW);
  for (size_t length : {size_t{8}, size_t{2199}, size_t{2200}, file.size() - 4}) {
    EXPECT_EQ(decode({file.begin(), file.begin() + static_cast<long>(length)}), QXW_TRUNCATED)
        << length;
  }
  auto badChannels = file;
  badChannels[12] = 7;
  EXPECT_EQ(readFormat(badChannels), QXW_INVALID_HEADER);
  auto badRow = file;
  badRow[148 + 63] = 1;
  EXPECT_EQ(decode(badRow), QXW_INVALID_HEADER);
  // One word of data less, with the size field to match: the bits run out.
  auto shorter = file;
  shorter.resize(file.size() - 4);
  shorter[2196] = static_cast<uint8_t>(shorter[2196] - 4);
  EXPECT_EQ(decode(shorter), QXW_CORRUPT);
  auto longer = file;
  longer.insert(longer.end(), {1, 0, 0, 0});
  longer[2196] = static_cast<uint8_t>(longer[2196] + 4);
  EXPECT_EQ(decode(longer), QXW_CORRUPT);
  // A whole file is exactly its header and the data it declares: nothing may follow.
  for (auto trailing : {std::vector<uint8_t>{'J'}, file}) {
    auto joined = file;
    joined.insert(joined.end(), trailing.begin(), trailing.end());
    EXPECT_EQ(decode(joined), QXW_TRAILING_DATA);
    EXPECT_EQ(qxw_decoder_open(joined.data(), joined.size(), &decoder), QXW_TRAILING_DATA);
  }
  EXPECT_EQ(qxw_decode(file.data(), SIZE_MAX, out.data(), out.size()), QXW_TRAILING_DATA);

  EXPECT_EQ(qxw_decode(file.data(), file.size(), out.data(), out.size() - 1), QXW_BUFFER_TOO_SMALL);
  EXPECT_EQ(qxw_decode(file.data(), file.size(), nullptr, out.size()), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(qxw_decode(nullptr, file.size(), out.data(), out.size()), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(qxw_read_format(file.data(), file.size(), nullptr), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(qxw_decoder_open(file.data(), file.size(), nullptr), QXW_INVALID_ARGUMENT);
  decoder = reinterpret_cast<qxw_decoder*>(&format);
  EXPECT_EQ(qxw_decoder_open(badChannels.data(), badChannels.size(), &decoder), QXW_INVALID_HEADER);
  EXPECT_EQ(decoder, nullptr);
  size_t frames = 1;
  EXPECT_EQ(qxw_decoder_read(nullptr, out.data(), 1, &frames), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(frames, 0u);
  qxw_decoder_close(nullptr);

  // A streaming error is final.
  ASSERT_EQ(qxw_decoder_open(shorter.data(), shorter.size(), &decoder), QXW_OK);
  EXPECT_EQ(qxw_decoder_read(decoder, out.data(), 3000, &frames), QXW_CORRUPT);
  EXPECT_EQ(qxw_decoder_read(decoder, out.data(), 1, &frames), QXW_CORRUPT);
  qxw_decoder_close(decoder);

  // The size a header declares, for a reader of a stream: from the header alone.
  uint64_t declared = 0;
  EXPECT_EQ(qxw_file_size(file.data(), QXW_HEADER_SIZE, &declared), QXW_OK);
  EXPECT_EQ(declared, file.size());
  EXPECT_EQ(qxw_file_size(file.data(), QXW_HEADER_SIZE - 1, &declared), QXW_TRUNCATED);
  EXPECT_EQ(qxw_file_size(file.data(), 8, &declared), QXW_TRUNCATED);
  EXPECT_EQ(qxw_file_size("RIFF", 4, &declared), QXW_NOT_QXW);
  EXPECT_EQ(qxw_file_size(nullptr, 0, &declared), QXW_INVALID_ARGUMENT);
}

TEST(Api, RefusesBadEncodeArguments) {
  const std::vector<int16_t> samples(100, 5);
  void* data = nullptr;
  size_t size = 0;
  auto tryEncode = [&](const int16_t* s, qxw_format format, int quality, int threads = 1) {
    return qxw_encode(s, &format, quality, threads, &data, &size);
  };
  EXPECT_EQ(tryEncode(samples.data(), {50, 2, 8000}, 10), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(tryEncode(samples.data(), {50, 2, 8000}, -1), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(tryEncode(samples.data(), {50, 2, 8000}, 3, -1), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(tryEncode(samples.data(), {100, 0, 8000}, 3), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(tryEncode(samples.data(), {14, 7, 8000}, 3), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(tryEncode(nullptr, {50, 2, 8000}, 3), QXW_INVALID_ARGUMENT);
  // A rate no player can use.
  EXPECT_EQ(tryEncode(samples.data(), {50, 2, 0}, 3), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(tryEncode(samples.data(), {50, 2, QXW_RATE_MAX + 1}, 3), QXW_INVALID_ARGUMENT);
  // More samples than a WAV file can hold; refused before a single one is read.
  EXPECT_EQ(tryEncode(samples.data(), {0xFFFFFFFFu, 6, 8000}, 3), QXW_INVALID_ARGUMENT);
  const qxw_format format{50, 2, 8000};
  EXPECT_EQ(qxw_encode(samples.data(), nullptr, 3, 1, &data, &size), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(qxw_encode(samples.data(), &format, 3, 1, nullptr, &size), QXW_INVALID_ARGUMENT);
  EXPECT_EQ(qxw_encode(samples.data(), &format, 3, 1, &data, nullptr), QXW_INVALID_ARGUMENT);
  // No frames at all is a sound too: a header-only file.
  ASSERT_EQ(tryEncode(nullptr, {0, 2, 8000}, 3), QXW_OK);
  EXPECT_EQ(size, 2200u);
  qxw_free(data);
}

TEST(Api, ThreadsEncodingAtOnceGiveTheBytesOfOne) {
  const auto first = makeSignal(Signal::Music, 30000, 2, 1);
  const auto second = makeSignal(Signal::ClippedMusic, 30000, 2, 2);
  const Encoded alone1 = encode(first, 2, 3);
  const Encoded alone2 = encode(second, 2, 6);
  for (int round = 0; round < 4; ++round) {
    Encoded together1, together2;
    std::thread a([&] { together1 = encode(first, 2, 3); });
    std::thread b([&] { together2 = encode(second, 2, 6); });
    a.join();
    b.join();
    EXPECT_EQ(together1.bytes, alone1.bytes);
    EXPECT_EQ(together2.bytes, alone2.bytes);
  }
  // Threads far beyond what helps are held to what does: the same bytes, no vast allocation.
  for (int threads : {0, 2, 8, 1 << 20, 1 << 30}) {
    EXPECT_EQ(encode(first, 2, 3, 44100, threads).bytes, alone1.bytes) << threads;
  }
}

// Long enough for the encoder to cut the sound into pieces on several threads. Noise at quality 0
// makes a piece's guessed state miss the exact one, so it is encoded again; silences across the
// seams leave runs open there; the clipped signals make the range guard act.
TEST(Api, EveryThreadCountGivesTheSameBytes) {
  constexpr size_t kFrames = 700000;
  auto withSilences = makeSignal(Signal::Music, kFrames, 2);
  for (size_t seam : {131072u, 262144u, 350000u, 393216u, 524288u}) {
    for (size_t i = (seam - 3000) * 2; i < (seam + 3000) * 2; ++i) withSilences[i] = 17;
  }
  const std::pair<std::vector<int16_t>, uint32_t> sounds[] = {
      {withSilences, 2},
      {makeSignal(Signal::FullScaleNoise, kFrames, 1), 1},
      {makeSignal(Signal::ClippedMusic, kFrames / 3, 6), 6},
      {makeSignal(Signal::ClippedSine, kFrames, 1), 1},
  };
  for (const auto& [samples, channels] : sounds) {
    for (int quality : {0, 3, 9}) {
      const Encoded one = encode(samples, channels, quality, 44100, 1);
      ASSERT_EQ(one.status, QXW_OK);
      for (int threads : {2, 3, 0}) {
        EXPECT_EQ(encode(samples, channels, quality, 44100, threads).bytes, one.bytes)
            << channels << " channels, quality " << quality << ", threads " << threads;
      }
    }
  }
}

// What a streaming encode told its caller: the steps, the bytes and the shares of work done.
struct Heard {
  std::vector<int> steps;
  std::vector<uint8_t> bytes;
  std::vector<double> told;
};

qxw_encoder_callbacks hearing(Heard& heard) {
  qxw_encoder_callbacks callbacks{};
  callbacks.context = &heard;
  callbacks.step = [](void* h, qxw_step step) { static_cast<Heard*>(h)->steps.push_back(step); };
  callbacks.write = [](void* h, const void* data, size_t size) {
    auto& bytes = static_cast<Heard*>(h)->bytes;
    bytes.insert(bytes.end(), static_cast<const uint8_t*>(data),
                 static_cast<const uint8_t*>(data) + size);
    return 0;
  };
  return callbacks;
}

// The share of the work done, told as it goes, rises to at most 1 and changes no byte.
TEST(Api, TellsTheShareOfTheWorkDone) {
  const auto samples = makeSignal(Signal::Music, 300000, 2);
  const qxw_format format{300000, 2, 44100};
  for (const auto& [quality, bits, effort] :
       {std::tuple{3, 0.0, 0}, std::tuple{3, 4.0, 0}, std::tuple{3, 4.0, 1}}) {
    Heard heard;
    const qxw_encoder_callbacks callbacks = hearing(heard);
    const qxw_encode_options options{quality, bits, 2, 0};
    ASSERT_EQ(
        qxw_encode_stream_progress(
            samples.data(), &format, &options, effort, &callbacks,
            [](void* h, double done) { static_cast<Heard*>(h)->told.push_back(done); }, nullptr),
        QXW_OK);
    ASSERT_FALSE(heard.told.empty()) << bits << " " << effort;
    EXPECT_GT(heard.told.front(), 0) << bits << " " << effort;
    EXPECT_LE(heard.told.back(), 1) << bits << " " << effort;
    EXPECT_TRUE(std::is_sorted(heard.told.begin(), heard.told.end())) << bits << " " << effort;
    void* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(bits > 0 ? qxw_encode_search(samples.data(), &format, bits, effort, 1, &data, &size)
                       : qxw_encode(samples.data(), &format, quality, 1, &data, &size),
              QXW_OK);
    EXPECT_EQ(heard.bytes, std::vector<uint8_t>(static_cast<uint8_t*>(data),
                                                static_cast<uint8_t*>(data) + size));
    qxw_free(data);
  }
}

// The streaming encoder as a program uses it: the caller's functions see every step, the
// estimates and the bytes of qxw_encode, through a seekable output or a pipe alike.
TEST(Api, EncodesThroughTheCallersFunctions) {
  struct Output {
    std::vector<uint8_t> bytes;
    size_t at = 0;
    std::vector<int> steps;
    int raised = 0;
    bool refuse = false;
    int failWrite = -1;  // the write that fails, or -1
  };
  qxw_encoder_callbacks seekable{};
  seekable.step = [](void* o, qxw_step step) { static_cast<Output*>(o)->steps.push_back(step); };
  seekable.quality_raised = [](void* o, int, int) { ++static_cast<Output*>(o)->raised; };
  seekable.open = [](void* o) { return static_cast<Output*>(o)->refuse ? 0 : 1; };
  seekable.write = [](void* o, const void* data, size_t size) {
    auto& out = *static_cast<Output*>(o);
    if (out.failWrite-- == 0) return 1;
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (out.bytes.size() < out.at + size) out.bytes.resize(out.at + size);
    std::copy(bytes, bytes + size, out.bytes.begin() + static_cast<long>(out.at));
    out.at += size;
    return 0;
  };
  seekable.seek = [](void* o, uint64_t position) {
    static_cast<Output*>(o)->at = position;
    return 0;
  };
  seekable.rewind = [](void* o) {
    static_cast<Output*>(o)->bytes.clear();
    static_cast<Output*>(o)->at = 0;
    return 0;
  };
  qxw_encoder_callbacks piped = seekable;
  piped.seek = nullptr;
  piped.rewind = nullptr;
  // Music, and a loud square whose quality-0 file is written again at a higher quality.
  for (const auto& [samples, channels, quality] :
       {std::tuple{makeSignal(Signal::Music, 30000, 2), 2u, 3},
        std::tuple{makeSignal(Signal::LoudSquare, 20000, 1, 40), 1u, 0}}) {
    const qxw_format format{static_cast<uint32_t>(samples.size() / channels), channels, 44100};
    const Encoded expected = encode(samples, channels, quality);
    for (qxw_encoder_callbacks callbacks : {seekable, piped}) {
      Output out;
      callbacks.context = &out;
      const qxw_encode_options options{quality, 0, 0, 1};
      qxw_encode_report report{};
      ASSERT_EQ(qxw_encode_stream(samples.data(), &format, &options, &callbacks, &report), QXW_OK);
      EXPECT_EQ(out.bytes, expected.bytes);
      EXPECT_EQ(report.bytes, expected.bytes.size());
      EXPECT_EQ(out.steps, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
      EXPECT_EQ(out.raised > 0, quality == 0);
      const auto decoded = decodeWhole(out.bytes);
      EXPECT_EQ(report.digest, qxw_digest(0, decoded.data(), decoded.size(), 0));
    }
  }
  const auto samples = makeSignal(Signal::Music, 3000, 1);
  const qxw_format format{3000, 1, 44100};
  const qxw_encode_options options{3, 0, 1, 0};
  Output refused;
  refused.refuse = true;
  seekable.context = &refused;
  EXPECT_EQ(qxw_encode_stream(samples.data(), &format, &options, &seekable, nullptr), QXW_STOPPED);
  EXPECT_TRUE(refused.bytes.empty());
  Output failing;
  failing.failWrite = 1;
  seekable.context = &failing;
  EXPECT_EQ(qxw_encode_stream(samples.data(), &format, &options, &seekable, nullptr),
            QXW_WRITE_FAILED);
  qxw_encoder_callbacks halfSeekable = seekable;
  halfSeekable.rewind = nullptr;
  EXPECT_EQ(qxw_encode_stream(samples.data(), &format, &options, &halfSeekable, nullptr),
            QXW_INVALID_ARGUMENT);
}

// A failed write ends the run at once: nothing more is written, and the run does not finish.
TEST(Api, StopsAtTheFirstFailedWrite) {
  struct Output {
    int writes = 0;
    std::vector<int> steps;
  };
  qxw_encoder_callbacks failing{};
  failing.step = [](void* o, qxw_step step) { static_cast<Output*>(o)->steps.push_back(step); };
  failing.write = [](void* o, const void*, size_t) { return ++static_cast<Output*>(o)->writes; };
  failing.seek = [](void*, uint64_t) { return 0; };
  failing.rewind = [](void*) { return 0; };
  const auto samples = makeSignal(Signal::FullScaleNoise, 600000, 2);
  const qxw_format format{600000, 2, 44100};
  for (const qxw_encode_options& options :
       {qxw_encode_options{9, 0, 1, 0}, qxw_encode_options{3, 0, 2, 1},
        qxw_encode_options{9, 4.0, 1, 0}, qxw_encode_options{9, 4.0, 2, 1}}) {
    Output out;
    failing.context = &out;
    EXPECT_EQ(qxw_encode_stream(samples.data(), &format, &options, &failing, nullptr),
              QXW_WRITE_FAILED)
        << options.quality << " " << options.bits_per_sample;
    EXPECT_EQ(out.writes, 1) << options.quality << " " << options.bits_per_sample;
    EXPECT_EQ(std::count(out.steps.begin(), out.steps.end(), QXW_STEP_DONE), 0);
  }
}

// What the shared library exports is its C interface and nothing else.
Encoded encodeBits(const std::vector<int16_t>& samples, uint32_t channels, double bits,
                   int effort = 0) {
  const qxw_format format{static_cast<uint32_t>(samples.size() / channels), channels, 44100};
  void* data = nullptr;
  size_t size = 0;
  Encoded result;
  result.status = qxw_encode_search(samples.data(), &format, bits, effort, 1, &data, &size);
  if (result.status == QXW_OK) {
    result.bytes.assign(static_cast<const uint8_t*>(data),
                        static_cast<const uint8_t*>(data) + size);
    qxw_free(data);
  }
  return result;
}

double squaredError(const std::vector<int16_t>& a, const std::vector<int16_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return sum;
}

struct Sound {
  const char* name;
  uint32_t channels;
  std::vector<int16_t> samples;
};

// Sounds where the levels' steps save little or nothing: rails, squares, runs and jumps, clipping,
// 8-bit samples stored in 16 bits, few magnitudes, near silence, a tone near the rate's half,
// steps that wrap the 16-bit range.
std::vector<Sound> soundsThatResistLoss() {
  const size_t n = 60000;
  std::vector<int16_t> rails(n), square(n), runs(n), clipped(n), eightBit(n), clippedSine(n),
      few(n), quiet(n), tone(n), wraps(n), square8(2 * n);
  uint32_t seed = 1;
  int16_t level = 0;
  int walk = 0;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    const double t = static_cast<double>(i);
    rails[i] = i % 2 ? 32767 : -32767;
    square[i] = (i / 50) % 2 ? 20000 : -20000;
    if (seed % 500 == 0) level = static_cast<int16_t>(static_cast<int>(seed >> 16) - 32768);
    runs[i] = level;
    clipped[i] = static_cast<int16_t>(std::clamp(40000 * std::sin(0.02 * t), -20000.0, 20000.0));
    eightBit[i] = static_cast<int16_t>(
        (static_cast<int>(8000 * std::sin(0.01 * t)) + static_cast<int>(seed >> 20) - 2048) / 256 *
        256);
    clippedSine[i] =
        static_cast<int16_t>(std::clamp(60000 * std::sin(0.03 * t), -32768.0, 32767.0));
    walk = std::clamp(walk + static_cast<int>((seed >> 16) % 3) * 700 - 700, -30000, 30000);
    few[i] = static_cast<int16_t>(walk);
    quiet[i] = static_cast<int16_t>(static_cast<int>((seed >> 16) % 5) - 2);
    tone[i] = static_cast<int16_t>(12000 * std::sin(2 * std::numbers::pi * 8000 * t / 44100));
    wraps[i] = static_cast<int16_t>((i * 9973 + (seed >> 20)) % 65536 - 32768);
    square8[2 * i] = (i / 4) % 2 ? 16384 : -16384;
    square8[2 * i + 1] = (i / 4) % 2 ? -16384 : 16384;
  }
  return {{"rails", 1, rails},
          {"square", 1, square},
          {"runs and jumps", 1, runs},
          {"clipped", 1, clipped},
          {"8-bit", 1, eightBit},
          {"clipped sine", 1, clippedSine},
          {"few magnitudes", 1, few},
          {"near silence", 1, quiet},
          {"8 kHz tone", 1, tone},
          {"wrapping steps", 1, wraps},
          {"stereo square of period 8", 2, square8}};
}

// No level and no target writes a lossy file at least as large as the lossless one, and a larger
// target never gives a smaller file, searched or not.
TEST(Api, LossySavesSomethingOrTheSoundIsKeptWhole) {
  for (const auto& [name, channels, samples] : soundsThatResistLoss()) {
    const Encoded lossless = encode(samples, channels, 9);
    const auto keptWhole = [&](const Encoded& file) {
      return file.bytes.size() < lossless.bytes.size() || decodeWhole(file.bytes) == samples;
    };
    for (int quality = 0; quality < 9; ++quality) {
      EXPECT_TRUE(keptWhole(encode(samples, channels, quality))) << name << " Q" << quality;
    }
    const std::vector<double> targets[] = {{2.0, 2.5, 3.0, 3.5, 4.0, 5.0, 6.0, 7.0, 7.5, 8.0},
                                           {2.0, 2.5, 3.0, 4.0, 8.0}};
    for (int effort : {0, 1}) {
      size_t previous = 0;
      for (double bits : targets[effort]) {
        const Encoded file = encodeBits(samples, channels, bits, effort);
        EXPECT_TRUE(keptWhole(file)) << name << " /B" << bits << " /X" << effort;
        EXPECT_LE(file.bytes.size(), lossless.bytes.size())
            << name << " /B" << bits << " /X" << effort;
        EXPECT_GE(file.bytes.size(), previous) << name << " /B" << bits << " /X" << effort;
        previous = file.bytes.size();
      }
    }
  }
}

// A target below what a short sound's header costs keeps the sound at least as well as the
// smallest level does, never silence.
TEST(Api, AShortSoundKeepsItsSoundUnderAnyTarget) {
  for (size_t frames : {1, 10, 1000, 5000}) {
    std::vector<int16_t> samples(frames);
    for (size_t i = 0; i < frames; ++i) {
      samples[i] = static_cast<int16_t>(1234 + 8000 * std::sin(0.05 * double(i)));
    }
    const double levelError = squaredError(decodeWhole(encode(samples, 1, 0).bytes), samples);
    for (double bits : {2.0, 4.0, 8.0}) {
      const auto decoded = decodeWhole(encodeBits(samples, 1, bits).bytes);
      EXPECT_LE(squaredError(decoded, samples), levelError) << frames << " frames /B" << bits;
      EXPECT_LT(squaredError(decoded, samples),
                squaredError(std::vector<int16_t>(frames), samples));
    }
  }
}

// The callbacks hear of the lossless file that replaced a level which saved nothing.
TEST(Api, ReportsTheStepThatWritesTheSoundLossless) {
  const auto samples = soundsThatResistLoss()[0].samples;
  const qxw_format format{static_cast<uint32_t>(samples.size()), 1, 44100};
  Heard heard;
  const qxw_encoder_callbacks callbacks = hearing(heard);
  const qxw_encode_options options{3, 0, 1, 0};
  ASSERT_EQ(qxw_encode_stream(samples.data(), &format, &options, &callbacks, nullptr), QXW_OK);
  const std::vector<int> tail(heard.steps.end() - 3, heard.steps.end());
  EXPECT_EQ(tail, (std::vector<int>{QXW_STEP_SAMPLES, QXW_STEP_LOSSLESS, QXW_STEP_DONE}));
  EXPECT_EQ(heard.bytes, encode(samples, 1, 9).bytes);
}

// The names the shared library exports.
std::vector<std::string> exportedNames() {
  std::vector<std::string> names;
#ifdef _WIN32
  // The DLL's export directory, read from the loaded image.
  HMODULE library = ::LoadLibraryW(platform::widen(QXW_LIBRARY_PATH).c_str());
  EXPECT_NE(library, nullptr);
  if (library == nullptr) return names;
  const auto* base = reinterpret_cast<const uint8_t*>(library);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const auto* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
  const auto* nameOffsets = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    names.emplace_back(reinterpret_cast<const char*>(base + nameOffsets[i]));
  }
  ::FreeLibrary(library);
#else
  FILE* symbols = ::popen(("nm -D --defined-only " + std::string(QXW_LIBRARY_PATH)).c_str(), "r");
  EXPECT_NE(symbols, nullptr);
  if (symbols == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, symbols) != nullptr) {
    std::string name = std::strrchr(line, ' ') + 1;
    if (!name.empty() && name.back() == '\n') name.pop_back();
    names.push_back(name);
  }
  EXPECT_EQ(::pclose(symbols), 0);
#endif
  return names;
}

TEST(Api, TheLibraryShowsOnlyItsCFace) {
  const std::vector<std::string> names = exportedNames();
  for (const std::string& name : names) EXPECT_EQ(name.rfind("qxw_", 0), 0u) << name;
  EXPECT_EQ(names.size(), 23u);
}

TEST(Api, WorksFromCAndNamesItsVersionAndStatuses) {
#ifdef QXW_TEST_C_HEADER
  EXPECT_EQ(qxw_c_round_trip(), 0);
#endif
  const std::string version = qxw_version();
  EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 2) << version;
  // The programs name themselves and the library's version.
  EXPECT_EQ(runProgram(WAV2QXW_PATH, {"--version"}).out, "wav2qxw " + version + "\n");
  EXPECT_EQ(runProgram(QXW2WAV_PATH, {"--version"}).out, "qxw2wav " + version + "\n");
  for (int s = 0; s <= 10; ++s) {
    const char* text = qxw_status_text(static_cast<qxw_status>(s));
    ASSERT_NE(text, nullptr);
    EXPECT_STRNE(text, "unknown status") << s;
    EXPECT_EQ(std::strchr(text, '\n'), nullptr);
  }
}

}  // namespace
}  // namespace qxw
