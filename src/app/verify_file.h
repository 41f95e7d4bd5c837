#pragma once

#include <cstdint>
#include <string>

namespace qxw {

// True when the QXW file at path, from offset on, is one whole file that decodes to exactly the
// expected interleaved samples, given as size bytes of 16-bit little-endian values. Reads the
// file as the file system holds it.
bool decodesTo(const std::string& path, uint64_t offset, const uint8_t* expected, uint64_t size);

// The same against count samples known only by their digest (digestTerm summed).
bool decodesToDigest(const std::string& path, uint64_t offset, uint64_t count, uint64_t digest);

}  // namespace qxw
