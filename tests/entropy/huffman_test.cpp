#include "entropy/huffman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "format/code_words.h"
#include "support/model_helpers.h"

namespace qxw {
namespace {

using namespace qxw::testing;

std::string bitsOf(uint32_t word, int length) {
  std::string text;
  for (int i = length - 1; i >= 0; --i) text += ((word >> i) & 1u) ? '1' : '0';
  return text;
}

std::string codeOf(const EncoderModel& model, int context, int symbol) {
  return bitsOf(model.codeWord[context][symbol], model.codeLength[context][symbol]);
}

// Runs the two trees over the first `count` entries of row 0 of a fresh model.
std::unique_ptr<EncoderModel> codesForCounts(const std::vector<uint32_t>& counts) {
  auto model = makeModel(1);
  activeModel = model.get();
  model->currentContext = 0;
  const int count = static_cast<int>(counts.size());
  for (int s = 0; s < count; ++s) model->contextHistogram[0][s] = counts[s];
  assignCodeLengths(buildMergeTree(count, makeCountLeaf, nullptr).get(), 0);
  assignCodeWords(buildMergeTree(count, makeLengthLeaf, nullptr).get(), 0);
  return model;
}

TEST(HuffmanCodes, BuildsTheSmallWorkedExamples) {
  auto five = codesForCounts({5, 0, 0, 5, 1});
  const char* fiveCodes[] = {"1", "0000", "001", "01", "0001"};
  for (int s = 0; s < 5; ++s) EXPECT_EQ(codeOf(*five, 0, s), fiveCodes[s]) << s;

  auto flat = codesForCounts({1, 1, 1, 1});
  const char* flatCodes[] = {"10", "00", "01", "11"};
  for (int s = 0; s < 4; ++s) EXPECT_EQ(codeOf(*flat, 0, s), flatCodes[s]) << s;

  auto skewed = codesForCounts({2, 1, 1, 3});
  const char* skewedCodes[] = {"01", "000", "001", "1"};
  for (int s = 0; s < 4; ++s) EXPECT_EQ(codeOf(*skewed, 0, s), skewedCodes[s]) << s;
}

TEST(HuffmanCodes, GivesAnEmptyContextItsFixedNonCanonicalCode) {
  auto model = makeModel(1);
  uint64_t totalBits = 0;
  model->generateHuffmanCodes(totalBits);
  const char* expected[] = {
      "111110", "110000", "100111", "110001", "101000", "000010", "111001", "111010", "100010",
      "010110", "011100", "000011", "110010", "011110", "110111", "001010", "101110", "000110",
      "001000", "011000", "011011", "011101", "100110", "110100", "110101", "110011", "111000",
      "011111", "110110", "111100", "00111",  "100000", "101100", "000100", "100100", "010000",
      "000000", "010010", "010100", "101010", "011010", "001100", "001101", "101011", "011001",
      "010111", "101001", "010101", "010011", "001001", "000001", "010001", "000111", "100011",
      "100101", "000101", "101111", "101101", "100001", "001011", "111011", "111101", "111111"};
  for (int context : {0, 31}) {
    for (int s = 0; s < kSymbolCount; ++s) EXPECT_EQ(codeOf(*model, context, s), expected[s]) << s;
  }
  EXPECT_EQ(totalBits, 0u);
}

TEST(HuffmanCodes, GivesADominantSymbolOneBit) {
  auto model = makeModel(1);
  model->contextHistogram[5][0] = 1000;
  uint64_t totalBits = 0;
  model->generateHuffmanCodes(totalBits);
  EXPECT_EQ(codeOf(*model, 5, 0), "1");
  EXPECT_EQ(codeOf(*model, 5, 7), "010010");
  EXPECT_EQ(codeOf(*model, 5, 60), "011101");
  EXPECT_EQ(codeOf(*model, 5, 1), "0011100");
  EXPECT_EQ(codeOf(*model, 5, 2), "0001011");
  EXPECT_EQ(codeOf(*model, 5, 3), "0010110");
  EXPECT_EQ(totalBits, 1000u);
}

// Readers rebuild the words from the lengths with their own plain heap; it must give exactly the
// encoder's second tree for every shape of counts, ties and length-limited rows included.
TEST(HuffmanCodes, ReadersRebuildTheSameWordsFromTheLengthsAlone) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 40; ++trial) {
    auto model = makeModel(1);
    for (int c = 0; c < kContextCount; ++c) {
      for (int s = 0; s < kSymbolCount; ++s) {
        const uint32_t shapes[] = {static_cast<uint32_t>(rng() % 4),
                                   static_cast<uint32_t>(rng() % 1000), (s * 37u) % 11,
                                   1u << (rng() % 28)};
        model->contextHistogram[c][s] = shapes[(trial + c) % 4];
      }
    }
    uint64_t totalBits = 0;
    model->generateHuffmanCodes(totalBits);
    for (int c = 0; c < kContextCount; ++c) {
      uint32_t words[kSymbolCount];
      codeWordsFromLengths(model->codeLength[c], words);
      for (int s = 0; s < kSymbolCount; ++s)
        ASSERT_EQ(words[s], model->codeWord[c][s]) << c << " " << s;
    }
  }
}

double kraftSum(const int32_t* lengths) {
  double sum = 0;
  for (int s = 0; s < kSymbolCount; ++s) sum += std::ldexp(1.0, -lengths[s]);
  return sum;
}

TEST(HuffmanCodes, LimitsLengthsOfFibonacciCountsTo32Bits) {
  auto model = makeModel(1);
  // Fibonacci counts from 21 on, with the unseen symbols as one light subtree: 43 levels deep.
  uint32_t a = 21, b = 34;
  for (int s = 0; s < 38; ++s) {
    model->contextHistogram[2][s] = a;
    const uint32_t next = a + b;
    a = b;
    b = next;
  }
  uint64_t totalBits = 0;
  model->generateHuffmanCodes(totalBits);
  const int32_t* lengths = model->codeLength[2];
  EXPECT_EQ(*std::max_element(lengths, lengths + kSymbolCount), 32);
  EXPECT_EQ(kraftSum(lengths), 1.0);
  // The most frequent symbol keeps the shortest code, and the codes stay a prefix code.
  EXPECT_EQ(lengths[37], 1);
  for (int x = 0; x < kSymbolCount; ++x) {
    for (int y = 0; y < kSymbolCount; ++y) {
      if (x == y || lengths[x] > lengths[y]) continue;
      EXPECT_NE(model->codeWord[2][y] >> (lengths[y] - lengths[x]), model->codeWord[2][x])
          << x << " prefixes " << y;
    }
  }
}

TEST(HuffmanCodes, LeavesRowsWithin32BitsAlone) {
  int32_t lengths[kSymbolCount];
  for (int s = 0; s < kSymbolCount; ++s) lengths[s] = s < 62 ? s + 1 : 62;
  int32_t shortRow[kSymbolCount];
  for (int s = 0; s < kSymbolCount; ++s) shortRow[s] = s == 30 ? 5 : 6;
  int32_t before[kSymbolCount];
  std::copy(shortRow, shortRow + kSymbolCount, before);
  limitCodeLengths(shortRow);
  EXPECT_TRUE(std::equal(shortRow, shortRow + kSymbolCount, before));
  limitCodeLengths(lengths);
  EXPECT_EQ(kraftSum(lengths), 1.0);
  EXPECT_EQ(*std::max_element(lengths, lengths + kSymbolCount), 32);
}

}  // namespace
}  // namespace qxw
