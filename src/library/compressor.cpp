#include "library/compressor.h"

#include <memory>
#include <thread>

#include "output/bit_writer.h"
#include "output/sample_encoder.h"

namespace qxw {

namespace {

unsigned threadsToUse(int threads) {
  if (threads > 0) return static_cast<unsigned>(threads);
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

}  // namespace

bool compress(EncoderModel& model, SampleRange samples, const SoundFormat& format, int quality,
              CompressionListener& listener, int threads) {
  listener.stepStarts(CompressionStep::HistogrammingDeltas);
  const unsigned threadCount = threadsToUse(threads);
  model.initialize(format.channelCount);
  histogramDeltasInPieces(model, samples, threadCount);
  listener.stepStarts(CompressionStep::AnalyzingHistogram);
  model.analyzeHistogram(format.frameCount);
  listener.stepStarts(CompressionStep::GatheringStatistics);
  model.resetContextStatistics();
  gatherContextStatisticsInPieces(model, samples, threadCount);
  listener.stepStarts(CompressionStep::GeneratingCodes);
  SizeEstimates estimates;
  model.generateHuffmanCodes(estimates.totalBits);
  model.refineBins(static_cast<uint32_t>(quality), estimates.runBits, estimates.losslessValueBits,
                   estimates.selectedValueBits);
  listener.estimatesReady(estimates);

  listener.stepStarts(CompressionStep::WritingHeader);
  OutputStream* output = listener.output();
  if (output == nullptr) return false;
  BitWriter writer(*output);
  model.writeMagic(writer);
  model.writeHeader(writer, format.sampleRate);
  listener.stepStarts(CompressionStep::EncodingSamples);
  if (std::vector<int16_t>* reconstruction = listener.reconstruction()) {
    encodeSamplesRecording(model, writer, samples, *reconstruction);
  } else {
    encodeSamplesInPieces(model, writer, samples, threadCount);
  }
  listener.stepStarts(CompressionStep::Finishing);
  model.finishFile(writer);
  return true;
}

bool compress(SampleRange samples, const SoundFormat& format, int quality,
              CompressionListener& listener, int threads) {
  auto model = std::make_unique<EncoderModel>();
  return compress(*model, samples, format, quality, listener, threads);
}

}  // namespace qxw
