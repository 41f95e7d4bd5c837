#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxw {

// True when the QXW file at path, from offset on, is one whole file that decodes to exactly the
// expected interleaved samples. Reads the file as the file system holds it.
bool decodesTo(const std::string& path, uint64_t offset, const std::vector<int16_t>& expected);

}  // namespace qxw
