#pragma once

#include <functional>
#include <vector>

#include "output/bit_writer.h"
#include "support/wav_files.h"

namespace qxw::testing {

// The bytes that a BitWriter over a fresh output file receives from write().
inline std::vector<uint8_t> capture(const std::function<void(BitWriter&)>& write) {
  TempDir dir;
  const std::string name = dir.path("out.bin");
  OutputStream stream;
  if (!stream.create(name)) return {};
  BitWriter writer(stream);
  write(writer);
  stream.close();
  return readFile(name);
}

}  // namespace qxw::testing
