#include "app/decoder_app.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/decoding.h"
#include "app/frame_source.h"
#include "app/mapped_file.h"
#include "app/output_file.h"
#include "app/program.h"
#include "app/run_guard.h"
#include "app/wav_header.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

const std::string kStandardStream = "-";

char optionLetter(const char* arg) {
  return static_cast<char>(arg[0] == '/' && arg[1] != '\0' && arg[2] == '\0' ? arg[1] & ~0x20 : 0);
}

// "/T", "/F" or "/C", either case.
bool isDecoderOption(const char* arg) {
  const char letter = optionLetter(arg);
  return letter == 'T' || letter == 'F' || letter == 'C';
}

struct DecoderOptions {
  bool test = false;
  bool replace = false;
  bool compare = false;
};

DecoderOptions decoderOptions(const std::vector<const char*>& options) {
  DecoderOptions chosen;
  for (const char* option : options) {
    const char letter = optionLetter(option);
    (letter == 'T' ? chosen.test : letter == 'F' ? chosen.replace : chosen.compare) = true;
  }
  return chosen;
}

void printDecoderUsage(const char* program) {
  std::printf("Format: %s [ /T ] [ /F ] [ /C ] infile [ outfile ]\n", program);
  std::printf(
      "Where /T tests the file without writing anything, /F replaces an existing outfile,\n"
      "/C compares the decoded sound with the WAV file outfile; - is standard input or output.\n");
}

// The error line of a status the library reports.
std::string problemText(qxw_status status, const std::string& inputName) {
  switch (status) {
    case QXW_NOT_QXW:
      return "Not valid QXW file";
    case QXW_INVALID_HEADER:
      return "Invalid QXW file header";
    case QXW_TRUNCATED:
      return "Error: file " + inputName + " incomplete or truncated";
    case QXW_CORRUPT:
      return "Corrupt QXW data";
    default:
      return std::string("Error: ") + qxw_status_text(status);
  }
}

// Every frame of the source, in blocks handed to take.
template <typename Take>
qxw_status decodeAll(FrameSource& source, Take take) {
  return readAll([&source](int16_t* samples, size_t maxFrames,
                           size_t& frames) { return source.read(samples, maxFrames, frames); },
                 source.format().channel_count, take);
}

// Decodes every frame into the sink, a block at a time, as little-endian bytes.
qxw_status decodeInto(FrameSource& source, FileSink& sink) {
  return decodeAll(source, [&](const int16_t* samples, size_t count) {
    qxw_write_samples(samples, count, sink.room(2 * count));
    sink.wrote(2 * count);
    return true;
  });
}

// The line for a source that failed after its header: its data's fault, or standard input's.
void printDataProblem(const FrameSource& source, qxw_status status, const std::string& inputName) {
  if (source.inputFailed()) {
    printError("Error reading standard input");
  } else {
    printError(status == QXW_TRUNCATED ? problemText(status, inputName) : "Corrupt QXW data");
  }
}

// Bytes after the data end a test; a decode goes on without them and says so, once. False when
// they end the run.
bool noteExtraBytes(const FrameSource& source, const std::string& inputName, bool test,
                    bool& noted) {
  if (source.extraBytes() == 0 || noted) return true;
  noted = true;
  // A stream is read no further than its first extra byte; a file's are counted.
  const std::string count = source.fromStream() ? "more" : std::to_string(source.extraBytes());
  const std::string extra = count + " bytes follow the QXW data in " + inputName;
  if (test) {
    printError("Error: " + extra);
    return false;
  }
  printError("Warning: " + extra + "; they are not decoded");
  return true;
}

int testFile(FrameSource& source, const std::string& inputName, bool& noted) {
  printProgress("Testing sound data");
  const qxw_status status = decodeAll(source, [](const int16_t*, size_t) { return true; });
  if (status != QXW_OK) {
    printDataProblem(source, status, inputName);
    return kFailure;
  }
  if (!noteExtraBytes(source, inputName, true, noted)) return kFailure;
  // Well formed is all a test can show: the format carries no checksum.
  printProgress("File " + inputName + " is well formed");
  return kSuccess;
}

