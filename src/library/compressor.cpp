#include "library/compressor.h"

#include <sched.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <thread>

#include "analysis/step_search.h"
#include "output/bit_writer.h"
#include "output/piece_encoder.h"
#include "output/target_encoder.h"

namespace qxw {

namespace {

// The CPUs this process may run on (taskset, a container's CPU set), which the hardware count
// ignores.
unsigned threadsToUse(int threads) {
  if (threads > 0) return static_cast<unsigned>(threads);
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&allowed));
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

// The bin table as the layout left it, before the refinement for a quality.
struct LosslessTable {
  uint32_t base[kBinCount];
  int32_t bits[kBinCount];
  explicit LosslessTable(const EncoderModel& model) {
    std::copy(std::begin(model.binBase), std::end(model.binBase), base);
    std::copy(std::begin(model.binBits), std::end(model.binBits), bits);
  }
  void restore(EncoderModel& model) const {
    std::copy(std::begin(base), std::end(base), model.binBase);
    std::copy(std::begin(bits), std::end(bits), model.binBits);
  }
};

// Where the listener wants the reconstruction kept.
Recording recordingFor(CompressionListener& listener, SampleRange samples) {
  Recording recording;
  if (std::vector<int16_t>* recorded = listener.reconstruction()) {
    recorded->resize(samples.sampleCount());
    recording.samples = recorded->data();
  }
  recording.digest = listener.reconstructionDigest();
  return recording;
}

// Writes the whole file at the model's current table; the samples lost by it (see
// encodeSamplesInPieces).
uint64_t writeFile(EncoderModel& model, OutputStream& output, SampleRange samples,
                   const SoundFormat& format, CompressionListener& listener, unsigned threads,
                   bool announce) {
  BitWriter writer(output);
  model.writeMagic(writer);
  model.writeHeader(writer, format.sampleRate);
  if (announce) listener.stepStarts(CompressionStep::EncodingSamples);
  const uint64_t lost =
      encodeSamplesInPieces(model, writer, samples, threads, recordingFor(listener, samples));
  model.finishFile(writer);
  return lost;
}

}  // namespace

bool compress(EncoderModel& model, SampleRange samples, const SoundFormat& format, int quality,
              CompressionListener& listener, int threads) {
  listener.stepStarts(CompressionStep::HistogrammingDeltas);
  const unsigned threadCount = threadsToUse(threads);
  model.initialize(format.channelCount);
  histogramDeltasInPieces(model, samples, threadCount);
  listener.stepStarts(CompressionStep::AnalyzingHistogram);
  model.analyzeHistogram(format.frameCount);
  listener.stepStarts(CompressionStep::GatheringStatistics);
  model.resetContextStatistics();
  gatherContextStatisticsInPieces(model, samples, threadCount);
  listener.stepStarts(CompressionStep::GeneratingCodes);
  SizeEstimates estimates;
  model.generateHuffmanCodes(estimates.totalBits);
  const LosslessTable lossless(model);
  model.refineBins(static_cast<uint32_t>(quality), estimates.runBits, estimates.losslessValueBits,
                   estimates.selectedValueBits);
  listener.estimatesReady(estimates);

  listener.stepStarts(CompressionStep::WritingHeader);
  OutputStream* output = listener.output();
  if (output == nullptr) return false;
  uint64_t lost = writeFile(model, *output, samples, format, listener, threadCount, true);
  // A table whose levels all leave the 16-bit range from where the reconstruction stands cannot
  // follow the signal (loud square waves); the next quality up has finer levels, and quality 9
  // follows every signal exactly.
  while (lost > kLostSampleLimit && quality < 9) {
    listener.qualityRaised(quality, quality + 1);
    ++quality;
    lossless.restore(model);
    model.channels = std::make_unique<ChannelState[]>(format.channelCount);
    SizeEstimates unused;
    model.refineBins(static_cast<uint32_t>(quality), unused.runBits, unused.losslessValueBits,
                     unused.selectedValueBits);
    output->restart();
    lost = writeFile(model, *output, samples, format, listener, threadCount, false);
  }
  listener.stepStarts(CompressionStep::Finishing);
  return true;
}

bool compressToBits(SampleRange samples, const SoundFormat& format, double bitsPerSample,
                    CompressionListener& listener, int threads) {
  auto model = std::make_unique<EncoderModel>();
  listener.stepStarts(CompressionStep::HistogrammingDeltas);
  const unsigned threadCount = threadsToUse(threads);
  model->initialize(format.channelCount);
  histogramDeltasInPieces(*model, samples, threadCount);
  listener.stepStarts(CompressionStep::AnalyzingHistogram);
  model->frameCount = format.frameCount;
  StepSearch search(*model, samples, format.channelCount, threadCount);
  listener.stepStarts(CompressionStep::GatheringStatistics);
  const std::unique_ptr<UniformTable> table = search.find(bitsPerSample);
  listener.stepStarts(CompressionStep::GeneratingCodes);
  table->applyTo(*model);
  model->binBits[0] = search.runWidth();
  const TargetWalk walk{*table, search.runWidth(), format.channelCount};

  listener.stepStarts(CompressionStep::WritingHeader);
  OutputStream* output = listener.output();
  if (output == nullptr) return false;
  BitWriter writer(*output);
  model->writeMagic(writer);
  model->writeHeader(writer, format.sampleRate);
  listener.stepStarts(CompressionStep::EncodingSamples);
  const TargetQuality quality =
      writeTargetSamples(walk, *model, writer, samples, recordingFor(listener, samples));
  writer.alignToWord();
  TargetReport report;
  report.bytes = output->position();
  model->finishFile(writer);
  listener.stepStarts(CompressionStep::Finishing);
  const uint64_t count = samples.sampleCount();
  report.bitsPerSample =
      count == 0 ? 0 : 8.0 * static_cast<double>(report.bytes) / static_cast<double>(count);
  report.signal = quality.signal;
  report.noise = quality.noise;
  listener.targetReached(report);
  return true;
}

bool compress(SampleRange samples, const SoundFormat& format, int quality,
              CompressionListener& listener, int threads) {
  auto model = std::make_unique<EncoderModel>();
  return compress(*model, samples, format, quality, listener, threads);
}

}  // namespace qxw
