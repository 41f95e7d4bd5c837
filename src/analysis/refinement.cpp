#include "analysis/refinement.h"

#include <memory>

namespace qxw {

namespace {

uint64_t valueBits(const EncoderModel& model) {
  uint64_t bits = 0;
  for (int b = 1; b < kBinCount; ++b) {
    bits += static_cast<uint64_t>(model.binCount[b]) * static_cast<uint32_t>(model.binBits[b]);
  }
  return bits;
}

// Doubles the step of the bin whose step is smallest against its magnitudes until the extra
// bits fall to the target.
void coarsenSteps(EncoderModel& model, uint64_t bits, uint64_t target) {
  activeModel = &model;
  std::unique_ptr<BinNode> nodes[kBinCount - 1];
  NodeHeap heap(kBinCount - 1);
  for (int p = 0; p < kBinCount - 1; ++p) {
    nodes[p] = std::make_unique<BinNode>(p + 1);
    heap.items[p] = nodes[p].get();
  }
  heapify(heap, 0);
  while (bits > target && heap.size > 0) {
    HeapNode* top = heap.items[0];
    const int b = top->symbol();
    if (model.binShift[b] < model.binBits[b]) {
      model.binShift[b] += 1;
      bits -= model.binCount[b];
      top->merge(nullptr);
      siftDown(heap, 0);
    } else {
      removeTop(heap);
    }
  }
}

}  // namespace

void EncoderModel::refineBins(uint32_t quality, uint64_t& runBits, uint64_t& losslessValueBits,
                              uint64_t& selectedValueBits) {
  runBits = static_cast<uint64_t>(binCount[0]) * static_cast<uint32_t>(binBits[0]);
  for (int b = 0; b < kBinCount; ++b) binShift[b] = 0;
  losslessValueBits = valueBits(*this);
  if (quality >= 9) {
    selectedValueBits = losslessValueBits;
    return;
  }
  if (quality == 0) {
    for (int b = 1; b < kBinCount; ++b) binShift[b] = binBits[b];
  } else {
    const uint64_t target = (losslessValueBits * quality * quality + 40) / 81;
    coarsenSteps(*this, losslessValueBits, target);
  }
  for (int b = 0; b < kBinCount; ++b) {
    binBits[b] -= binShift[b];
    binBase[b] += (1u << binShift[b]) / 2;
  }
  selectedValueBits = valueBits(*this);
}

}  // namespace qxw
