#pragma once

#include "analysis/encoder_model.h"
#include "entropy/node_heap.h"

namespace qxw {

// One bin in the refinement heap. Its key is the bin's lowest magnitude over its step, with 14
// fractional bits; the largest key is on top and equal keys come before each other.
class BinNode final : public HeapNode {
 public:
  explicit BinNode(int32_t bin) : bin_(bin) { merge(nullptr); }

  uint32_t weight() const override { return key_; }
  int32_t symbol() const override { return bin_; }
  bool comesBefore(const HeapNode& other) const override { return key_ >= other.weight(); }
  // Recomputes the key from activeModel's current base and shift.
  HeapNode* merge(HeapNode*) override {
    key_ = (activeModel->binBase[bin_] * 16384u) >> activeModel->binShift[bin_];
    return nullptr;
  }
  HeapNode* firstChild() const override { return nullptr; }
  HeapNode* secondChild() const override { return nullptr; }

 private:
  int32_t bin_;
  uint32_t key_ = 0;
};

}  // namespace qxw
