#include "decoder/symbol_decoder.h"

#include "format/code_words.h"

namespace qxw {

void ContextDecoder::build(const int32_t* lengths, const uint8_t* offsetBits) {
  uint32_t words[kSymbolCount];
  codeWordsFromLengths(lengths, words);

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
    Entry entry{0, 0, 0};
    for (int depth = 1; depth <= kTableBits; ++depth) {
      const int16_t child = children_[node][(prefix >> (kTableBits - depth)) & 1u];
      if (child < 0) {
        const int symbol = -child - 1;
        const int whole = depth + (offsetBits != nullptr ? offsetBits[symbol] : kTableBits);
        entry = {static_cast<uint16_t>(symbol), static_cast<uint16_t>(depth),
                 static_cast<uint16_t>(whole <= kTableBits ? whole : 0)};
        break;
      }
      node = child;
      entry = {static_cast<uint16_t>(node), 0, 0};
    }
    table_[prefix] = entry;
  }
}

}  // namespace qxw
