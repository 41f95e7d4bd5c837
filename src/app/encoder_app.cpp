#include "app/encoder_app.h"

#include <unistd.h>

#include <cmath>
#include <optional>
#include <cstdio>
#include <string>

#include "app/command_line.h"
#include "app/console.h"
#include "app/mapped_file.h"
#include "app/output_file.h"
#include "app/run_guard.h"
#include "app/verify_file.h"
#include "app/wav_header.h"
#include "format/qxw_layout.h"
#include "library/compressor.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

constexpr int kSuccess = 0;
constexpr int kUsage = 1;
constexpr int kFailure = 2;
const std::string kStandardStream = "-";

uint64_t estimatedBytes(uint64_t bits) { return (bits >> 3) + kQxwHeaderSize; }

// The three estimate lines; like every progress line they go where the progress goes.
void reportEstimates(const WaveInfo& info, int quality, const SizeEstimates& e) {
  const auto line = [&](const char* label, int level, uint64_t bits) {
    std::string text = label + formatEstimate(level, info.declaredSize, estimatedBytes(bits));
    text.pop_back();
    printProgress(text);
  };
  line("Smallest ", 0, e.runBits + e.totalBits);
  line("Lossless ", 9, e.runBits + e.losslessValueBits + e.totalBits);
  line("Selected ", quality, e.runBits + e.selectedValueBits + e.totalBits);
}

// The console side of a compression: a progress line before each pass, the estimates, and the
// output file, made only once the input has passed every check.
class ConsoleCompression : public CompressionListener {
 public:
  ConsoleCompression(const WaveInfo& info, const CommandLine& line, const std::string& outputName,
                     const MappedFile& input, SampleRange samples, bool toStandardOutput)
      : info_(info),
        samples_(samples),
        quality_(line.quality),
        bitsPerSample_(line.bitsPerSample),
        verify_(line.verify),
        toStandardOutput_(toStandardOutput),
        outputName_(outputName),
        input_(input) {}

  void stepStarts(CompressionStep step) override {
    switch (step) {
      case CompressionStep::HistogrammingDeltas:
        return printProgress("Histogramming deltas");
      case CompressionStep::AnalyzingHistogram:
        return printProgress("Analyzing histogram");
      case CompressionStep::GatheringStatistics:
        return printProgress("Gathering Huffman data");
      case CompressionStep::GeneratingCodes:
        return printProgress("Generating Huffman codes");
      case CompressionStep::WritingHeader:
        return printProgress("Writing QXW file header to file " + outputName_);
      case CompressionStep::EncodingSamples:
        return printProgress("Encoding and writing sound data");
      case CompressionStep::Finishing:
        return printProgress("Done.");
    }
  }
  void targetReached(const TargetReport& report) override { report_ = report; }
  void estimatesReady(const SizeEstimates& estimates) override {
    reportEstimates(info_, quality_, estimates);
  }
  void qualityRaised(int from, int to) override {
    printProgress("Quality " + std::to_string(from) + " cannot follow this sound; encoding again at quality " +
                  std::to_string(to));
  }
  OutputStream* output() override {
    if (toStandardOutput_) {
      file_.useStandardOutput();
    } else if (!file_.create(outputName_, input_, ReplacePolicy::QxwFilesOnly)) {
      return nullptr;
    }
    // The size field is patched at the end: a pipe gets the whole file at once.
    file_.stream().holdUntilClose();
    return &file_.stream();
  }
  // Lossy, the reconstruction is checked by its digest; lossless, it is the input itself.
  uint64_t* reconstructionDigest() override {
    return verify_ && !lossless() ? &reconstructionDigest_ : nullptr;
  }
  // "Written <bytes> bytes: <bits> bits per sample, signal to noise <ratio> dB", for /B.
  void printTargetReport() const {
    char line[160];
    const int used = std::snprintf(line, sizeof line, "Written %llu bytes: %.2f bits per sample, ",
                                   static_cast<unsigned long long>(report_.bytes), report_.bitsPerSample);
    if (report_.noise == 0) {
      std::snprintf(line + used, sizeof line - used, "lossless");
    } else if (report_.signal == 0) {
      std::snprintf(line + used, sizeof line - used, "no signal");
    } else {
      std::snprintf(line + used, sizeof line - used, "signal to noise %.2f dB",
                    static_cast<double>(10 * std::log10(report_.signal / report_.noise)));
    }
    printProgress(line);
  }

