#pragma once

#include "format/vector_support.h"

namespace qxw::testing {

// Turns the passes' wide vectors on or off for a scope.
class WideVectors {
 public:
  explicit WideVectors(bool on) : was_(wideVectorsWanted().exchange(on)) {}
  ~WideVectors() { wideVectorsWanted() = was_; }
  WideVectors(const WideVectors&) = delete;
  WideVectors& operator=(const WideVectors&) = delete;

 private:
  bool was_;
};

}  // namespace qxw::testing
