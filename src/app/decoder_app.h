#pragma once

namespace qxw {

// The whole qxw2wav run. Returns 0 on success, 1 after the usage message, 2 after an error.
int runDecoder(int argc, const char* const* argv);

}  // namespace qxw