  // Completes the file; with /V, only once it decodes to the encoder's own reconstruction.
  bool finish() {
    if (!verify_) return file_.finish();
    return file_.finish([this](const std::string& path, uint64_t offset) {
      printProgress("Verifying " + outputName_);
      if (lossless()) return decodesTo(path, offset, samples_.begin, samples_.end - samples_.begin);
      return decodesToDigest(path, offset, samples_.sampleCount(), reconstructionDigest_);
    });
  }

 private:
  bool lossless() const { return quality_ == 9 && !bitsPerSample_; }

  const WaveInfo& info_;
  SampleRange samples_;
  int quality_;
  std::optional<double> bitsPerSample_;
  TargetReport report_;
  bool verify_;
  bool toStandardOutput_;
  uint64_t reconstructionDigest_ = 0;
  const std::string& outputName_;
  const MappedFile& input_;
  OutputFile file_;
};

// One file's whole run, with its own lines: infile into outfile (or the default name).
int encodeOne(const CommandLine& line, const std::string& infile,
              const std::optional<std::string>& outfile) {
  // "-" reads the WAV file from standard input, and then writes to standard output unless an
  // outfile is named; "-" as outfile, or any name of standard output, writes there.
  const bool fromStandardInput = infile == kStandardStream;
  const std::string inputName =
      fromStandardInput ? "standard input" : deriveInputName(infile, ".wav");
  const bool toStandardOutput =
      (fromStandardInput && !outfile) || outfile == kStandardStream ||
      (outfile && isStandardOutput(resolveOutputName(inputName, outfile, ".qxw")));
  const std::string outputName =
      toStandardOutput ? "standard output" : resolveOutputName(inputName, outfile, ".qxw");
  if (fromStandardInput && ::isatty(STDIN_FILENO)) {
    printError("Error: standard input is a terminal");
    return kFailure;
  }
  if (toStandardOutput) {
    if (::isatty(STDOUT_FILENO)) {
      printError("Error: standard output is a terminal");
      return kFailure;
    }
    moveProgressToStandardError();
  }
  printProgress("Examining Wave format header of " + inputName);
  MappedFile input;
  WaveInfo info{};
  if (!openWaveFile(inputName, input, info, fromStandardInput)) return kFailure;
  guardMappedInput("Error: file " + inputName + " incomplete or truncated", kFailure);
  const uint8_t* first = input.data() + info.dataOffset;
  const SampleRange samples{first, first + uint64_t{info.frameCount} * info.channelCount * 2};
  ConsoleCompression console(info, line, outputName, input, samples, toStandardOutput);
  const SoundFormat format{info.frameCount, info.channelCount, info.sampleRate};
  // Every core: the bytes are the same for any number of threads.
  const bool compressed =
      line.bitsPerSample ? compressToBits(samples, format, *line.bitsPerSample, console, 0)
                         : compress(samples, format, line.quality, console, 0);
  if (!compressed || !console.finish()) return kFailure;
  if (line.bitsPerSample) console.printTargetReport();
  return kSuccess;
}

}  // namespace

int runEncoder(int argc, const char* const* argv) {
  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "wav2qxw";
  if (isVersionRequest(argc, argv)) {
    std::printf("%s %s\n", "wav2qxw", qxw_version());
    return kSuccess;
  }
  if (isHelpRequest(argc, argv)) {
    printUsage(program);
    return kSuccess;
  }
  const auto line = parseCommandLine(argc, argv);
  if (!line) {
    printUsage(program);
    return kUsage;
  }
  if (line->inputs.empty()) return encodeOne(*line, line->infile, line->outfile);
  // Several inputs: each its own run, in order; one failing does not stop the others.
  if (!outputsAreDistinct(line->inputs, line->folder, ".wav", ".qxw")) return kFailure;
  int status = kSuccess;
  for (const std::string& input : line->inputs) {
    if (encodeOne(*line, input, line->folder) != kSuccess) status = kFailure;
  }
  return status;
}

}  // namespace qxw
