#include "encoder/size_target.h"

#include <algorithm>

#include "encoder/bit_writer.h"
#include "encoder/class_step_search.h"
#include "encoder/output_stream.h"
#include "encoder/target_encoder.h"
#include "format/qxw_layout.h"

namespace qxw {

namespace {}  // namespace

long double signalOf(SampleRange samples) {
  long double signal = 0;
  uint64_t part = 0;  // exact over 2^32 samples of at most 2^30 each
  const uint64_t count = samples.sampleCount();
  for (uint64_t i = 0; i < count; ++i) {
    const int64_t x = readSample(samples.begin + 2 * i);
    part += static_cast<uint64_t>(x * x);
    if ((i & 0xFFFFFFFu) == 0xFFFFFFFu) signal += part, part = 0;
  }
  return signal + part;
}

long double noiseOf(SampleRange samples, const std::vector<int16_t>& reconstruction) {
  long double noise = 0;
  for (uint64_t i = 0; i < reconstruction.size(); ++i) {
    const long double d = readSample(samples.begin + 2 * i) - reconstruction[i];
    noise += d * d;
  }
  return noise;
}

Candidate writeTargetFile(EncoderModel& model, const UniformTable& table, int runWidth,
                          SampleRange samples, const SoundFormat& format, bool keep,
                          unsigned threads) {
  table.applyTo(model);
  model.binBits[0] = runWidth;
  // A file written before let its channel states go.
  model.channels = std::make_unique<ChannelState[]>(format.channelCount);
  Candidate candidate;
  if (keep) candidate.reconstruction.resize(samples.sampleCount());
  OutputStream file;
  file.createInMemory();
  BitWriter writer(file);
  model.writeMagic(writer);
  model.writeHeader(writer, format.sampleRate);
  Recording recording;
  recording.samples = keep ? candidate.reconstruction.data() : nullptr;
  candidate.noise = writeTargetSamples({table, runWidth, format.channelCount}, model, writer,
                                       samples, recording, threads)
                        .noise;
  model.finishFile(writer);
  file.close();
  candidate.bytes = file.contents();
  return candidate;
}

Searched searchedReconstruction(EncoderModel& model, const StepSearch& nearest,
                                const UniformTable& table, SampleRange samples,
                                const SoundFormat& format, double bitsPerSample, int effort,
                                unsigned threads, double from, double to) {
  const int runWidth = nearest.runWidth();
  const long double nearestNoise =
      measureTargetNoise({table, runWidth, format.channelCount}, samples, threads);
  ClassStepSearch search(model, samples, format.channelCount, threads, searchEffort(effort),
                         model.meter);
  search.reportWithin(from, to);
  auto path = std::make_unique<SearchedPath>(format.channelCount,
                                             samples.sampleCount() / format.channelCount);
  std::unique_ptr<UniformTable> classTable =
      search.find(bitsPerSample, nearest.logStep(), nearest.largestDifference(), runWidth, *path);
  const auto noise = static_cast<long double>(search.noise());
  // The data's bits, past the header, against what the target allows.
  const double allowed =
      bitsPerSample * static_cast<double>(samples.sampleCount()) * (1 + kTargetMiss);
  const auto fits = [allowed](uint64_t bits) {
    return static_cast<double>(bits - 8 * uint64_t{kQxwHeaderSize}) <= allowed;
  };
  if (fits(search.bits()) && (noise <= nearestNoise || !fits(nearest.estimatedBits()))) {
    fitCodes(model, search.counts(), *classTable, runWidth);
    return {std::move(classTable), std::move(path)};
  }
  return {};
}

Candidate chooseUnmet(EncoderModel& model, StepSearch& search, Candidate level,
                      bool searchAtLevelSize, Candidate smallest, long double signal,
                      SampleRange samples, const SoundFormat& format, bool keep, unsigned threads) {
  Candidate chosen = std::move(level);
  if (searchAtLevelSize) {
    const uint64_t count = std::max<uint64_t>(samples.sampleCount(), 1);
    const std::unique_ptr<UniformTable> table =
        search.find(8.0 * static_cast<double>(chosen.bytes.size()) / static_cast<double>(count));
    fitCodes(model, search.counts(), *table, search.runWidth());
    Candidate atLevelSize =
        writeTargetFile(model, *table, search.runWidth(), samples, format, keep, threads);
    if (atLevelSize.bytes.size() <= chosen.bytes.size() && atLevelSize.noise <= chosen.noise) {
      chosen = std::move(atLevelSize);
    }
  }
  if (smallest.bytes.size() < chosen.bytes.size() && smallest.noise < signal) {
    chosen = std::move(smallest);
  }
  return chosen;
}

}  // namespace qxw
