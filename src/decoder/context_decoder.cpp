#include "decoder/context_decoder.h"

#include "format/code_words.h"

namespace qxw {

void ContextDecoder::build(const int32_t* lengths, const uint8_t* offsetBits) {
  uint32_t words[kSymbolCount];
  codeWordsFromLengths(lengths, words);
  for (int s = 0; s < kSymbolCount; ++s) offsetBits_[s] = offsetBits != nullptr ? offsetBits[s] : 0;

  int nodes = 1;
  for (auto& node : children_) node = {0, 0};
  for (int s = 0; s < kSymbolCount; ++s) {
    int node = 0;
    for (int bit = lengths[s] - 1; bit > 0; --bit) {
      int16_t& child = children_[node][(words[s] >> bit) & 1u];
      if (child == 0) child = static_cast<int16_t>(nodes++);
      node = child;
    }
    children_[node][words[s] & 1u] = static_cast<int16_t>(-(s + 1));
  }

  for (uint32_t prefix = 0; prefix < table_.size(); ++prefix) {
    int node = 0;
    Entry entry{0, 0, 0, 0};
    for (int depth = 1; depth <= kTableBits; ++depth) {
      const int16_t child = children_[node][(prefix >> (kTableBits - depth)) & 1u];
      if (child < 0) {
        const auto symbol = static_cast<uint8_t>(-child - 1);
        entry = {symbol, static_cast<uint8_t>(depth),
                 static_cast<uint8_t>(depth + offsetBits_[symbol]),
                 static_cast<uint8_t>(63 - offsetBits_[symbol])};
        break;
      }
      node = child;
      entry = {static_cast<uint8_t>(node), 0, 0, 0};
    }
    table_[prefix] = entry;
  }
}

}  // namespace qxw
