#pragma once

namespace qxw {

// The whole wav2qxw run: arguments, input checks, the passes in order, the output file.
// Returns 1 after the usage message and 0 otherwise, errors included.
int runEncoder(int argc, const char* const* argv);

}  // namespace qxw
