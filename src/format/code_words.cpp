#include "format/code_words.h"

#include <array>
#include <cstddef>
#include <utility>

#include "format/qxw_layout.h"

namespace qxw {

namespace {

// A heap item: the weight (a code length, or one less than its children's for a merged node)
// and the tree node it stands for.
struct Item {
  uint32_t weight;
  int node;
};

// Nodes 0..62 are the leaves of symbols 0..62; merged nodes follow.
struct Tree {
  std::array<std::array<int, 2>, 2 * kSymbolCount - 1> children{};
  int nodes = kSymbolCount;
};

// The longest code comes first; equal weights never swap.
bool comesBefore(const Item& a, const Item& b) { return a.weight > b.weight; }

void siftDown(std::array<Item, kSymbolCount>& items, size_t size, size_t at) {
  for (;;) {
    const size_t left = 2 * at + 1;
    if (left >= size) return;
    size_t child = left;
    if (left + 1 < size && comesBefore(items[left + 1], items[left])) child = left + 1;
    if (!comesBefore(items[child], items[at])) return;
    std::swap(items[child], items[at]);
    at = child;
  }
}

void assignWords(const Tree& tree, int node, uint32_t word, uint32_t* words) {
  if (node < kSymbolCount) {
    words[node] = word;
    return;
  }
  assignWords(tree, tree.children[node][0], word << 1, words);
  assignWords(tree, tree.children[node][1], (word << 1) | 1u, words);
}

}  // namespace

void codeWordsFromLengths(const int32_t* lengths, uint32_t* words) {
  std::array<Item, kSymbolCount> items;
  for (int s = 0; s < kSymbolCount; ++s) items[s] = {static_cast<uint32_t>(lengths[s]), s};
  size_t size = kSymbolCount;
  for (size_t i = size / 2; i-- > 0;) siftDown(items, size, i);
  Tree tree;
  while (size > 1) {
    const Item first = items[0];
    items[0] = items[--size];
    siftDown(items, size, 0);
    const int merged = tree.nodes++;
    tree.children[merged] = {first.node, items[0].node};
    items[0] = {first.weight - 1, merged};
    siftDown(items, size, 0);
  }
  assignWords(tree, items[0].node, 0, words);
}

}  // namespace qxw
