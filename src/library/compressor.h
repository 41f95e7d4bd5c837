#pragma once

#include <cstdint>
#include <vector>

#include "analysis/encoder_model.h"
#include "encoder/output_stream.h"
#include "encoder/size_target.h"
#include "format/sound_format.h"
#include "format/status.h"
#include "qxw/qxw.h"

namespace qxw {

// Coded sizes in bits, from the raw differences before error feedback: the Huffman-coded
// symbols, the run counts, and the offsets at quality 9 and at the chosen quality.
struct SizeEstimates {
  uint64_t totalBits = 0;
  uint64_t runBits = 0;
  uint64_t losslessValueBits = 0;
  uint64_t selectedValueBits = 0;
};

// The steps a compression tells, each the C interface's qxw_step of the same meaning.
enum class CompressionStep {
  HistogrammingDeltas = QXW_STEP_HISTOGRAM,
  AnalyzingHistogram = QXW_STEP_ANALYSIS,
  GatheringStatistics = QXW_STEP_STATISTICS,
  GeneratingCodes = QXW_STEP_CODES,
  WritingHeader = QXW_STEP_HEADER,
  EncodingSamples = QXW_STEP_SAMPLES,
  Finishing = QXW_STEP_DONE,
  WrittenLossless = QXW_STEP_LOSSLESS,
  TargetUnmet = QXW_STEP_TARGET_UNMET,
};

inline qxw_step toQxwStep(CompressionStep step) { return static_cast<qxw_step>(step); }

// What a compression aimed at a size measured of the file it wrote.
struct TargetReport {
  uint64_t bytes = 0;        // the whole file
  double bitsPerSample = 0;  // file bits over frames × channels
  long double signal = 0;    // sum of squared input samples
  long double noise = 0;     // sum of squared differences from the reconstruction
};

// What a compression tells the one who runs it, and where its file goes.
class CompressionListener {
 public:
  virtual ~CompressionListener() = default;
  virtual void stepStarts(CompressionStep) {}
  virtual void estimatesReady(const SizeEstimates&) {}
  // The file is being written again at a higher quality: the table of the lower one could not
  // reach the signal's levels.
  virtual void qualityRaised(int /*from*/, int /*to*/) {}
  // The file written saved nothing over the lossless one, which replaces it (the level or the
  // target is then quality 9).
  virtual void writtenLossless() {}
  // The size target lies below what the sound's file can take (the header alone, on a short
  // sound): the file kept is the smallest level's, or the search's best at its size.
  virtual void targetUnmet() {}
  // Asked once, after the estimates and before the header is written; null ends the run there.
  virtual OutputStream* output() = 0;
  // After a compression aimed at a size, once the file is written.
  virtual void targetReached(const TargetReport&) {}
  // When not null, receives every sample a reader will decode, interleaved as the input.
  virtual std::vector<int16_t>* reconstruction() { return nullptr; }
  // When not null, receives the digest of those samples (digestTerm summed), which a reader's
  // samples can be checked against without keeping them.
  virtual uint64_t* reconstructionDigest() { return nullptr; }
  // The share of the whole run done, rising from 0 to 1, a few times a second at most, from
  // any of the run's threads but one at a time.
  virtual void progress(double /*done*/) {}
};

// The size in bytes of a file whose data takes `bits`, as the estimates give it.
uint64_t estimatedBytes(uint64_t bits);

// More steps than this held back far from the input (see encodeSamplesInPieces) mean the
// quality's table cannot follow the sound: a loud square wave of a few hundred jumps.
inline constexpr uint64_t kLostSampleLimit = 256;

// Runs the passes of one compression, in their order, over one model: the difference histogram,
// the bin layout, the context statistics, the Huffman codes, the refinement for the quality, then
// the header, the samples and the size patch; the file is written again at the next quality up
// while the table loses the signal (qualityRaised tells), and lossless where the level saved
// nothing (writtenLossless tells). Stopped when the listener gave no output, WriteFailed as soon as
// the output fails. threads: 0 for as many as help, 1 for the calling thread only; the bytes never
// depend on it.
Status compress(SampleRange samples, const SoundFormat& format, int quality,
                CompressionListener& listener, int threads = 1);
// Aims at an average of bitsPerSample file bits a sample instead of a quality level: designs a
// table of even steps for the sound, searches the step that brings the file nearest the target,
// and writes each sample as the level nearest the whole difference between input and
// reconstruction. The same steps and messages as compress, except the estimates; ends with
// targetReached. A target the sound cannot meet (targetUnmet) gives the better of the smallest
// level and the search at that level's size; a file no smaller than the lossless one is replaced
// by it (writtenLossless). The bytes never depend on threads.
// effort 1 to kMostEffort searches each channel's reconstruction on a trellis of level classes
// (slower, more of the sound at the size); 0 takes the nearest level.
Status compressToBits(SampleRange samples, const SoundFormat& format, double bitsPerSample,
                      CompressionListener& listener, int threads = 1, int effort = 0);
inline constexpr int kMostEffort = 3;

// The same on a model the caller keeps, to look into it afterwards.
Status compress(EncoderModel& model, SampleRange samples, const SoundFormat& format, int quality,
                CompressionListener& listener, int threads = 1);

}  // namespace qxw