int writeWaveFile(FrameSource& source, const std::string& inputName, const std::string& outputName,
                  const MappedFile& input, bool replace, bool& noted) {
  OutputFile output;
  if (outputName == kStandardStream) {
    output.useStandardOutput();
  } else if (!output.create(outputName, input,
                            replace ? ReplacePolicy::Always : ReplacePolicy::Never)) {
    return kFailure;
  }
  printProgress("Decoding and writing sound data");
  const qxw_format& format = source.format();
  const auto wav = makeWaveHeader(format.frame_count, format.channel_count, format.sample_rate);
  FileSink& sink = output.sink();
  sink.write(wav.data(), wav.size());
  const bool streaming = outputName == kStandardStream;
  // Into a pipe, the sound goes on while the stream's writer pauses, not only when a block fills.
  if (streaming) source.onStall([&sink] { sink.drain(); });
  const qxw_status status = decodeInto(source, sink);
  source.onStall(nullptr);
  if (status != QXW_OK) {
    // A pipe's reader keeps every frame before the fault; a file is not left half written.
    if (!streaming) {
      output.discard();
    } else if (!output.finish()) {
      return kFailure;
    }
    printDataProblem(source, status, inputName);
    return kFailure;
  }
  if (!output.finish()) return kFailure;
  noteExtraBytes(source, inputName, false, noted);
  printProgress("Done.");
  return kSuccess;
}

// The sums of the quality report.
struct Differences {
  uint64_t largest = 0;
  long double signal = 0;  // sum of squared input samples
  long double noise = 0;   // sum of squared differences
};

