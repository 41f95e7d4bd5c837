#include "encoder/sample_encoder.h"

#include <gtest/gtest.h>

#include "support/encode_samples.h"
#include "support/model_helpers.h"
#include "support/output_capture.h"

namespace qxw {
namespace {

using namespace qxw::testing;

// Bins 0..5 of the worked table (levels 5, 7, 9, 11 in bin 3 and 14, 18, 22, 26 in bin 4), higher
// bins single magnitudes from 44 on. Every code is 12 bits: the context, then the symbol.
std::unique_ptr<EncoderModel> workedTable(uint32_t channels = 1) {
  auto model = makeModel(channels);
  const uint32_t bases[] = {0, 1, 2, 5, 14, 28};
  const int bits[] = {2, 0, 1, 2, 2, 4};
  const int shifts[] = {0, 0, 0, 1, 2, 0};
  for (int b = 0; b < kBinCount; ++b) {
    model->binBase[b] = b < 6 ? bases[b] : 38u + b;
    model->binBits[b] = b < 6 ? bits[b] : 0;
    model->binShift[b] = b < 6 ? shifts[b] : 0;
  }
  for (int c = 0; c < kContextCount; ++c) {
    for (int s = 0; s < kSymbolCount; ++s) {
      model->codeLength[c][s] = 12;
      model->codeWord[c][s] = static_cast<uint32_t>(c * 64 + s);
    }
  }
  return model;
}

struct Quantized {
  int32_t step;
  int bin;
  uint32_t offset;
};

Quantized quantized(const EncoderModel& model, int32_t target) {
  Quantized q{0, -1, 99};
  q.step = quantize(model, target, q.bin, q.offset);
  return q;
}

void expectQuantized(const EncoderModel& model, int32_t target, int32_t step, int bin,
                     uint32_t offset) {
  const Quantized q = quantized(model, target);
  EXPECT_EQ(q.step, step) << target;
  EXPECT_EQ(q.bin, bin) << target;
  EXPECT_EQ(q.offset, offset) << target;
}

TEST(Quantize, PicksTheNearestLevelWithTheLowerOneOnTies) {
  auto model = workedTable();
  expectQuantized(*model, 0, 0, 0, 99);
  expectQuantized(*model, 1, 1, 1, 0);
  expectQuantized(*model, -3, -3, 2, 1);
  expectQuantized(*model, 4, 3, 2, 1);
  expectQuantized(*model, 8, 9, 3, 2);
  expectQuantized(*model, 10, 11, 3, 3);
  expectQuantized(*model, 12, 11, 3, 3);
  expectQuantized(*model, 13, 14, 4, 0);
  expectQuantized(*model, -13, -14, 4, 0);
  expectQuantized(*model, 27, 26, 4, 3);
  expectQuantized(*model, 29, 29, 5, 1);
}

TEST(Quantize, RoundsSmallTargetsToZeroWithTiesToZero) {
  auto model = workedTable();
  model->binBase[1] = 4;
  for (int b = 2; b < kBinCount; ++b) model->binBase[b] = 10u * b;
  expectQuantized(*model, 1, 0, 0, 0);
  expectQuantized(*model, 2, 0, 0, 0);
  expectQuantized(*model, -2, 0, 0, 0);
  expectQuantized(*model, 3, 4, 1, 0);
}

TEST(ErrorFeedback, SwitchesFromHalfToQuarterAtEight) {
  EXPECT_EQ(errorFeedback(7), 4);
  EXPECT_EQ(errorFeedback(8), 2);
  EXPECT_EQ(errorFeedback(-7), -4);
  EXPECT_EQ(errorFeedback(-8), -3);
  EXPECT_EQ(errorFeedback(0), 0);
  EXPECT_EQ(errorFeedback(-1), -1);
}

struct Field {
  int context;
  int symbol;
  uint32_t extra;  // offset or run count, or ~0 when nothing follows
};

// Encodes the samples from the all-zero channel state and reads the fields back; every code is
// codeBits long. With a step table, a table whose shifts are all 0 codes its samples as exactly
// as they come.
std::vector<Field> encodeFields(EncoderModel& model, const std::vector<int16_t>& samples,
                                size_t expectedFields, int codeBits = 12, bool stepTable = false) {
  const auto input = sampleBytes(samples);
  const auto bytes = capture([&](BitWriter& writer) {
    for (uint32_t c = 0; c < model.channelCount; ++c) model.channels[c] = ChannelState{};
    if (stepTable) {
      const StepTable steps(model, BinLookup(model.binBase));
      SampleEncoder encoder(model, &steps);
      const SampleRange range = rangeOf(input);
      encoder.encode(model.channels.get(), range.begin, range.end, range.end, writer);
    } else {
      encodeSamples(model, writer, rangeOf(input));
    }
    writer.alignToWord();
  });
  BitReader reader(bytes, 0);
  std::vector<Field> fields;
  for (size_t i = 0; i < expectedFields; ++i) {
    // A code longer than 12 bits has its top bit set above the 12 that name it.
    uint32_t code = reader.read(codeBits);
    if (codeBits > 12) {
      EXPECT_EQ(code >> (codeBits - 1), 1u) << "field " << i;
      code &= (1u << (codeBits - 1)) - 1;
    }
    Field f{static_cast<int>(code / 64), static_cast<int>(code % 64), ~0u};
    const int bin = f.symbol > 31 ? f.symbol - 31 : f.symbol;
    if (f.symbol != 0) f.extra = reader.read(model.binBits[bin]);
    if (f.symbol == 0 && f.context == 0) f.extra = reader.read(model.binBits[0]);
    fields.push_back(f);
  }
  // Only zero padding may follow.
  while (reader.bitPosition() < bytes.size() * 8) EXPECT_EQ(reader.read(1), 0u);
  return fields;
}

void expectFields(const std::vector<Field>& got, const std::vector<Field>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].context, want[i].context) << "field " << i;
    EXPECT_EQ(got[i].symbol, want[i].symbol) << "field " << i;
    EXPECT_EQ(got[i].extra, want[i].extra) << "field " << i;
  }
}

