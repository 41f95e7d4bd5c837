#include "library/compressor.h"

#include <memory>

#include "output/bit_writer.h"
#include "output/sample_encoder.h"

namespace qxw {

bool compress(EncoderModel& model, SampleRange samples, const SoundFormat& format, int quality,
              CompressionListener& listener) {
  listener.stepStarts(CompressionStep::HistogrammingDeltas);
  model.initialize(format.channelCount);
  model.histogramDeltas(samples);
  listener.stepStarts(CompressionStep::AnalyzingHistogram);
  model.analyzeHistogram(format.frameCount);
  listener.stepStarts(CompressionStep::GatheringStatistics);
  model.resetContextStatistics();
  model.gatherContextStatistics(samples);
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
    model.encodeSamples(writer, samples);
  }
  listener.stepStarts(CompressionStep::Finishing);
  model.finishFile(writer);
  return true;
}

bool compress(SampleRange samples, const SoundFormat& format, int quality,
              CompressionListener& listener) {
  auto model = std::make_unique<EncoderModel>();
  return compress(*model, samples, format, quality, listener);
}

}  // namespace qxw
