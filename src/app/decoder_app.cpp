#include "app/decoder_app.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/mapped_file.h"
#include "app/output_file.h"
#include "app/run_guard.h"
#include "format/wave_header.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

constexpr int kSuccess = 0;
constexpr int kUsage = 1;
constexpr int kFailure = 2;
constexpr size_t kBlockFrames = 16384;

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

struct DecoderCloser {
  void operator()(qxw_decoder* decoder) const { qxw_decoder_close(decoder); }
};
using Decoder = std::unique_ptr<qxw_decoder, DecoderCloser>;

// Decodes every frame, handing each block to deliver as little-endian bytes.
template <typename Deliver>
qxw_status decodeAll(qxw_decoder* decoder, uint32_t channels, Deliver deliver) {
  std::vector<int16_t> block(kBlockFrames * channels);
  std::vector<uint8_t> bytes(block.size() * 2);
  for (;;) {
    size_t frames = 0;
    const qxw_status status = qxw_decoder_read(decoder, block.data(), kBlockFrames, &frames);
    if (status != QXW_OK) return status;
    if (frames == 0) return QXW_OK;
    const size_t count = frames * channels;
    for (size_t i = 0; i < count; ++i) {
      bytes[2 * i] = static_cast<uint8_t>(block[i]);
      bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(block[i]) >> 8);
    }
    deliver(bytes.data(), 2 * count);
  }
}

int testFile(qxw_decoder* decoder, const qxw_format& format, const std::string& inputName) {
  printProgress("Testing sound data");
  if (decodeAll(decoder, format.channel_count, [](const uint8_t*, size_t) {}) != QXW_OK) {
    printError("Corrupt QXW data");
    return kFailure;
  }
  printProgress("File " + inputName + " is intact");
  return kSuccess;
}

int writeWaveFile(qxw_decoder* decoder, const qxw_format& format, const std::string& outputName,
                  const MappedFile& input, bool replace) {
  OutputFile output;
  if (!output.create(outputName, input, replace ? ReplacePolicy::Always : ReplacePolicy::Never)) {
    return kFailure;
  }
  printProgress("Decoding and writing sound data");
  const auto wav = makeWaveHeader(format.frame_count, format.channel_count, format.sample_rate);
  OutputStream& stream = output.stream();
  stream.append(wav.data(), wav.size());
  const qxw_status status = decodeAll(
      decoder, format.channel_count,
      [&stream](const uint8_t* bytes, size_t size) { stream.append(bytes, size); });
  if (status != QXW_OK) {
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
  qxw_decoder* opened = nullptr;
  // An empty file has no mapping; it is simply not a QXW file.
  static const uint8_t kNothing = 0;
  const qxw_status status = qxw_decoder_open(input.data() != nullptr ? input.data() : &kNothing,
                                             input.size(), &opened);
  Decoder decoder(opened);
  if (status != QXW_OK) {
    printError(problemText(status, inputName));
    return kFailure;
  }
  guardMappedInput("Error: file " + inputName + " incomplete or truncated", kFailure);
  qxw_format format{};
  qxw_decoder_format(decoder.get(), &format);
  const DecoderOptions options = decoderOptions(command->options);
  if (options.test) return testFile(decoder.get(), format, inputName);
  return writeWaveFile(decoder.get(), format, outputName, input, options.replace);
}

}  // namespace qxw
