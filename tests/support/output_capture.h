#pragma once

#include <functional>
#include <vector>

#include "encoder/bit_writer.h"

namespace qxw::testing {

// The bytes that a BitWriter over a fresh output receives from write().
inline std::vector<uint8_t> capture(const std::function<void(BitWriter&)>& write) {
  OutputStream stream;
  stream.createInMemory();
  BitWriter writer(stream);
  write(writer);
  stream.close();
  return stream.contents();
}

}  // namespace qxw::testing
