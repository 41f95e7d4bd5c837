#include "app/encoder_app.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "app/command_line.h"
#include "app/console.h"
#include "app/mapped_file.h"
#include "app/output_file.h"
#include "app/program.h"
#include "app/run_guard.h"
#include "app/verify_file.h"
#include "app/wav_header.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

const std::string kStandardStream = "-";

// The input's samples as they lie in the WAV file: little-endian, interleaved.
struct Samples {
  const uint8_t* bytes;
  uint64_t count;
};

// The console side of a compression: a progress line before each pass, the estimates, and the
// output file, made only once the input has passed every check; the library calls it through the
// callbacks of its C interface.
class ConsoleCompression {
 public:
  ConsoleCompression(const WaveInfo& info, const CommandLine& line, const std::string& outputName,
                     const MappedFile& input, bool toStandardOutput)
      : info_(info),
        quality_(line.quality),
        bitsPerSample_(line.bitsPerSample),
        verify_(line.verify),
        toStandardOutput_(toStandardOutput),
        outputName_(outputName),
        input_(input) {}

  qxw_encoder_callbacks callbacks() {
    qxw_encoder_callbacks c{};
    c.context = this;
    c.step = [](void* self, qxw_step step) { static_cast<ConsoleCompression*>(self)->step(step); };
    c.estimates = [](void* self, const qxw_estimates* e) {
      static_cast<ConsoleCompression*>(self)->reportEstimates(*e);
    };
    c.quality_raised = [](void* self, int from, int to) {
      static_cast<ConsoleCompression*>(self)->quality_ = to;
      printProgress("Quality " + std::to_string(from) +
                    " cannot follow this sound; encoding again at quality " + std::to_string(to));
    };
    c.open = [](void* self) { return static_cast<ConsoleCompression*>(self)->open() ? 1 : 0; };
    // A failure is told to the library as it happens (it answers QXW_WRITE_FAILED); the file
    // reports it as it is finished.
    c.write = [](void* self, const void* data, size_t size) {
      FileSink& sink = static_cast<ConsoleCompression*>(self)->file_.sink();
      sink.write(static_cast<const uint8_t*>(data), size);
      return sink.failed() ? 1 : 0;
    };
    c.seek = [](void* self, uint64_t position) {
      FileSink& sink = static_cast<ConsoleCompression*>(self)->file_.sink();
      sink.seekTo(position);
      return sink.failed() ? 1 : 0;
    };
    c.rewind = [](void* self) {
      FileSink& sink = static_cast<ConsoleCompression*>(self)->file_.sink();
      sink.restart();
      return sink.failed() ? 1 : 0;
    };
    return c;
  }

  // Completes the file; with /V, only once it decodes to the encoder's own reconstruction: the
  // input itself when lossless, else the digest the encoder reported.
  bool finish(const Samples& samples, const qxw_encode_report& report, bool lossless) {
    if (!verify_) return file_.finish();
    return file_.finish([&](const OutputFile::Written& written) {
      printProgress(written.held == nullptr
                        ? "Verifying " + outputName_
                        : "Verifying " + outputName_ + " from memory: it cannot be read back");
      if (lossless) return decodesTo(written, samples.bytes, 2 * samples.count);
      return decodesToDigest(written, samples.count, report.digest);
    });
  }

 private:
  void step(qxw_step step) {
    static const char* const kLines[] = {"Histogramming deltas",
                                         "Analyzing histogram",
                                         "Gathering Huffman data",
                                         "Generating Huffman codes",
                                         nullptr,
                                         "Encoding and writing sound data",
                                         "Done."};
    if (step == QXW_STEP_HEADER) {
      return printProgress("Writing QXW file header to file " + outputName_);
    }
    if (step == QXW_STEP_LOSSLESS) {
      return printProgress(bitsPerSample_
                               ? "The target saves nothing on this sound; writing it lossless"
                               : "Quality " + std::to_string(quality_) +
                                     " saves nothing on this sound; writing it lossless");
    }
    if (step == QXW_STEP_TARGET_UNMET) {
      char line[160];
      std::snprintf(line, sizeof line,
                    "A target of %g bits per sample cannot be met on this sound; writing the "
                    "smallest file that keeps it",
                    *bitsPerSample_);
      return printProgress(line);
    }
    if (step >= QXW_STEP_HISTOGRAM && step <= QXW_STEP_DONE) printProgress(kLines[step]);
  }

  // The three estimate lines; like every progress line they go where the progress goes.
  void reportEstimates(const qxw_estimates& e) const {
    const auto line = [&](const char* label, int level, uint64_t bytes) {
      std::string text = label + formatEstimate(level, info_.declaredSize, bytes);
      text.pop_back();
      printProgress(text);
    };
    line("Smallest ", 0, e.smallest);
    line("Lossless ", 9, e.lossless);
    line("Selected ", quality_, e.selected);
  }

