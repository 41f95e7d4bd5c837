// Each pass alone, on ten seconds of generated stereo music at 44.1 kHz, so that a change to one
// pass can be measured by itself. Throughput is in input bytes per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "decoder/sample_decoder.h"
#include "encoder/bit_writer.h"
#include "encoder/class_search.h"
#include "library/compressor.h"
#include "qxw/qxw.h"
#include "support/signals.h"
#include "support/whole_passes.h"

namespace {

using namespace qxw;

constexpr uint32_t kChannels = 2;
constexpr size_t kFrames = 441000;

// Tones with a decaying partial and a little noise; or, for swings, the two rails with noise,
// which makes the encoder's range guard act on most samples below quality 9.
std::vector<uint8_t> generate(bool swings) {
  const auto samples = qxw::testing::makeSignal(
      swings ? qxw::testing::Signal::NoisyExtremes : qxw::testing::Signal::Music, kFrames,
      kChannels);
  std::vector<uint8_t> bytes(2 * samples.size());
  putSamples(samples.data(), samples.size(), bytes.data());
  return bytes;
}

const std::vector<uint8_t>& musicBytes() {
  static const auto bytes = generate(false);
  return bytes;
}

SampleRange rangeOf(const std::vector<uint8_t>& bytes) {
  return {bytes.data(), bytes.data() + bytes.size()};
}

// Runs the whole compression on a model kept for the benchmark; the file goes to memory.
std::vector<uint8_t> compressInto(EncoderModel& model, const std::vector<uint8_t>& bytes,
                                  int quality) {
  struct InMemory : CompressionListener {
    OutputStream stream;
    OutputStream* output() override { return &stream; }
  } listener;
  listener.stream.createInMemory();
  compress(model, rangeOf(bytes), SoundFormat{kFrames, kChannels, 44100}, quality, listener);
  listener.stream.close();
  return listener.stream.contents();
}

// A model that has run every pass before `stopBefore`, in the program's order.
enum class Stage { Histogram, Layout, Statistics, Codes, Refinement, Encoding };

std::unique_ptr<EncoderModel> modelBefore(Stage stopBefore, uint32_t quality = 3) {
  auto model = std::make_unique<EncoderModel>();
  const SampleRange range = rangeOf(musicBytes());
  model->initialize(kChannels);
  if (stopBefore == Stage::Histogram) return model;
  model->histogramDeltas(range);
  if (stopBefore == Stage::Layout) return model;
  model->analyzeHistogram(kFrames);
  if (stopBefore == Stage::Statistics) return model;
  model->resetContextStatistics();
  model->gatherContextStatistics(range);
  if (stopBefore == Stage::Codes) return model;
  uint64_t total = 0, run = 0, lossless = 0, selected = 0;
  model->generateHuffmanCodes(total);
  if (stopBefore == Stage::Refinement) return model;
  model->refineBins(quality, run, lossless, selected);
  return model;
}

void setBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * musicBytes().size()));
}

void BM_HistogramDeltas(benchmark::State& state) {
  auto model = modelBefore(Stage::Histogram);
  for (auto _ : state) {
    model->initialize(kChannels);
    model->histogramDeltas(rangeOf(musicBytes()));
  }
  setBytes(state);
}
BENCHMARK(BM_HistogramDeltas);

void BM_AnalyzeHistogram(benchmark::State& state) {
  auto model = modelBefore(Stage::Layout);
  for (auto _ : state) model->analyzeHistogram(kFrames);
}
BENCHMARK(BM_AnalyzeHistogram);

void BM_GatherContextStatistics(benchmark::State& state) {
  auto model = modelBefore(Stage::Statistics);
  for (auto _ : state) {
    model->resetContextStatistics();
    model->gatherContextStatistics(rangeOf(musicBytes()));
  }
  setBytes(state);
}
BENCHMARK(BM_GatherContextStatistics);

