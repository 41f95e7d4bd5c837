#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qxw {

// An item of NodeHeap. Each kind defines its own order; which of several equal items reaches
// the top decides the shape of the code trees, so the heap's moves are fixed exactly.
class HeapNode {
 public:
  virtual ~HeapNode() = default;
  virtual uint32_t weight() const = 0;
  virtual int32_t symbol() const = 0;
  // True when this item must stand above other.
  virtual bool comesBefore(const HeapNode& other) const = 0;
  // Tree nodes return a new node that adopts this and other as its two children; refinement
  // items recompute their key and return nullptr.
  virtual HeapNode* merge(HeapNode* other) = 0;
  virtual HeapNode* firstChild() const = 0;
  virtual HeapNode* secondChild() const = 0;
};

// Binary heap of item pointers; position 0 is the top. It never creates or releases items.
struct NodeHeap {
  explicit NodeHeap(size_t capacity) : items(capacity), size(capacity) {}

  std::vector<HeapNode*> items;
  size_t size;
};

// Arranges the subtree at index. After every swap it starts over at the new position and
// heapifies both subtrees again; under a non-strict order this moves equal items further.
void heapify(NodeHeap& heap, size_t index);
void siftDown(NodeHeap& heap, size_t index);
// The caller takes the old top before the call.
void removeTop(NodeHeap& heap);

}  // namespace qxw
