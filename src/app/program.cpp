#include "app/program.h"

#include <cstdio>
#include <cstdlib>
#include <map>

#include "app/command_line.h"
#include "app/console.h"
#include "app/output_file.h"
#include "app/platform.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

std::string identityOf(const platform::FileStatus& status) {
  char identity[48];
  std::snprintf(identity, sizeof identity, "#%llu:%llu",
                static_cast<unsigned long long>(status.identity.volume),
                static_cast<unsigned long long>(status.identity.index));
  return identity;
}

// The file writing name would reach: an existing file by its identity, else the absolute path
// it would be made at, links followed.
std::string landingOf(const std::string& name) {
  if (const auto status = platform::statusOf(name); status && status->identified) {
    return identityOf(*status);
  }
  const std::string target = platform::placementOf(name);
  const std::string folder = platform::folderOf(target);
  const std::optional<std::string> real = platform::absoluteFolder(folder.empty() ? "." : folder);
  if (!real) return target;
  return *real + "/" + target.substr(folder.size());
}

// The input's file, by its identity; empty when it cannot be seen.
std::string inputIdentity(const std::string& input, const char* extension) {
  const auto status = input == "-" ? platform::statusOf(platform::kStandardInput)
                                   : platform::statusOf(inputNameOf(input, extension));
  const bool seen =
      status && status->identified && (input != "-" || status->kind == platform::FileKind::Regular);
  return seen ? identityOf(*status) : std::string();
}

// True when no two of the inputs would write the same file in folder and none would write over
// an input, comparing the files the names reach (device and inode where they exist, links
// followed); otherwise prints one error line for the first such pair.
bool outputsAreDistinct(const std::vector<std::string>& inputs, const std::string& folder,
                        const char* inputExtension, const char* outputExtension) {
  std::map<std::string, const std::string*> read;
  for (const std::string& input : inputs) {
    const std::string identity = inputIdentity(input, inputExtension);
    if (!identity.empty()) read.emplace(identity, &input);
  }
  std::map<std::string, std::pair<const std::string*, std::string>> written;
  for (const std::string& input : inputs) {
    const std::string output =
        resolveOutputName(inputNameOf(input, inputExtension), folder, outputExtension);
    const std::string landing = landingOf(output);
    if (const auto source = read.find(landing); source != read.end()) {
      printError("Error: " + input + " would write " + output + ", which is the input file " +
                 inputNameOf(*source->second, inputExtension));
      return false;
    }
    const auto [at, fresh] = written.emplace(landing, std::make_pair(&input, output));
    if (!fresh) {
      const std::string& first = at->second.second;
      printError("Error: " + *at->second.first + " and " + input + " would both write " +
                 (first == output ? output : first + " (as " + output + ")"));
      return false;
    }
  }
  return true;
}

// Runs runOne on each input in order; one failing does not stop the others. Every error line of
// a run names its file ("ff.wav: Error parsing Wave file data chunk"), and when any failed the
// batch ends with "N of M files failed". The exit status of the whole.
int runEach(const std::vector<std::string>& inputs, const char* inputExtension,
            const std::function<int(const std::string&)>& runOne) {
  size_t failed = 0;
  for (const std::string& input : inputs) {
    setErrorPrefix(inputNameOf(input, inputExtension) + ": ");
    if (runCatching([&] { return runOne(input); }) != kSuccess) ++failed;
  }
  setErrorPrefix("");
  if (failed == 0) return kSuccess;
  printError(std::to_string(failed) + " of " + std::to_string(inputs.size()) + " files failed");
  return kFailure;
}

}  // namespace

std::string inputNameOf(const std::string& infile, const char* extension) {
  return infile == "-" ? "standard input" : deriveInputName(infile, extension);
}

int runProgram(int argc, const char* const* argv, const ProgramShape& shape,
               const std::function<std::optional<Runs>()>& parse,
               const std::function<int(const std::string& infile,
                                       const std::optional<std::string>& outfile)>& runOne) {
  const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : shape.name;
  if (isVersionRequest(argc, argv)) {
    std::printf("%s %s\n", shape.name, qxw_version());
    return kSuccess;
  }
  if (isHelpRequest(argc, argv)) {
    shape.help(program);
    return kSuccess;
  }
  const std::optional<Runs> runs = parse();
  if (!runs) {
    shape.usage(program);
    return kUsage;
  }
  if (runs->inputs.size() == 1 && !runs->intoFolder) return runOne(runs->inputs[0], runs->outfile);
  if (runs->intoFolder && !outputsAreDistinct(runs->inputs, *runs->outfile, shape.inputExtension,
                                              shape.outputExtension)) {
    return kFailure;
  }
  return runEach(runs->inputs, shape.inputExtension,
                 [&](const std::string& input) { return runOne(input, runs->outfile); });
}

bool refuseTerminals(bool readsStandardInput, bool writesStandardOutput) {
  if (readsStandardInput && platform::isTerminal(platform::kStandardInput)) {
    printError("Error: standard input is a terminal");
    return false;
  }
  if (writesStandardOutput && platform::isTerminal(platform::kStandardOutput)) {
    printError("Error: standard output is a terminal");
    return false;
  }
  return true;
}

}  // namespace qxw