void BM_GenerateHuffmanCodes(benchmark::State& state) {
  auto model = modelBefore(Stage::Codes);
  for (auto _ : state) {
    uint64_t total = 0;
    model->generateHuffmanCodes(total);
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(BM_GenerateHuffmanCodes);

void BM_EncodeSamples(benchmark::State& state) {
  auto model = modelBefore(Stage::Encoding, static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    OutputStream out;
    out.createInMemory();
    BitWriter writer(out);
    for (uint32_t c = 0; c < kChannels; ++c) model->channels[c] = ChannelState{};
    encodeSamples(*model, writer, rangeOf(musicBytes()));
    writer.alignToWord();
    benchmark::DoNotOptimize(out.position());
  }
  setBytes(state);
}
BENCHMARK(BM_EncodeSamples)->Arg(3)->Arg(9);

void BM_EncodeExtremes(benchmark::State& state) {
  // Swings between the rails make the encoder's range guard act on most samples below quality 9.
  static const auto extremes = generate(true);
  auto model = std::make_unique<EncoderModel>();
  compressInto(*model, extremes, static_cast<int>(state.range(0)));
  model->channels = std::make_unique<ChannelState[]>(kChannels);
  for (auto _ : state) {
    OutputStream out;
    out.createInMemory();
    BitWriter writer(out);
    for (uint32_t c = 0; c < kChannels; ++c) model->channels[c] = ChannelState{};
    encodeSamples(*model, writer, rangeOf(extremes));
    benchmark::DoNotOptimize(out.position());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * extremes.size()));
}
BENCHMARK(BM_EncodeExtremes)->Arg(0)->Arg(3)->Arg(9);

void BM_DecodeSamples(benchmark::State& state) {
  auto model = std::make_unique<EncoderModel>();
  const auto file = compressInto(*model, musicBytes(), static_cast<int>(state.range(0)));
  QxwHeader header{};
  parseQxwHeader(file.data(), file.size(), header);
  for (auto _ : state) {
    uint64_t bytes = 0;
    decodeSamples(header, file.data() + 2200, [&](const uint8_t*, size_t n) { bytes += n; });
    benchmark::DoNotOptimize(bytes);
  }
  setBytes(state);
}
BENCHMARK(BM_DecodeSamples)->Arg(3)->Arg(9);

// The class search over one channel at each width /X takes, with rates weighed, at a step near
// what four bits a sample call for on this music.
void BM_ClassSearch(benchmark::State& state) {
  const UniformTable table(24.0, kMaxMagnitude, UniformTable::Shape{true, 2});
  ClassSearch search(table, 4, kChannels, static_cast<int>(state.range(0)));
  static ClassSearch::RateCosts rates;
  for (int c = 0; c < kContextCount; ++c) {
    for (int s = 0; s < kSymbolColumns; ++s) rates[c][s] = 400 * (2 + (s % 32) / 3);
  }
  search.weighRates(rates);
  const SampleRange range = rangeOf(musicBytes());
  for (auto _ : state) {
    SymbolCounts counts{};
    benchmark::DoNotOptimize(search.searchChannel(range.begin, range.begin, range.end, range.end, 0,
                                                  TargetState{}, nullptr, counts));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kFrames));
}
BENCHMARK(BM_ClassSearch)->Arg(4)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);

// The whole encoder as other programs call it.
void BM_ApiEncode(benchmark::State& state) {
  const qxw_format format{kFrames, kChannels, 44100};
  const auto* samples = reinterpret_cast<const int16_t*>(musicBytes().data());
  for (auto _ : state) {
    void* data = nullptr;
    size_t size = 0;
    qxw_encode(samples, &format, static_cast<int>(state.range(0)), 1, &data, &size);
    qxw_free(data);
  }
  setBytes(state);
}
BENCHMARK(BM_ApiEncode)->Arg(3)->Arg(9);

}  // namespace

BENCHMARK_MAIN();
