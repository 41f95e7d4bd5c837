#include "app/decoder_app.h"

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/decoding.h"
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

// Decodes every frame into the sink. Where samples in memory already are the file's
// little-endian bytes, they are decoded straight into its buffer.
qxw_status decodeInto(qxw_decoder* decoder, uint32_t channels, FileSink& sink) {
  if constexpr (std::endian::native != std::endian::little) {
    std::vector<uint8_t> bytes(kBlockFrames * channels * 2);
    return decodeAll(decoder, channels, [&](const int16_t* samples, size_t count) {
      putSamples(samples, count, bytes.data());
      sink.write(bytes.data(), 2 * count);
      return true;
    });
  }
  for (;;) {
    // After the 44-byte header every position is even, as a sample needs.
    uint8_t* room = sink.reserve(kBlockFrames * channels * 2);
    size_t frames = 0;
    const qxw_status status =
        qxw_decoder_read(decoder, reinterpret_cast<int16_t*>(room), kBlockFrames, &frames);
    if (status != QXW_OK || frames == 0) return status;
    sink.commit(room + frames * channels * 2);
  }
}

int testFile(qxw_decoder* decoder, const qxw_format& format, const std::string& inputName) {
  printProgress("Testing sound data");
  if (decodeAll(decoder, format.channel_count, [](const int16_t*, size_t) { return true; }) !=
      QXW_OK) {
    printError("Corrupt QXW data");
    return kFailure;
  }
  // Well formed is all a test can show: the format carries no checksum.
  printProgress("File " + inputName + " is well formed");
  return kSuccess;
}

int writeWaveFile(qxw_decoder* decoder, const qxw_format& format, const std::string& outputName,
                  const MappedFile& input, bool replace) {
  OutputFile output;
  if (outputName == kStandardStream) {
    output.useStandardOutput();
  } else if (!output.create(outputName, input,
                            replace ? ReplacePolicy::Always : ReplacePolicy::Never)) {
    return kFailure;
  }
  printProgress("Decoding and writing sound data");
  const auto wav = makeWaveHeader(format.frame_count, format.channel_count, format.sample_rate);
  FileSink& sink = output.sink();
  sink.write(wav.data(), wav.size());
  const qxw_status status = decodeInto(decoder, format.channel_count, sink);
  if (status != QXW_OK) {
    output.discard();
    printError("Corrupt QXW data");
    return kFailure;
  }
  if (!output.finish()) return kFailure;
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
int compareWithWave(qxw_decoder* decoder, const qxw_format& format, const std::string& inputName,
                    const std::string& waveName) {
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
  const qxw_status status =
      decodeAll(decoder, format.channel_count, [&](const int16_t* samples, size_t count) {
        uint64_t signal = 0, noise = 0;  // exact within a block
        for (size_t i = 0; i < count; ++i, original += 2) {
          const int64_t x = sampleAt(original);
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
    printError("Corrupt QXW data");
    return kFailure;
  }
  if (!printReport(d)) {
    printError("Error writing standard output");
    return kFailure;
  }
  return kSuccess;
}

// The length of a whole file by its own header: the header and the data it declares.
uint64_t declaredFileSize(const MappedFile& input) {
  uint64_t size = 0;
  qxw_file_size(input.data(), input.size(), &size);
  return size;
}

// Standard input, read only as far as the header declares; `more` tells whether anything
// followed. False with the error line printed when it cannot be read or held.
bool readQxwStream(MappedFile& input, bool& more) {
  bool read = input.readStandardInput(QXW_HEADER_SIZE);
  if (read && input.size() == QXW_HEADER_SIZE) {
    const uint64_t whole = declaredFileSize(input);
    read = input.readStandardInput(whole + 1);
    more = input.size() > whole;
    input.keepFirst(whole);
  }
  if (!read) {
    printError(input.outOfMemory() ? "Error: out of memory" : "Error openning standard input");
  }
  return read;
}

// Opens the decoder, printing the one error line on failure. Bytes after the data end a test;
// a decode goes on without them and says so. `more`: bytes followed the data of a stream, which
// was read no further.
bool openDecoder(const MappedFile& input, const std::string& inputName, bool test, bool more,
                 Decoder& decoder) {
  // An empty file has no mapping; it is simply not a QXW file.
  static const uint8_t kNothing = 0;
  const uint8_t* data = input.data() != nullptr ? input.data() : &kNothing;
  qxw_decoder* opened = nullptr;
  qxw_status status = qxw_decoder_open(data, input.size(), &opened);
  if (status == QXW_OK && more) {
    const std::string extra = "more bytes follow the QXW data in " + inputName;
    if (test) {
      qxw_decoder_close(opened);
      printError("Error: " + extra);
      return false;
    }
    printError("Warning: " + extra + "; they are not decoded");
  }
  if (status == QXW_TRAILING_DATA) {
    const uint64_t whole = declaredFileSize(input);
    const std::string extra =
        std::to_string(input.size() - whole) + " bytes follow the QXW data in " + inputName;
    if (test) {
      printError("Error: " + extra);
      return false;
    }
    printError("Warning: " + extra + "; they are not decoded");
    status = qxw_decoder_open(data, whole, &opened);
  }
  decoder.reset(opened);
  if (status != QXW_OK) {
    printError(problemText(status, inputName));
    return false;
  }
  return true;
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
  bool more = false;
  if (fromStandardInput) {
    if (!readQxwStream(input, more)) return kFailure;
  } else if (!input.open(inputName)) {
    printError(input.outOfMemory() ? "Error: out of memory" : "Error openning " + inputName);
    return kFailure;
  }
  Decoder decoder;
  if (!openDecoder(input, inputName, options.test, more, decoder)) return kFailure;
  input.populate(0, input.size());
  guardMappedInput("Error: file " + inputName + " incomplete or truncated", kFailure);
  qxw_format format{};
  qxw_decoder_format(decoder.get(), &format);
  if (options.compare) return compareWithWave(decoder.get(), format, inputName, outputName);
  if (options.test) return testFile(decoder.get(), format, inputName);
  return writeWaveFile(decoder.get(), format, outputName, input, options.replace);
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