  bool open() {
    if (toStandardOutput_) {
      file_.useStandardOutput();
    } else if (!file_.create(outputName_, input_, ReplacePolicy::QxwFilesOnly)) {
      return false;
    }
    // The size field is patched at the end: a pipe gets the whole file at once. Verified, any
    // device does, after its bytes are checked.
    file_.sink().holdUntilClose(verify_);
    return true;
  }

  const WaveInfo& info_;
  int quality_;  // raised where the sound needs it
  std::optional<double> bitsPerSample_;
  bool verify_;
  bool toStandardOutput_;
  const std::string& outputName_;
  const MappedFile& input_;
  OutputFile file_;
};

// "Written <bytes> bytes: <bits> bits per sample, signal to noise <ratio> dB", for /B.
void printTargetReport(const qxw_encode_report& report) {
  char line[160];
  const int used =
      std::snprintf(line, sizeof line, "Written %llu bytes: %.2f bits per sample, ",
                    static_cast<unsigned long long>(report.bytes), report.bits_per_sample);
  const size_t left = sizeof line - static_cast<size_t>(used);
  if (report.noise == 0) {
    std::snprintf(line + used, left, "lossless");
  } else if (report.signal == 0) {
    std::snprintf(line + used, left, "no signal");
  } else {
    std::snprintf(line + used, left, "signal to noise %.2f dB",
                  10 * std::log10(report.signal / report.noise));
  }
  printProgress(line);
}

// One file's whole run, with its own lines: infile into outfile (or the default name).
int encodeOne(const CommandLine& line, const std::string& infile,
              const std::optional<std::string>& outfile) {
  // "-" reads the WAV file from standard input, and then writes to standard output unless an
  // outfile is named; "-" as outfile, or any name of standard output, writes there.
  const bool fromStandardInput = infile == kStandardStream;
  const std::string inputName = inputNameOf(infile, ".wav");
  const bool toStandardOutput =
      (fromStandardInput && !outfile) || outfile == kStandardStream ||
      (outfile && isStandardOutput(resolveOutputName(inputName, outfile, ".qxw")));
  const std::string outputName =
      toStandardOutput ? "standard output" : resolveOutputName(inputName, outfile, ".qxw");
  if (!refuseTerminals(fromStandardInput, toStandardOutput)) return kFailure;
  if (toStandardOutput) moveProgressToStandardError();
  printProgress("Examining Wave format header of " + inputName);
  MappedFile input;
  WaveInfo info{};
  if (!openWaveFile(inputName, input, info, fromStandardInput)) return kFailure;
  guardMappedInput("Error: file " + inputName + " incomplete or truncated", kFailure);
  const uint8_t* first = input.data() + info.dataOffset;
  const Samples samples{first, uint64_t{info.frameCount} * info.channelCount};
  ConsoleCompression console(info, line, outputName, input, toStandardOutput);
  const qxw_format format{info.frameCount, info.channelCount, info.sampleRate};
  const bool lossless = line.quality == 9 && !line.bitsPerSample;
  // Every core: the bytes are the same for any number of threads.
  const qxw_encode_options options{line.quality, line.bitsPerSample.value_or(0), 0,
                                   line.verify && !lossless};
  const qxw_encoder_callbacks callbacks = console.callbacks();
  qxw_encode_report report{};
  startProgressClock();
  const qxw_status status = qxw_encode_stream_progress(
      first, &format, &options, line.effort, &callbacks,
      [](void*, double done) { showProgress(done); }, &report);
  if (status == QXW_STOPPED) return kFailure;  // the output could not be made; said already
  if (status == QXW_OUT_OF_MEMORY) {
    printError("Error: out of memory");
    return kFailure;
  }
  if (status != QXW_OK && status != QXW_WRITE_FAILED) {
    printError(std::string("Error: ") + qxw_status_text(status));
    return kFailure;
  }
  // A failed write is remembered by the file and reported as it is finished.
  if (!console.finish(samples, report, lossless)) return kFailure;
  if (line.bitsPerSample) printTargetReport(report);
  return kSuccess;
}

}  // namespace

int runEncoder(int argc, const char* const* argv) {
  std::optional<CommandLine> line;
  const auto parse = [&]() -> std::optional<Runs> {
    line = parseCommandLine(argc, argv);
    if (!line) return std::nullopt;
    if (line->inputs.empty()) return Runs{{line->infile}, line->outfile, false};
    return Runs{line->inputs, line->folder, true};
  };
  return runProgram(argc, argv, {"wav2qxw", ".wav", ".qxw", printUsage, printHelp}, parse,
                    [&](const std::string& infile, const std::optional<std::string>& outfile) {
                      return encodeOne(*line, infile, outfile);
                    });
}

}  // namespace qxw
