#include "library/compressor.h"

#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <thread>

#include "encoder/bit_writer.h"
#include "encoder/class_step_search.h"
#include "encoder/piece_encoder.h"
#include "encoder/step_search.h"
#include "encoder/target_encoder.h"

namespace qxw {

namespace {

// The CPUs this process may run on (taskset, a container's CPU set), which the hardware count
// ignores.
unsigned allowedCpus() {
#ifdef __linux__
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0) {
    return static_cast<unsigned>(CPU_COUNT(&allowed));
  }
#endif
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

// Threads beyond a few a CPU, or beyond one a block of the sound, only cost memory and time to
// start (a million asked for took 125 MB on a thousand frames); the bytes never depend on them.
unsigned threadsToUse(int threads, uint32_t frames) {
  constexpr unsigned kThreadsPerCpu = 4;
  constexpr uint64_t kFramesPerThread = 4096;  // the smallest block any pass hands a thread
  const unsigned cpus = allowedCpus();
  const unsigned asked = threads > 0 ? static_cast<unsigned>(threads) : cpus;
  const uint64_t pieces = std::max<uint64_t>(1, (frames + kFramesPerThread - 1) / kFramesPerThread);
  return static_cast<unsigned>(
      std::min<uint64_t>({asked, uint64_t{kThreadsPerCpu} * cpus, pieces}));
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

// Writes the whole file at the model's current table; the samples lost by it (see
// encodeSamplesInPieces).
uint64_t writeFile(EncoderModel& model, OutputStream& output, SampleRange samples,
                   const SoundFormat& format, unsigned threads, Recording recording,
                   CompressionListener* announce) {
  BitWriter writer(output);
  model.writeMagic(writer);
  model.writeHeader(writer, format.sampleRate);
  if (announce != nullptr) announce->stepStarts(CompressionStep::EncodingSamples);
  const uint64_t lost = encodeSamplesInPieces(model, writer, samples, threads, recording);
  model.finishFile(writer);
  return lost;
}

// The level passes up to the estimates: the difference histogram, the bin layout, the context
// statistics, the Huffman codes and the refinement for the quality. Steps go to listener when
// given. The table before the refinement is returned.
LosslessTable analyzeLevels(EncoderModel& model, SampleRange samples, const SoundFormat& format,
                            int quality, unsigned threads, SizeEstimates& estimates,
                            CompressionListener* listener) {
  // Each step's share of a level's run, for the progress shown: the counting passes take about
  // a quarter of it, the writing the rest.
  const auto step = [&](CompressionStep s) {
    if (listener != nullptr) listener->stepStarts(s);
    static constexpr double kStepStarts[] = {0, 0.1, 0.12, 0.25, kLevelWriteStarts};
    const auto k = static_cast<size_t>(s);
    if (model.meter != nullptr) model.meter->stage(kStepStarts[k], kStepStarts[k + 1]);
  };
  step(CompressionStep::HistogrammingDeltas);
  model.initialize(format.channelCount);
  histogramDeltasInPieces(model, samples, threads);
  step(CompressionStep::AnalyzingHistogram);
  model.analyzeHistogram(format.frameCount);
  step(CompressionStep::GatheringStatistics);
  model.resetContextStatistics();
  gatherContextStatisticsInPieces(model, samples, threads);
  step(CompressionStep::GeneratingCodes);
  model.generateHuffmanCodes(estimates.totalBits);
  const LosslessTable lossless(model);
  model.refineBins(static_cast<uint32_t>(quality), estimates.runBits, estimates.losslessValueBits,
                   estimates.selectedValueBits);
  return lossless;
}

// The model's table refined again for another quality; the codes stay.
void refineAgain(EncoderModel& model, const LosslessTable& lossless, int quality,
                 uint32_t channels) {
  lossless.restore(model);
  model.channels = std::make_unique<ChannelState[]>(channels);
  SizeEstimates unused;
  model.refineBins(static_cast<uint32_t>(quality), unused.runBits, unused.losslessValueBits,
                   unused.selectedValueBits);
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

// A level or a target that saves nothing must not lose sound: where the file written is at least
// the lossless estimate (for a level) or the lossless file itself (for a size target, which
// promises never to be larger), the lossless file replaces it when it is no larger. True when it
// did. The model is left at quality 9 then.
bool replaceByLossless(EncoderModel& model, const LosslessTable& lossless,
                       uint64_t losslessEstimate, OutputStream& output, SampleRange samples,
                       const SoundFormat& format, unsigned threads, CompressionListener& listener,
                       bool exact = false) {
  // The estimate can lie above the file by a third or more (squares, few magnitudes): a size
  // target counts the lossless file's bytes unless its own are well under the estimate.
  if (output.size() < (exact ? losslessEstimate / 2 : losslessEstimate)) return false;
  refineAgain(model, lossless, 9, format.channelCount);
  if (exact) {
    CountingSink counted;
    OutputStream file;
    file.attachSink(counted);
    writeFile(model, file, samples, format, threads, {}, nullptr);
    file.close();
    if (counted.size() > output.size()) return false;
    model.channels = std::make_unique<ChannelState[]>(format.channelCount);
  }
  OutputStream file;
  file.createInMemory(static_cast<size_t>(output.size()));
  writeFile(model, file, samples, format, threads, {}, nullptr);
  file.close();
  if (file.contents().size() > output.size()) return false;
  listener.writtenLossless();
  output.restart();
  output.append(file.contents().data(), file.contents().size());
  recordInput(listener, samples);
  return true;
}

// The sum of squared input samples.
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

// The squared differences between the input and a reconstruction.
long double noiseOf(SampleRange samples, const std::vector<int16_t>& reconstruction) {
  long double noise = 0;
  for (uint64_t i = 0; i < reconstruction.size(); ++i) {
    const long double d = readSample(samples.begin + 2 * i) - reconstruction[i];
    noise += d * d;
  }
  return noise;
}

// One candidate file for a size target, in memory, with what it measured.
struct Candidate {
  std::vector<uint8_t> bytes;
  long double noise = 0;
  std::vector<int16_t> reconstruction;
};

// The walk of a target table written whole into memory with the model's codes.
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

// The model's codes, kept while another search fits its own.
struct SavedCodes {
  int32_t length[kContextCount][kSymbolColumns];
  uint32_t word[kContextCount][kSymbolColumns];
  explicit SavedCodes(const EncoderModel& model) {
    std::memcpy(length, model.codeLength, sizeof length);
    std::memcpy(word, model.codeWord, sizeof word);
  }
  void restore(EncoderModel& model) const {
    std::memcpy(model.codeLength, length, sizeof length);
    std::memcpy(model.codeWord, word, sizeof word);
  }
};

// The class search's reconstruction beside the nearest choice at the step found: the search's
// table, with the model's codes fitted to the reconstruction it leaves, where the reconstruction
// keeps more of the sound within the size allowed; else null, the reconstruction empty and the
// nearest choice's codes back, so that searching never loses. The search fills the span given of
// the run's progress.
struct Span {
  double from, to;
};

std::unique_ptr<UniformTable> searchedTable(EncoderModel& model, const StepSearch& nearestSearch,
                                            const UniformTable& table, SampleRange samples,
                                            const SoundFormat& format, double bitsPerSample,
                                            int effort, unsigned threads,
                                            std::vector<int16_t>& reconstruction, Span span) {
  const int runWidth = nearestSearch.runWidth();
  const long double nearestNoise =
      measureTargetNoise({table, runWidth, format.channelCount}, samples);
  const SavedCodes nearestCodes(model);
  ClassStepSearch search(model, samples, format.channelCount, threads, searchEffort(effort));
  search.reportWithin(span.from, span.to);
  std::unique_ptr<UniformTable> classTable =
      search.find(bitsPerSample, nearestSearch.logStep(), nearestSearch.largestDifference(),
                  runWidth, reconstruction);
  long double noise = 0;
  for (uint64_t i = 0; i < reconstruction.size(); ++i) {
    const long double d = readSample(samples.begin + 2 * i) - reconstruction[i];
    noise += d * d;
  }
  // The data's bits, past the header, against what the target allows.
  const double allowed =
      bitsPerSample * static_cast<double>(samples.sampleCount()) * (1 + kTargetMiss);
  const auto fits = [allowed](uint64_t bits) {
    return static_cast<double>(bits - 8 * uint64_t{kQxwHeaderSize}) <= allowed;
  };
  if (fits(search.bits()) && (noise <= nearestNoise || !fits(nearestSearch.estimatedBits()))) {
    return classTable;
  }
  nearestCodes.restore(model);
  reconstruction.clear();
  reconstruction.shrink_to_fit();
  return nullptr;
}

}  // namespace

uint64_t estimatedBytes(uint64_t bits) { return (bits >> 3) + kQxwHeaderSize; }

Status compress(EncoderModel& model, SampleRange samples, const SoundFormat& format, int quality,
                CompressionListener& listener, int threads) {
  const unsigned threadCount = threadsToUse(threads, format.frameCount);
  MeteredRun run(model, listener);
  SizeEstimates estimates;
  const LosslessTable lossless =
      analyzeLevels(model, samples, format, quality, threadCount, estimates, &listener);
  listener.estimatesReady(estimates);

  listener.stepStarts(CompressionStep::WritingHeader);
  OutputStream* output = listener.output();
  if (output == nullptr) return Status::Stopped;
  run.meter().stage(kLevelWriteStarts, 1, format.frameCount);
  uint64_t lost = writeFile(model, *output, samples, format, threadCount,
                            recordingFor(listener, samples), &listener);
  // A table whose levels all leave the 16-bit range from where the reconstruction stands cannot
  // follow the signal (loud square waves); the next quality up has finer levels, and quality 9
  // follows every signal exactly.
  while (lost > kLostSampleLimit && quality < 9) {
    listener.qualityRaised(quality, quality + 1);
    ++quality;
    refineAgain(model, lossless, quality, format.channelCount);
    output->restart();
    lost = writeFile(model, *output, samples, format, threadCount, recordingFor(listener, samples),
                     nullptr);
  }
  if (quality < 9) {
    replaceByLossless(
        model, lossless,
        estimatedBytes(estimates.runBits + estimates.losslessValueBits + estimates.totalBits),
        *output, samples, format, threadCount, listener);
  }
  listener.stepStarts(CompressionStep::Finishing);
  return Status::Ok;
}

Status compressToBits(SampleRange samples, const SoundFormat& format, double bitsPerSample,
                      CompressionListener& listener, int threads, int effort) {
  auto model = std::make_unique<EncoderModel>();
  MeteredRun run(*model, listener);
  // Shares of the run, for the progress shown: a searched target spends most of it searching.
  const double searchStarts = effort > 0 ? 0.1 : 0.15, writeStarts = effort > 0 ? 0.9 : 0.15;
  listener.stepStarts(CompressionStep::HistogrammingDeltas);
  run.meter().stage(0, 0.05);
  const unsigned threadCount = threadsToUse(threads, format.frameCount);
  model->initialize(format.channelCount);
  histogramDeltasInPieces(*model, samples, threadCount);
  listener.stepStarts(CompressionStep::AnalyzingHistogram);
  run.meter().stage(0.05, searchStarts);
  model->frameCount = format.frameCount;
  StepSearch search(*model, samples, format.channelCount, threadCount);
  listener.stepStarts(CompressionStep::GatheringStatistics);
  std::unique_ptr<UniformTable> table = search.find(bitsPerSample);
  listener.stepStarts(CompressionStep::GeneratingCodes);
  const uint64_t count = samples.sampleCount();
  const double target = bitsPerSample * static_cast<double>(count);
  // Below what the header and one bit a sample cost (a short sound), the search ends at a step
  // that keeps nothing of the sound.
  const bool unmet = static_cast<double>(search.estimatedBits()) > target * (1 + kTargetMiss);

  listener.stepStarts(CompressionStep::WritingHeader);
  OutputStream* output = listener.output();
  if (output == nullptr) return Status::Stopped;
  TargetReport report;
  // The lossless file, and its estimate, from the level passes on a model of their own.
  auto levels = std::make_unique<EncoderModel>();
  SizeEstimates estimates;
  LosslessTable lossless(*model);
  if (!unmet) {
    // With an effort, the class search's reconstruction where it keeps more; the nearest choice
    // else.
    std::vector<int16_t> reconstruction;
    std::unique_ptr<UniformTable> searched;
    if (effort > 0 && count > 0) {
      listener.stepStarts(CompressionStep::EncodingSamples);
      searched = searchedTable(*model, search, *table, samples, format, bitsPerSample, effort,
                               threadCount, reconstruction, {searchStarts, writeStarts});
    }
    const UniformTable& written = searched ? *searched : *table;
    written.applyTo(*model);
    model->binBits[0] = search.runWidth();
    model->channels = std::make_unique<ChannelState[]>(format.channelCount);
    const TargetWalk walk{written, search.runWidth(), format.channelCount,
                          reconstruction.empty() ? nullptr : reconstruction.data()};
    BitWriter writer(*output);
    model->writeMagic(writer);
    model->writeHeader(writer, format.sampleRate);
    if (effort == 0) listener.stepStarts(CompressionStep::EncodingSamples);
    run.meter().stage(writeStarts, 0.95, format.frameCount);
    // The walk measures the signal as it goes.
    const TargetQuality quality = writeTargetSamples(walk, *model, writer, samples,
                                                     recordingFor(listener, samples), threadCount);
    report.signal = quality.signal;
    report.noise = quality.noise;
    model->finishFile(writer);
    run.meter().stage(0.95, 1);
    lossless = analyzeLevels(*levels, samples, format, 9, threadCount, estimates, nullptr);
  } else {
    // The smallest level, and the search's best at the smallest level's size: whichever keeps
    // more of the sound, never worse than the level.
    listener.stepStarts(CompressionStep::EncodingSamples);
    listener.targetUnmet();
    // The search's two files and the level's.
    run.meter().stage(searchStarts, 1, 3 * uint64_t{format.frameCount});
    const bool keep =
        listener.reconstruction() != nullptr || listener.reconstructionDigest() != nullptr;
    Candidate smallest =
        writeTargetFile(*model, *table, search.runWidth(), samples, format, keep, threadCount);
    QuietListener level;
    compress(*levels, samples, format, 0, level, static_cast<int>(threadCount));
    level.stream().close();
    Candidate chosen{level.stream().contents(), noiseOf(samples, level.samples()), level.samples()};
    report.signal = signalOf(samples);
    if (!level.lossless()) {
      table = search.find(8.0 * static_cast<double>(chosen.bytes.size()) /
                          static_cast<double>(std::max<uint64_t>(count, 1)));
      Candidate searched =
          writeTargetFile(*model, *table, search.runWidth(), samples, format, keep, threadCount);
      if (searched.bytes.size() <= chosen.bytes.size() && searched.noise <= chosen.noise) {
        chosen = std::move(searched);
      }
    }
    // The search's own smallest file, where it keeps some of the sound (it keeps none on a short
    // sound): a larger target must never give a smaller file than this one.
    if (smallest.bytes.size() < chosen.bytes.size() && smallest.noise < report.signal) {
      chosen = std::move(smallest);
    }
    emitCandidate(chosen, *output, listener, report);
    lossless = analyzeLevels(*levels, samples, format, 9, threadCount, estimates, nullptr);
  }
  if (replaceByLossless(
          *levels, lossless,
          estimatedBytes(estimates.runBits + estimates.losslessValueBits + estimates.totalBits),
          *output, samples, format, threadCount, listener, true)) {
    report.noise = 0;
  }
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
