#include "entropy/node_heap.h"

#include <utility>

namespace qxw {

namespace {

// The child that comes first; the left one unless the right one comes before it.
size_t chosenChild(const NodeHeap& heap, size_t left) {
  const size_t right = left + 1;
  if (right < heap.size && heap.items[right]->comesBefore(*heap.items[left])) return right;
  return left;
}

}  // namespace

void heapify(NodeHeap& heap, size_t index) {
  for (;;) {
    const size_t left = 2 * index + 1;
    if (left >= heap.size) return;
    heapify(heap, left);
    if (left + 1 < heap.size) heapify(heap, left + 1);
    const size_t chosen = chosenChild(heap, left);
    if (!heap.items[chosen]->comesBefore(*heap.items[index])) return;
    std::swap(heap.items[chosen], heap.items[index]);
    index = chosen;
  }
}

void siftDown(NodeHeap& heap, size_t index) {
  for (;;) {
    const size_t left = 2 * index + 1;
    if (left >= heap.size) return;
    const size_t chosen = chosenChild(heap, left);
    if (!heap.items[chosen]->comesBefore(*heap.items[index])) return;
    std::swap(heap.items[chosen], heap.items[index]);
    index = chosen;
  }
}

void removeTop(NodeHeap& heap) {
  heap.items[0] = heap.items[heap.size - 1];
  heap.size -= 1;
  siftDown(heap, 0);
}

}  // namespace qxw
