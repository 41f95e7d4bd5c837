#include "library/compressor.h"

#include <memory>

#include "encoder/level_file.h"
#include "encoder/size_target.h"
#include "encoder/step_search.h"
#include "encoder/target_encoder.h"
#include "format/crew.h"
#include "library/thread_count.h"

namespace qxw {

namespace {

// Where a level's run is when it starts writing, for the progress shown.
constexpr double kLevelWriteStarts = 0.27;

// A run's meter on the model, telling the listener, for as long as the run lasts.
class MeteredRun {
 public:
  MeteredRun(EncoderModel& model, CompressionListener& listener)
      : model_(model), meter_([&listener](double done) { listener.progress(done); }) {
    model_.meter = &meter_;
  }
  ~MeteredRun() { model_.meter = nullptr; }
  MeteredRun(const MeteredRun&) = delete;
  MeteredRun& operator=(const MeteredRun&) = delete;
  ProgressMeter& meter() { return meter_; }

 private:
  EncoderModel& model_;
  ProgressMeter meter_;
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

// The level passes up to the estimates, in their order: the difference histogram (unless the
// model holds it already), the bin layout, the context statistics, the Huffman codes and the
// refinement for the quality. Steps go to listener when given. The table before the refinement
// is returned.
LosslessTable analyzeLevels(EncoderModel& model, SampleRange samples, const SoundFormat& format,
                            int quality, unsigned threads, SizeEstimates& estimates,
                            CompressionListener* listener, bool deltasCounted = false) {
  // Each step's share of a level's run, for the progress shown: the counting passes take about
  // a quarter of it, the writing the rest.
  const auto step = [&](CompressionStep s, double from, double to) {
    if (listener != nullptr) listener->stepStarts(s);
    if (model.meter != nullptr) model.meter->stage(from, to);
  };
  step(CompressionStep::HistogrammingDeltas, 0, 0.1);
  if (!deltasCounted) {
    model.initialize(format.channelCount);
    histogramDeltasInPieces(model, samples, threads);
  }
  step(CompressionStep::AnalyzingHistogram, 0.1, 0.12);
  model.analyzeHistogram(format.frameCount);
  step(CompressionStep::GatheringStatistics, 0.12, 0.25);
  model.resetContextStatistics();
  gatherContextStatisticsInPieces(model, samples, threads);
  step(CompressionStep::GeneratingCodes, 0.25, kLevelWriteStarts);
  model.generateHuffmanCodes(estimates.totalBits);
  const LosslessTable lossless(model);
  model.refineBins(static_cast<uint32_t>(quality), estimates.runBits, estimates.losslessValueBits,
                   estimates.selectedValueBits);
  return lossless;
}

// The estimated bytes of the lossless file.
uint64_t losslessEstimate(const SizeEstimates& estimates) {
  return estimatedBytes(estimates.runBits + estimates.losslessValueBits + estimates.totalBits);
}

// Keeps the input itself as the reconstruction, for a file written lossless.
void recordInput(CompressionListener& listener, SampleRange samples) {
  std::vector<int16_t>* recorded = listener.reconstruction();
  uint64_t* digest = listener.reconstructionDigest();
  if (recorded == nullptr && digest == nullptr) return;
  const uint64_t count = samples.sampleCount();
  if (recorded != nullptr) recorded->resize(count);
  uint64_t sum = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const int16_t x = readSample(samples.begin + 2 * i);
    if (recorded != nullptr) (*recorded)[i] = x;
    sum += digestTerm(i, x);
  }
  if (digest != nullptr) *digest = sum;
}

// A listener that keeps the file and the reconstruction in memory and tells nothing.
class QuietListener : public CompressionListener {
 public:
  QuietListener() { stream_.createInMemory(); }
  OutputStream* output() override { return &stream_; }
  std::vector<int16_t>* reconstruction() override { return &reconstruction_; }
  void writtenLossless() override { lossless_ = true; }
  OutputStream& stream() { return stream_; }
  const std::vector<int16_t>& samples() const { return reconstruction_; }
  bool lossless() const { return lossless_; }