constexpr uint32_t kNone = ~0u;

TEST(EncodeSamples, WritesRunsStepsAndSignChanges) {
  auto model = workedTable();
  const auto fields = encodeFields(*model, {0, 0, 0, 0, 0, 0, 3, 3, 3, -2, 8}, 7);
  expectFields(fields,
               {{0, 0, 3}, {0, 0, 1}, {0, 2, 1}, {2, 0, kNone}, {0, 0, 0}, {0, 34, 0}, {3, 34, 3}});
  EXPECT_EQ(model->channels[0].reconstructed, 9);
  EXPECT_EQ(model->channels[0].error, -1);
}

// Codes so long that code and offset pass 32 bits together go out as two fields, as they are: in
// the chained walk, and in the walk a lossless table (every shift 0) makes through a step table.
// Exactly 32 bits go out as one.
TEST(EncodeSamples, WritesCodesAndOffsetsWiderThan32Bits) {
  // Bin 5 (28..43, 4 offset bits) makes 34 bits, bin 3 and the run count 32.
  const std::vector<int16_t> start = {0, 0, 0, 0, 30, 35, 35, 35, 0, 2, 1, -40, -40, 0};
  for (bool lossless : {false, true}) {
    SCOPED_TRACE(lossless ? "lossless" : "chained");
    auto model = workedTable();
    std::vector<int16_t> samples = start;
    size_t fields = 11;
    if (lossless) {
      std::fill_n(model->binShift, kBinCount, 0);
      // Exact steps and no zero symbols, for whole groups of sixteen: two of bins 1 to 3 (30 or 32
      // bits), then one with steps of 30 in bin 5.
      const int small[] = {1, 2, -3, 5, -1, 6, -2, 3, -7, 8, -5, 2, 1, -6, 3, -2};
      const int wide[] = {30, -3, 2, -30, 5, -1, 7, -8, 1, 2, 3, -5, -2, -1, 6, -3};
      for (const int* group : {small, small, wide}) {
        for (int k = 0; k < 16; ++k)
          samples.push_back(static_cast<int16_t>(samples.back() + group[k]));
      }
      fields += 48;
    }
    const auto short12 = encodeFields(*model, samples, fields, 12, lossless);
    // Lengths about the widest a vector lane holds (27 bits with the offset), and beyond.
    for (int length : {25, 26, 30}) {
      for (auto& lengths : model->codeLength) std::fill_n(lengths, kSymbolCount, length);
      for (auto& words : model->codeWord) {
        for (uint32_t& word : words) word = (word & 0xFFF) | 1u << (length - 1);
      }
      expectFields(encodeFields(*model, samples, fields, length, lossless), short12);
    }
  }
}

