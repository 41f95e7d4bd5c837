#pragma once

#include <string>

namespace qxw {

// A mapped input that shrinks while it is read faults (SIGBUS; an in-page error on Windows).
// From this call on, that fault
// ends the run with `message` as its error line and `exitStatus` instead of a crash, after the
// partial output (if any) has been removed.
void guardMappedInput(const std::string& message, int exitStatus);

// Until releasePartialOutput, an interruption (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl-C,
// Ctrl-Break, a closed console) or a mapping fault removes
// the file named here; an interruption then ends the process by its signal. Armed before the file
// is made, so no moment leaves it behind. A signal that was ignored when the program started stays
// ignored.
void guardPartialOutput(const std::string& outputName);
void releasePartialOutput();

}  // namespace qxw
