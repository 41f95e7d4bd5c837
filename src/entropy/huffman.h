#pragma once

#include <cstdint>
#include <memory>

#include "analysis/encoder_model.h"
#include "entropy/node_heap.h"

namespace qxw {

// A node of a code tree. It owns its two children; releasing a root releases the tree.
class TreeNode : public HeapNode {
 public:
  TreeNode(int32_t symbol, uint32_t weight) : symbol_(symbol), weight_(weight) {}
  TreeNode(HeapNode* first, HeapNode* second, uint32_t weight)
      : first_(first), second_(second), symbol_(-1), weight_(weight) {}

  uint32_t weight() const override { return weight_; }
  int32_t symbol() const override { return symbol_; }
  HeapNode* firstChild() const override { return first_.get(); }
  HeapNode* secondChild() const override { return second_.get(); }

 private:
  std::unique_ptr<HeapNode> first_;
  std::unique_ptr<HeapNode> second_;
  int32_t symbol_;
  uint32_t weight_;
};

// First tree: weights are symbol counts, the lightest node on top.
class CountNode final : public TreeNode {
 public:
  using TreeNode::TreeNode;
  bool comesBefore(const HeapNode& other) const override { return weight() < other.weight(); }
  HeapNode* merge(HeapNode* other) override {
    return new CountNode(this, other, weight() + other->weight());
  }
};

// Second tree: weights are code lengths, the longest code on top.
class LengthNode final : public TreeNode {
 public:
  using TreeNode::TreeNode;
  bool comesBefore(const HeapNode& other) const override { return weight() > other.weight(); }
  HeapNode* merge(HeapNode* other) override { return new LengthNode(this, other, weight() - 1); }
};

using NodeFactory = HeapNode* (*)(int index, void* userData);

// Fills a heap with count leaves in index order and merges the top two until one is left.
// The first item taken becomes the first child; the merged node replaces the second at the top.
std::unique_ptr<HeapNode> buildMergeTree(int count, NodeFactory factory, void* userData);

// Leaves for symbol = index of the row activeModel->currentContext. A zero count weighs 1.
HeapNode* makeCountLeaf(int index, void* userData);
HeapNode* makeLengthLeaf(int index, void* userData);

// Tree walks that write into the row activeModel->currentContext.
void assignCodeLengths(const HeapNode* node, int32_t depth);
void assignCodeWords(const HeapNode* node, uint32_t code);

// Where a row holds lengths above 32, limits them to 32 keeping the Kraft sum exactly 1.
// Symbols keep their order by (length, symbol); rows within 32 are left untouched.
void limitCodeLengths(int32_t* lengths);

}  // namespace qxw
