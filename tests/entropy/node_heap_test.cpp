#include "entropy/node_heap.h"

#include <gtest/gtest.h>

#include <memory>

#include "analysis/refinement.h"
#include "entropy/huffman.h"
#include "support/model_helpers.h"

namespace qxw {
namespace {

// Fills a heap with items whose symbol is their fill position, heapifies it and returns the
// fill positions from the top down.
template <typename Node>
std::vector<int> arrangement(const std::vector<uint32_t>& keys) {
  std::vector<std::unique_ptr<HeapNode>> nodes;
  NodeHeap heap(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    nodes.push_back(std::make_unique<Node>(static_cast<int32_t>(i), keys[i]));
    heap.items[i] = nodes.back().get();
  }
  heapify(heap, 0);
  std::vector<int> order;
  for (size_t i = 0; i < heap.size; ++i) order.push_back(heap.items[i]->symbol());
  return order;
}

// Equal refinement items: every one comes before every other.
std::vector<int> equalBinArrangement(int count) {
  auto model = qxw::testing::makeModel(1);
  for (int b = 0; b < kBinCount; ++b) model->binBase[b] = 7;
  activeModel = model.get();
  std::vector<std::unique_ptr<BinNode>> nodes;
  NodeHeap heap(static_cast<size_t>(count));
  for (int p = 0; p < count; ++p) {
    nodes.push_back(std::make_unique<BinNode>(p + 1));
    heap.items[p] = nodes.back().get();
  }
  heapify(heap, 0);
  std::vector<int> order;
  for (size_t i = 0; i < heap.size; ++i) order.push_back(heap.items[i]->symbol() - 1);
  return order;
}

TEST(NodeHeap, ArrangesStrictOrdersLikeTheUsualConstruction) {
  EXPECT_EQ(arrangement<CountNode>({5, 3, 3, 1, 3}), (std::vector<int>{3, 1, 2, 0, 4}));
  EXPECT_EQ(arrangement<CountNode>({7, 6, 5, 4, 3, 2, 1}), (std::vector<int>{6, 4, 5, 3, 1, 0, 2}));
  EXPECT_EQ(arrangement<LengthNode>({1, 2, 3, 4, 5, 6, 7}),
            (std::vector<int>{6, 4, 5, 3, 1, 0, 2}));
  EXPECT_EQ(arrangement<CountNode>({4, 4, 4, 4, 4, 4}), (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(NodeHeap, MovesEqualItemsAgainUnderTheNonStrictOrder) {
  EXPECT_EQ(equalBinArrangement(31),
            (std::vector<int>{30, 22, 2, 18, 4,  5,  6, 16, 8,  9,  10, 11, 12, 13, 14, 15,
                              7,  17, 3, 19, 20, 21, 1, 23, 24, 25, 26, 27, 28, 29, 0}));
  EXPECT_EQ(equalBinArrangement(5), (std::vector<int>{2, 4, 0, 3, 1}));
}

TEST(NodeHeap, HandlesTinyHeaps) {
  EXPECT_EQ(arrangement<CountNode>({}), std::vector<int>{});
  EXPECT_EQ(arrangement<CountNode>({9}), std::vector<int>{0});

  CountNode a(0, 1), b(1, 2);
  NodeHeap heap(2);
  heap.items = {&a, &b};
  removeTop(heap);
  ASSERT_EQ(heap.size, 1u);
  EXPECT_EQ(heap.items[0], &b);
  removeTop(heap);
  EXPECT_EQ(heap.size, 0u);
}

}  // namespace
}  // namespace qxw
