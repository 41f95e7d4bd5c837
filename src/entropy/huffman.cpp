#include "entropy/huffman.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <vector>

namespace qxw {

std::unique_ptr<HeapNode> buildMergeTree(int count, NodeFactory factory, void* userData) {
  NodeHeap heap(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) heap.items[i] = factory(i, userData);
  heapify(heap, 0);
  while (heap.size > 1) {
    HeapNode* first = heap.items[0];
    removeTop(heap);
    heap.items[0] = first->merge(heap.items[0]);
    siftDown(heap, 0);
  }
  return std::unique_ptr<HeapNode>(heap.items[0]);
}

HeapNode* makeCountLeaf(int index, void*) {
  const uint32_t count = activeModel->contextHistogram[activeModel->currentContext][index];
  return new CountNode(index, count == 0 ? 1 : count);
}

HeapNode* makeLengthLeaf(int index, void*) {
  const int32_t length = activeModel->codeLength[activeModel->currentContext][index];
  return new LengthNode(index, static_cast<uint32_t>(length));
}

namespace {

template <typename Visit>
void walkLeaves(const HeapNode* node, uint32_t depth, uint32_t code, Visit& visit) {
  if (node->firstChild() == nullptr) {
    visit(node->symbol(), depth, code);
    return;
  }
  walkLeaves(node->firstChild(), depth + 1, code << 1, visit);
  walkLeaves(node->secondChild(), depth + 1, (code << 1) | 1u, visit);
}

void storeCodeWords(const HeapNode* root, uint32_t code, uint32_t* words) {
  auto visit = [words](int32_t symbol, uint32_t, uint32_t word) { words[symbol] = word; };
  walkLeaves(root, 0, code, visit);
}

}  // namespace

void assignCodeLengths(const HeapNode* node, int32_t depth) {
  int32_t* row = activeModel->codeLength[activeModel->currentContext];
  auto visit = [row](int32_t symbol, uint32_t leafDepth, uint32_t) {
    row[symbol] = static_cast<int32_t>(leafDepth);
  };
  walkLeaves(node, static_cast<uint32_t>(depth), 0, visit);
}

void assignCodeWords(const HeapNode* node, uint32_t code) {
  storeCodeWords(node, code, activeModel->codeWord[activeModel->currentContext]);
}

void limitCodeLengths(int32_t* lengths) {
  constexpr int kLimit = 32;
  const int longest = *std::max_element(lengths, lengths + kSymbolCount);
  if (longest <= kLimit) return;

  // Move leaves up from below the limit in pairs: two siblings at depth i collapse into their
  // parent, and the odd one joins a leaf at the deepest shallower level that has one, which
  // becomes the parent of both. Each move keeps the Kraft sum.
  std::vector<uint32_t> perLength(static_cast<size_t>(longest) + 1, 0);
  for (int s = 0; s < kSymbolCount; ++s) ++perLength[lengths[s]];
  for (int i = longest; i > kLimit; --i) {
    while (perLength[i] > 0) {
      int j = i - 2;
      while (perLength[j] == 0) --j;
      perLength[i] -= 2;
      perLength[i - 1] += 1;
      perLength[j + 1] += 2;
      perLength[j] -= 1;
    }
  }

  std::array<int, kSymbolCount> order;
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [lengths](int a, int b) { return lengths[a] < lengths[b]; });
  int length = 1;
  for (int symbol : order) {
    while (perLength[length] == 0) ++length;
    --perLength[length];
    lengths[symbol] = length;
  }
}

void EncoderModel::generateHuffmanCodes(uint64_t& totalBits) {
  activeModel = this;
  for (currentContext = 0; currentContext < kContextCount; ++currentContext) {
    int32_t* lengths = codeLength[currentContext];
    const uint32_t* counts = contextHistogram[currentContext];
    std::fill(lengths, lengths + kSymbolCount, -1);
    assignCodeLengths(buildMergeTree(kSymbolCount, makeCountLeaf, nullptr).get(), 0);
    limitCodeLengths(lengths);
    for (int s = 0; s < kSymbolCount; ++s) {
      totalBits += static_cast<uint64_t>(lengths[s]) * counts[s];
    }
    assignCodeWords(buildMergeTree(kSymbolCount, makeLengthLeaf, nullptr).get(), 0);
  }
}

}  // namespace qxw
