#pragma once

#include <optional>
#include <string>
#include <vector>

#include "qxw/qxw.h"

namespace qxw {

// "[ options ] infile [ outfile ]" or "[ options ] infile infile... folder": up to maxOptions
// leading arguments that pass isOption, then file names. With more than two names the last must
// name an existing folder or end in a separator, and the others are the inputs. Empty when the
// usage message is due, also when a file-name position holds an option (a misplaced "/Q5" is
// never taken for a file name). With everyNameAnInput, every name is an input and there is no
// folder.
struct FileArguments {
  std::vector<const char*> options;
  std::string infile;
  std::optional<std::string> outfile;
  std::vector<std::string> inputs;  // several inputs, all into folder
  std::string folder;
};
std::optional<FileArguments> splitArguments(int argc, const char* const* argv,
                                            bool (*isOption)(const char*), int maxOptions,
                                            bool everyNameAnInput = false);

inline constexpr double kMinBitsPerSample = QXW_BITS_MIN;
inline constexpr double kMaxBitsPerSample = QXW_BITS_MAX;
inline constexpr int kDefaultEffort = 1;  // a lone /X

struct CommandLine {
  int quality = 3;
  std::optional<double> bitsPerSample;  // /B#: a size target instead of a quality level
  int effort = 0;                       // /X#: the search's effort, with /B# only
  bool verify = false;                  // /V
  std::string infile;
  std::optional<std::string> outfile;
  std::vector<std::string> inputs;  // several inputs, all into folder
  std::string folder;
};

// Parses "[ /Q# | /B# [ /X# ] ] [ /V ] infile [ outfile ]" (arguments after the program name), the
// options in any order, each at most once. Empty when the usage message is due.
std::optional<CommandLine> parseCommandLine(int argc, const char* const* argv);

// Appends extension (".wav") when the last path component holds no '.'.
std::string deriveInputName(const std::string& infile, const char* extension);
// The output name from the derived input name and the optional outfile; an outfile ending in
// a separator names a directory.
std::string deriveOutputName(const std::string& inputName,
                             const std::optional<std::string>& outfile, const char* extension);

// The name where outfile names an existing folder (the input's base name with extension goes
// inside it), an existing device or pipe, or standard output under another name such as
// /dev/stdout (used as it stands); otherwise deriveOutputName.
std::string resolveOutputName(const std::string& inputName,
                              const std::optional<std::string>& outfile, const char* extension);

// True when name is the file standard output goes to (same device and inode).
bool isStandardOutput(const std::string& name);

// True for a lone "--version".
bool isVersionRequest(int argc, const char* const* argv);

// True for a lone "-h", "--help", "-?" or "/?".
bool isHelpRequest(int argc, const char* const* argv);

// "Format: <program> [ /Q# ] infile [ outfile ]" and the quality line, on standard output.
void printUsage(const char* program);
// The usage message and the other options, for -h.
void printHelp(const char* program);

}  // namespace qxw
