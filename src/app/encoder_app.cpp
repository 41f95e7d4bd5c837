#include "app/encoder_app.h"

#include <cstdio>
#include <memory>
#include <string>

#include "analysis/encoder_model.h"
#include "app/command_line.h"
#include "app/console.h"
#include "app/mapped_file.h"
#include "app/output_file.h"
#include "app/run_guard.h"
#include "app/wav_header.h"
#include "output/bit_writer.h"

namespace qxw {

namespace {

constexpr uint64_t kFixedFileBytes = 2200;
constexpr int kSuccess = 0;
constexpr int kUsage = 1;
constexpr int kFailure = 2;

uint64_t estimatedBytes(uint64_t bits) { return (bits >> 3) + kFixedFileBytes; }

void reportEstimates(const WaveInfo& info, int quality, uint64_t totalBits, uint64_t runBits,
                     uint64_t losslessValueBits, uint64_t selectedValueBits) {
  std::fputs("Smallest ", stdout);
  reportEstimate(0, info.declaredSize, estimatedBytes(runBits + totalBits));
  std::fputs("Lossless ", stdout);
  reportEstimate(9, info.declaredSize, estimatedBytes(runBits + losslessValueBits + totalBits));
  std::fputs("Selected ", stdout);
  reportEstimate(quality, info.declaredSize,
                 estimatedBytes(runBits + selectedValueBits + totalBits));
}

// The output file: never the input, and no broken file left behind.
bool writeQxwFile(EncoderModel& model, const WaveInfo& info, SampleRange samples,
                  const std::string& outputName, const MappedFile& input) {
  printProgress("Writing QXW file header to file " + outputName);
  OutputFile output;
  if (!output.create(outputName, input, ReplacePolicy::QxwFilesOnly)) return false;
  BitWriter writer(output.stream());
  model.writeMagic(writer);
  model.writeHeader(writer, info.sampleRate);
  printProgress("Encoding and writing sound data");
  model.encodeSamples(writer, samples);
  printProgress("Done.");
  model.finishFile(writer);
  return output.finish();
}

bool compress(const WaveInfo& info, SampleRange samples, int quality, const std::string& outputName,
              const MappedFile& input) {
  auto model = std::make_unique<EncoderModel>();
  printProgress("Histogramming deltas");
  model->initialize(info.channelCount);
  model->histogramDeltas(samples);
  printProgress("Analyzing histogram");
  model->analyzeHistogram(info.frameCount);
  printProgress("Gathering Huffman data");
  model->resetContextStatistics();
  model->gatherContextStatistics(samples);
  printProgress("Generating Huffman codes");
  uint64_t totalBits = 0;
  model->generateHuffmanCodes(totalBits);
  uint64_t runBits = 0, losslessValueBits = 0, selectedValueBits = 0;
  model->refineBins(static_cast<uint32_t>(quality), runBits, losslessValueBits, selectedValueBits);
  reportEstimates(info, quality, totalBits, runBits, losslessValueBits, selectedValueBits);
  return writeQxwFile(*model, info, samples, outputName, input);
}

}  // namespace

int runEncoder(int argc, const char* const* argv) {
  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "wav2qxw";
  const auto line = parseCommandLine(argc, argv);
  if (!line) {
    printUsage(program);
    return kUsage;
  }
  const std::string inputName = deriveInputName(line->infile, ".wav");
  const std::string outputName = deriveOutputName(inputName, line->outfile, ".qxw");

  printProgress("Examining Wave format header of " + inputName);
  MappedFile input;
  if (!input.open(inputName)) {
    printError("Error openning " + inputName);
    return kFailure;
  }
  WaveInfo info{};
  if (parseWaveHeader(input.data(), input.size(), info) != kHeaderAccepted) return kFailure;
  if (!samplesFitInFile(info, input.size())) {
    printError("Error: file " + inputName + " incomplete or truncated");
    return kFailure;
  }
  guardMappedInput("Error: file " + inputName + " incomplete or truncated", kFailure);
  const uint8_t* first = input.data() + info.dataOffset;
  const SampleRange samples{first, first + uint64_t{info.frameCount} * info.channelCount * 2};
  return compress(info, samples, line->quality, outputName, input) ? kSuccess : kFailure;
}

}  // namespace qxw