// The report on standard output; false when it could not be written.
bool printReport(const Differences& d) {
  std::printf("Largest difference: %llu\n", static_cast<unsigned long long>(d.largest));
  if (d.noise == 0) {
    std::printf("Signal to noise: identical\n");
  } else if (d.signal == 0) {
    std::printf("Signal to noise: no signal\n");
  } else {
    double ratio = static_cast<double>(10 * std::log10(d.signal / d.noise));
    // A ratio just under 1 would print as "-0.00".
    if (ratio < 0 && ratio > -0.005) ratio = 0;
    std::printf("Signal to noise: %.2f dB\n", ratio);
  }
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

// Decodes and compares with the original WAV file; writes nothing.
int compareWithWave(FrameSource& source, const std::string& inputName, const std::string& waveName,
                    bool& noted) {
  const qxw_format& format = source.format();
  MappedFile wave;
  WaveInfo info{};
  if (!openWaveFile(waveName, wave, info)) return kFailure;
  if (info.frameCount != format.frame_count || info.channelCount != format.channel_count) {
    printError("Error: " + waveName + " does not match " + inputName + " in frames or channels");
    return kFailure;
  }
  if (info.sampleRate != format.sample_rate) {
    std::printf("Sample rates differ: %s has %u Hz, %s %u Hz\n", waveName.c_str(), info.sampleRate,
                inputName.c_str(), format.sample_rate);
  }
  guardMappedInput("Error: file " + waveName + " incomplete or truncated", kFailure);
  const uint8_t* original = wave.data() + info.dataOffset;
  Differences d;
  const qxw_status status = decodeAll(source, [&](const int16_t* samples, size_t count) {
    uint64_t signal = 0, noise = 0;  // exact within a block
    for (size_t i = 0; i < count; ++i, original += 2) {
      const int64_t x = qxw_read_sample(original);
      const int64_t difference = samples[i] - x;
      const uint64_t size = static_cast<uint64_t>(difference < 0 ? -difference : difference);
      d.largest = size > d.largest ? size : d.largest;
      signal += static_cast<uint64_t>(x * x);
      noise += size * size;
    }
    d.signal += signal;
    d.noise += noise;
    return true;
  });
  if (status != QXW_OK) {
    printDataProblem(source, status, inputName);
    return kFailure;
  }
  noteExtraBytes(source, inputName, false, noted);
  if (!printReport(d)) {
    printError("Error writing standard output");
    return kFailure;
  }
  return kSuccess;
}

// Opens the source on the named file or on standard input, printing the one error line on
// failure.
bool openSource(MappedFile& input, const std::string& inputName, bool fromStandardInput,
                FrameSource& source) {
  qxw_status status = QXW_OK;
  if (fromStandardInput) {
    if (!input.readStandardInput(QXW_HEADER_SIZE)) {
      printError(input.outOfMemory() ? "Error: out of memory" : "Error openning standard input");
      return false;
    }
    status = source.openStream(input);
  } else if (!input.open(inputName)) {
    printError(input.outOfMemory() ? "Error: out of memory" : "Error openning " + inputName);
    return false;
  } else {
    status = source.openFile(input);
    input.populate(0, input.size());
  }
  if (status == QXW_OK || (status == QXW_TRAILING_DATA && !fromStandardInput)) return true;
  if (source.inputFailed()) {
    printError("Error reading standard input");
  } else {
    printError(problemText(status, inputName));
  }
  return false;
}

// One file's whole run, with its own lines: infile into outfile (or the default name).
int decodeOne(const DecoderOptions& options, const std::string& infile,
              const std::optional<std::string>& outfile) {
  const bool fromStandardInput = infile == kStandardStream;
  // /C reads a WAV file by name; it has no default name when the QXW file is standard input.
  if (options.compare && (outfile ? *outfile == kStandardStream : fromStandardInput)) {
    printError("Error: /C needs the name of the WAV file to compare with");
    return kFailure;
  }
  const std::string inputName = inputNameOf(infile, ".qxw");
  const bool writing = !options.test && !options.compare;
  // From standard input without an outfile, the sound goes to standard output; so it does when
  // the outfile names standard output in any way.
  std::string outputName =
      (fromStandardInput && !outfile) || (outfile == kStandardStream && writing)
          ? kStandardStream
          : resolveOutputName(inputName, outfile, ".wav");
  if (writing && isStandardOutput(outputName)) outputName = kStandardStream;
  if (!refuseTerminals(fromStandardInput, writing && outputName == kStandardStream)) {
    return kFailure;
  }
  if (writing && outputName == kStandardStream) moveProgressToStandardError();

  printProgress("Examining QXW file header of " + inputName);
  MappedFile input;
  FrameSource source;
  if (!openSource(input, inputName, fromStandardInput, source) ||
      !playableRate(inputName, source.format().sample_rate)) {
    return kFailure;
  }
  guardMappedInput("Error: file " + inputName + " incomplete or truncated", kFailure);
  // A file's extra bytes are known now, a stream's at its end.
  bool noted = false;
  if (!noteExtraBytes(source, inputName, options.test, noted)) return kFailure;
  if (options.compare) return compareWithWave(source, inputName, outputName, noted);
  if (options.test) return testFile(source, inputName, noted);
  return writeWaveFile(source, inputName, outputName, input, options.replace, noted);
}

}  // namespace

int runDecoder(int argc, const char* const* argv) {
  DecoderOptions options;
  const auto parse = [&]() -> std::optional<Runs> {
    // /T writes nothing, so every name after it is a file to test.
    auto command = splitArguments(argc, argv, isDecoderOption, argc, true);
    if (command) options = decoderOptions(command->options);
    if (options.test)
      return options.compare ? std::nullopt
                             : std::optional<Runs>{Runs{command->inputs, std::nullopt, false}};
    command = splitArguments(argc, argv, isDecoderOption, argc);
    if (!command) return std::nullopt;
    if (command->inputs.empty()) return Runs{{command->infile}, command->outfile, false};
    return Runs{command->inputs, command->folder, true};
  };
  return runProgram(argc, argv, {"qxw2wav", ".qxw", ".wav", printDecoderUsage, printDecoderUsage},
                    parse,
                    [&](const std::string& infile, const std::optional<std::string>& outfile) {
                      return decodeOne(options, infile, outfile);
                    });
}

}  // namespace qxw
