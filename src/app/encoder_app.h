#pragma once

namespace qxw {

// The whole wav2qxw run: arguments, input checks, the passes in order, the output file.
// Returns 0 on success, 1 after the usage message, 2 after an error.
int runEncoder(int argc, const char* const* argv);

}  // namespace qxw
