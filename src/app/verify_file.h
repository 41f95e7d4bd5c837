#pragma once

#include <cstdint>

#include "app/output_file.h"

namespace qxw {

// True when the written QXW file (read back from the file system, or the bytes held in memory)
// is one whole file that decodes to exactly the expected interleaved samples, given as size
// bytes of 16-bit little-endian values.
bool decodesTo(const OutputFile::Written& written, const uint8_t* expected, uint64_t size);

// The same against count samples known only by their digest (qxw_digest summed).
bool decodesToDigest(const OutputFile::Written& written, uint64_t count, uint64_t digest);

}  // namespace qxw
