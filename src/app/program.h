#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qxw {

// The exit status of both programs: 1 after the usage message, 2 after any error line.
inline constexpr int kSuccess = 0;
inline constexpr int kUsage = 1;
inline constexpr int kFailure = 2;

// What a command line asks of a program: files, each its own run.
struct Runs {
  std::vector<std::string> inputs;     // one or more
  std::optional<std::string> outfile;  // for one input, its outfile; for several, the folder
  bool intoFolder = false;             // several inputs whose outputs go into outfile
};

// What the two programs differ in, besides their runs.
struct ProgramShape {
  const char* name;  // as --version prints it
  const char* inputExtension;
  const char* outputExtension;
  void (*usage)(const char* program);
  void (*help)(const char* program);
};

// The run of a program: --version and help alone, the usage message where parse finds none,
// then runOne for each input in order; one alone keeps its own lines, several name their file
// on every error line and are checked first not to write over each other or an input.
int runProgram(int argc, const char* const* argv, const ProgramShape& shape,
               const std::function<std::optional<Runs>()>& parse,
               const std::function<int(const std::string& infile,
                                       const std::optional<std::string>& outfile)>& runOne);

// A terminal neither gives a file nor takes one: false, with one error line, when standard input
// is to be read and is a terminal, or standard output written and is one.
bool refuseTerminals(bool readsStandardInput, bool writesStandardOutput);

// The name a run gives its input in its lines: "standard input" for "-", otherwise the infile
// with extension (".wav") appended when its last path component holds no '.'.
std::string inputNameOf(const std::string& infile, const char* extension);

}  // namespace qxw
