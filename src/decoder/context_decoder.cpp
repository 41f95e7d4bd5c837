#include "decoder/context_decoder.h"

#include "format/code_words.h"

namespace qxw {

void ContextDecoder::build(int context, const int32_t* lengths, const uint8_t* offsetBits) {
  uint32_t words[kSymbolCount];
  codeWordsFromLengths(lengths, words);
  Tree& tree = trees_[context];
  for (int s = 0; s < kSymbolCount; ++s) {
    tree.offsetBits[s] = offsetBits != nullptr ? offsetBits[s] : 0;
  }

  int nodes = 1;
  for (auto& node : tree.children) node = {0, 0};
  for (int s = 0; s < kSymbolCount; ++s) {
    int node = 0;
    for (int bit = lengths[s] - 1; bit > 0; --bit) {
      int16_t& child = tree.children[node][(words[s] >> bit) & 1u];
      if (child == 0) child = static_cast<int16_t>(nodes++);
      node = child;
    }
    tree.children[node][words[s] & 1u] = static_cast<int16_t>(-(s + 1));
  }

  uint16_t* table = &entries_[static_cast<size_t>(context) << kTableBits];
  for (uint32_t prefix = 0; prefix < kTableSize; ++prefix) {
    int node = 0;
    uint32_t entry = 0;
    for (int depth = 1; depth <= kTableBits; ++depth) {
      const int16_t child = tree.children[node][(prefix >> (kTableBits - depth)) & 1u];
      if (child < 0) {
        const int symbol = -child - 1;
        const auto codeLength = static_cast<uint32_t>(depth);
        entry = kindOf(symbol, context) << kKindShift | codeLength << 6 |
                (codeLength + tree.offsetBits[symbol]);
        break;
      }
      node = child;
      entry = static_cast<uint32_t>(node) << kKindShift;
    }
    table[prefix] = static_cast<uint16_t>(entry);
  }
}

}  // namespace qxw