 private:
  OutputStream stream_;
  std::vector<int16_t> reconstruction_;
  bool lossless_ = false;
};

// Hands the candidate chosen to the output and to what the listener keeps.
void emitCandidate(const Candidate& chosen, OutputStream& output, CompressionListener& listener,
                   TargetReport& report) {
  output.append(chosen.bytes.data(), chosen.bytes.size());
  report.noise = chosen.noise;
  if (std::vector<int16_t>* recorded = listener.reconstruction()) *recorded = chosen.reconstruction;
  if (uint64_t* digest = listener.reconstructionDigest()) {
    *digest = 0;
    for (uint64_t i = 0; i < chosen.reconstruction.size(); ++i) {
      *digest += digestTerm(i, chosen.reconstruction[i]);
    }
  }
}

}  // namespace

uint64_t estimatedBytes(uint64_t bits) { return (bits >> 3) + kQxwHeaderSize; }

Status compress(EncoderModel& model, SampleRange samples, const SoundFormat& format, int quality,
                CompressionListener& listener, int threads) {
  const unsigned threadCount = threadsToUse(threads, format.frameCount);
  const CrewScope crew(threadCount);
  MeteredRun run(model, listener);
  // 1. The level passes, up to the estimates.
  SizeEstimates estimates;
  const LosslessTable lossless =
      analyzeLevels(model, samples, format, quality, threadCount, estimates, &listener);
  listener.estimatesReady(estimates);

  // 2. The file at the quality.
  listener.stepStarts(CompressionStep::WritingHeader);
  OutputStream* output = listener.output();
  if (output == nullptr) return Status::Stopped;
  run.meter().stage(kLevelWriteStarts, 1, format.frameCount);
  // A file whose table loses the signal is given up as soon as it does: another replaces it.
  const auto limitAt = [](int q) { return q < 9 ? kLostSampleLimit : UINT64_MAX; };
  uint64_t lost = writeLevelFile(
      model, *output, samples, format, threadCount, recordingFor(listener, samples),
      [&listener] { listener.stepStarts(CompressionStep::EncodingSamples); }, limitAt(quality));
  if (output->failed()) return Status::WriteFailed;

  // 3. Again at the next quality up, while the table loses the signal: one whose levels all
  // leave the 16-bit range from where the reconstruction stands cannot follow it (loud square
  // waves); quality 9 follows every signal exactly.
  while (lost > kLostSampleLimit && quality < 9) {
    listener.qualityRaised(quality, quality + 1);
    ++quality;
    refineAgain(model, lossless, quality, format.channelCount);
    output->restart();
    lost = writeLevelFile(model, *output, samples, format, threadCount,
                          recordingFor(listener, samples), {}, limitAt(quality));
    if (output->failed()) return Status::WriteFailed;
  }

  // 4. The lossless file instead, where the level saved nothing.
  if (quality < 9 && replaceByLossless(model, lossless, losslessEstimate(estimates), *output,
                                       samples, format, threadCount, false)) {
    listener.writtenLossless();
    recordInput(listener, samples);
  }
  if (output->failed()) return Status::WriteFailed;
  listener.stepStarts(CompressionStep::Finishing);
  return Status::Ok;
}

Status compressToBits(SampleRange samples, const SoundFormat& format, double bitsPerSample,
                      CompressionListener& listener, int threads, int effort) {
  auto model = std::make_unique<EncoderModel>();
  MeteredRun run(*model, listener);
  // Shares of the run, for the progress shown: a searched target spends most of it searching.
  const double searchStarts = effort > 0 ? 0.1 : 0.15, writeStarts = effort > 0 ? 0.9 : 0.15;
  const unsigned threadCount = threadsToUse(threads, format.frameCount);
  const CrewScope crew(threadCount);
  const uint64_t count = samples.sampleCount();

  // 1. The difference histogram: the step search's first guess and its tables' reach.
  listener.stepStarts(CompressionStep::HistogrammingDeltas);
  run.meter().stage(0, 0.05);
  model->initialize(format.channelCount);
  histogramDeltasInPieces(*model, samples, threadCount);
  // The lossless file at the end starts from the same counts.
  auto levels = std::make_unique<EncoderModel>();
  levels->takeDeltaCounts(*model);

  // 2. The step whose nearest-level walk brings the file nearest the target, and the codes for
  // that walk.
  listener.stepStarts(CompressionStep::AnalyzingHistogram);
  run.meter().stage(0.05, searchStarts);
  model->frameCount = format.frameCount;
  StepSearch search(*model, samples, format.channelCount, threadCount);
  listener.stepStarts(CompressionStep::GatheringStatistics);
  std::unique_ptr<UniformTable> table = search.find(bitsPerSample);
  listener.stepStarts(CompressionStep::GeneratingCodes);
  fitCodes(*model, search.counts(), *table, search.runWidth());
  // Below what the header and one bit a sample cost (a short sound), the search ends at a step
  // that keeps nothing of the sound.
  const bool unmet = static_cast<double>(search.estimatedBits()) >
                     bitsPerSample * static_cast<double>(count) * (1 + kTargetMiss);

  listener.stepStarts(CompressionStep::WritingHeader);
  OutputStream* output = listener.output();
  if (output == nullptr) return Status::Stopped;
  TargetReport report;
  if (!unmet) {
    // 3. With an effort, the class search's reconstruction where it keeps more of the sound,
    // and the codes for it.
    Searched searched;
    if (effort > 0 && count > 0) {
      listener.stepStarts(CompressionStep::EncodingSamples);
      searched = searchedReconstruction(*model, search, *table, samples, format, bitsPerSample,
                                        effort, threadCount, searchStarts, writeStarts);
    }
    // 4. The walk written, measuring the signal as it goes.
    const UniformTable& written = searched.table ? *searched.table : *table;
    written.applyTo(*model);
    model->binBits[0] = search.runWidth();
    model->channels = std::make_unique<ChannelState[]>(format.channelCount);
    const TargetWalk walk{written, search.runWidth(), format.channelCount, searched.path.get()};
    BitWriter writer(*output);
    model->writeMagic(writer);
    model->writeHeader(writer, format.sampleRate);
    if (effort == 0) listener.stepStarts(CompressionStep::EncodingSamples);
    run.meter().stage(writeStarts, 0.95, format.frameCount);
    const TargetQuality quality = writeTargetSamples(walk, *model, writer, samples,
                                                     recordingFor(listener, samples), threadCount);
    report.signal = quality.signal;
    report.noise = quality.noise;
    model->finishFile(writer);
    if (output->failed()) return Status::WriteFailed;
    run.meter().stage(0.95, 1);
  } else {
    // 3. The target lies below what the sound can take: the smallest level's file, or the
    // search's best at that size, or its own smallest file, whichever keeps the most for the
    // fewest bytes.
    listener.stepStarts(CompressionStep::EncodingSamples);
    listener.targetUnmet();
    run.meter().stage(searchStarts, 1, 3 * uint64_t{format.frameCount});  // three files written
    const bool keep =
        listener.reconstruction() != nullptr || listener.reconstructionDigest() != nullptr;
    Candidate smallest =
        writeTargetFile(*model, *table, search.runWidth(), samples, format, keep, threadCount);
    QuietListener level;
    compress(samples, format, 0, level, static_cast<int>(threadCount));
    level.stream().close();
    report.signal = signalOf(samples);
    const Candidate chosen = chooseUnmet(
        *model, search,
        {level.stream().contents(), noiseOf(samples, level.samples()), level.samples()},
        !level.lossless(), std::move(smallest), report.signal, samples, format, keep, threadCount);
    // 4. The file chosen, written.
    emitCandidate(chosen, *output, listener, report);
    if (output->failed()) return Status::WriteFailed;
  }

  // 5. The lossless file instead, where it is no larger: a size target is never larger.
  SizeEstimates estimates;
  const LosslessTable lossless =
      analyzeLevels(*levels, samples, format, 9, threadCount, estimates, nullptr, true);
  if (replaceByLossless(*levels, lossless, losslessEstimate(estimates), *output, samples, format,
                        threadCount, true)) {
    listener.writtenLossless();
    recordInput(listener, samples);
    report.noise = 0;
  }
  if (output->failed()) return Status::WriteFailed;
  report.bytes = output->size();
  listener.stepStarts(CompressionStep::Finishing);
  report.bitsPerSample =
      count == 0 ? 0 : 8.0 * static_cast<double>(report.bytes) / static_cast<double>(count);
  listener.targetReached(report);
  return Status::Ok;
}

Status compress(SampleRange samples, const SoundFormat& format, int quality,
                CompressionListener& listener, int threads) {
  auto model = std::make_unique<EncoderModel>();
  return compress(*model, samples, format, quality, listener, threads);
}

}  // namespace qxw
