#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qxw {

// The name a run gives its input in its lines: "standard input" for "-", otherwise the infile
// with extension (".wav") appended when its last path component holds no '.'.
std::string inputNameOf(const std::string& infile, const char* extension);

// True when no two of the inputs would write the same file in folder and none would write over
// an input, comparing the files the names reach (device and inode where they exist, links
// followed); otherwise prints one error line for the first such pair.
bool outputsAreDistinct(const std::vector<std::string>& inputs, const std::string& folder,
                        const char* inputExtension, const char* outputExtension);

// Runs runOne on each input in order; one failing does not stop the others. Every error line of
// a run names its file ("ff.wav: Error parsing Wave file data chunk"), and when any failed the
// batch ends with "N of M files failed". The exit status of the whole.
int runEach(const std::vector<std::string>& inputs, const char* inputExtension,
            const std::function<int(const std::string&)>& runOne);

}  // namespace qxw