TEST(EncodeSamples, StopsRunsAtTheCountWidthAndTheLastFrame) {
  auto model = workedTable();
  const auto fields = encodeFields(*model, std::vector<int16_t>(12, 7), 5);
  expectFields(fields, {{0, 3, 1}, {3, 0, kNone}, {0, 0, 3}, {0, 0, 3}, {0, 0, 1}});
  EXPECT_EQ(model->channels[0].runLength, 0u);
}

TEST(EncodeSamples, KeepsTheRunsOfEachChannelApart) {
  auto model = workedTable(2);
  // Left stays 0; right holds 0 for two frames, then 29 twice.
  const auto fields = encodeFields(*model, {0, 0, 0, 0, 0, 29, 0, 29}, 4);
  expectFields(fields, {{0, 0, 3}, {0, 0, 1}, {0, 5, 1}, {5, 0, kNone}});
}

TEST(EncodeSamples, NeverGrowsARunWithoutCountBits) {
  auto model = workedTable();
  model->binBits[0] = 0;
  const auto fields = encodeFields(*model, {0, 0, 0}, 3);
  expectFields(fields, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
}

TEST(EncodeSamples, DoesNotOpenARunWhileTheErrorIsLarge) {
  auto model = workedTable();
  for (int b = 1; b < kBinCount; ++b) {
    model->binBase[b] = 100u * b;
    model->binBits[b] = 0;
    model->binShift[b] = 0;
  }
  // 60 rounds up to 100 (error -40); 49 then rounds to 0 and leaves the error at -51, more
  // than half of binBase[1], so the repeated 49s open no run.
  const auto fields = encodeFields(*model, {60, 49, 49, 49}, 4);
  expectFields(fields, {{0, 1, 0}, {1, 0, kNone}, {0, 0, 0}, {0, 0, 0}});
  EXPECT_EQ(model->channels[0].error, -51);
}

TEST(EncodeSamples, HoldsTheReconstructionInside16BitsAndKeepsTheWholeError) {
  struct Case {
    int16_t lastInput;
    int32_t error;  // the reconstruction is the last input less the error
    int16_t input;
    int16_t expected;
  };
  // From 32767 (32760 + 7), step 3 would leave the 16-bit range: the step falls to 0. From 32766,
  // step 3 would too; step 1 stays inside. Downwards the same: steps -7 and -5 give way to 0 and
  // -3. The error stays input minus reconstruction throughout.
  const Case cases[] = {{32760, -7, 32767, 32767},
                        {32760, -6, 32767, 32767},
                        {-32760, 8, -32768, -32768},
                        {-32760, 5, -32768, -32768}};
  for (const Case& c : cases) {
    auto model = workedTable();
    model->channels[0] = ChannelState{};
    model->channels[0].lastInput = c.lastInput;
    model->channels[0].error = c.error;
    model->channels[0].reconstructed = static_cast<int16_t>(c.lastInput - c.error);
    const auto input = sampleBytes({c.input});
    capture([&](BitWriter& writer) { encodeSamples(*model, writer, rangeOf(input)); });
    EXPECT_EQ(model->channels[0].reconstructed, c.expected) << c.lastInput - c.error;
    EXPECT_EQ(model->channels[0].error, c.input - c.expected) << c.lastInput - c.error;
  }
}

}  // namespace
}  // namespace qxw
