#include "app/decoder_app.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/mapped_file.h"
#include "app/output_file.h"
#include "app/run_guard.h"
#include "app/wav_header.h"
#include "format/qxw_header.h"
#include "decoder/sample_decoder.h"
#include "output/output_stream.h"

namespace qxw {

namespace {

constexpr int kSuccess = 0;
constexpr int kUsage = 1;
constexpr int kFailure = 2;

// "/T" or "/F", either case.
bool isDecoderOption(const char* arg) {
  const char letter = static_cast<char>(arg[0] == '/' ? arg[1] & ~0x20 : 0);
  return (letter == 'T' || letter == 'F') && arg[2] == '\0';
}

struct DecoderOptions {
  bool test = false;
  bool replace = false;
};

DecoderOptions decoderOptions(const std::vector<const char*>& options) {
  DecoderOptions chosen;
  for (const char* option : options) {
    ((option[1] & ~0x20) == 'T' ? chosen.test : chosen.replace) = true;
  }
  return chosen;
}

void printDecoderUsage(const char* program) {
  std::printf("Format: %s [ /T ] [ /F ] infile [ outfile ]\n", program);
  std::printf("Where /T tests the file without writing anything, /F replaces an existing outfile.\n");
}

const char* headerProblem(QxwHeaderStatus status) {
  switch (status) {
    case QxwHeaderStatus::NotQxw:
      return "Not valid QXW file";
    case QxwHeaderStatus::Invalid:
      return "Invalid QXW file header";
    default:
      return nullptr;
  }
}

int testFile(const QxwHeader& header, const uint8_t* data, const std::string& inputName) {
  printProgress("Testing sound data");
  if (decodeSamples(header, data, [](const uint8_t*, size_t) {}) != DecodeStatus::Complete) {
    printError("Corrupt QXW data");
    return kFailure;
  }
  printProgress("File " + inputName + " is intact");
  return kSuccess;
}

int writeWaveFile(const QxwHeader& header, const uint8_t* data, const std::string& outputName,
                  const MappedFile& input, bool replace) {
  OutputFile output;
  if (!output.create(outputName, input, replace ? ReplacePolicy::Always : ReplacePolicy::Never)) {
    return kFailure;
  }
  printProgress("Decoding and writing sound data");
  const auto wav = makeWaveHeader(header.frameCount, header.channelCount, header.sampleRate);
  OutputStream& stream = output.stream();
  stream.append(wav.data(), wav.size());
  const DecodeStatus status = decodeSamples(
      header, data, [&stream](const uint8_t* bytes, size_t size) { stream.append(bytes, size); });
  if (status != DecodeStatus::Complete) {
    output.discard();
    printError("Corrupt QXW data");
    return kFailure;
  }
  if (!output.finish()) return kFailure;
  printProgress("Done.");
  return kSuccess;
}

}  // namespace

int runDecoder(int argc, const char* const* argv) {
  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "qxw2wav";
  const auto command = splitArguments(argc, argv, isDecoderOption, argc);
  if (!command) {
    printDecoderUsage(program);
    return kUsage;
  }
  const std::string inputName = deriveInputName(command->infile, ".qxw");
  const std::string outputName = deriveOutputName(inputName, command->outfile, ".wav");

  printProgress("Examining QXW file header of " + inputName);
  MappedFile input;
  if (!input.open(inputName)) {
    printError("Error openning " + inputName);
    return kFailure;
  }
  QxwHeader header{};
  const QxwHeaderStatus status = parseQxwHeader(input.data(), input.size(), header);
  if (status == QxwHeaderStatus::Truncated) {
    printError("Error: file " + inputName + " incomplete or truncated");
    return kFailure;
  }
  if (const char* problem = headerProblem(status)) {
    printError(problem);
    return kFailure;
  }
  guardMappedInput("Error: file " + inputName + " incomplete or truncated", kFailure);
  const uint8_t* data = input.data() + 2200;
  const DecoderOptions options = decoderOptions(command->options);
  if (options.test) return testFile(header, data, inputName);
  return writeWaveFile(header, data, outputName, input, options.replace);
}

}  // namespace qxw
