#include "app/command_line.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace qxw {

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\' || c == ':'; }

// Start of the last path component.
size_t baseNameStart(const std::string& name) {
  const size_t separator = name.find_last_of("/\\:");
  return separator == std::string::npos ? 0 : separator + 1;
}

bool baseNameHasDot(const std::string& name) {
  return name.find('.', baseNameStart(name)) != std::string::npos;
}

// Replaces everything from the last '.' of the last component on with extension.
std::string replaceExtension(const std::string& name, const char* extension) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot < baseNameStart(name)) return name + extension;
  return name.substr(0, dot) + extension;
}

bool isOption(const char* arg) {
  return arg[0] == '/' && (arg[1] == 'q' || arg[1] == 'Q') && arg[2] >= '0' && arg[2] <= '9';
}

}  // namespace

std::optional<FileArguments> splitArguments(int argc, const char* const* argv,
                                            bool (*isOption)(const char*), int maxOptions) {
  if (argc < 2) return std::nullopt;
  FileArguments arguments;
  int first = 1;
  while (first < argc && static_cast<int>(arguments.options.size()) < maxOptions &&
         isOption(argv[first])) {
    arguments.options.push_back(argv[first++]);
  }
  const int files = argc - first;
  if (files < 1 || files > 2) return std::nullopt;
  for (int i = first; i < argc; ++i) {
    if (isOption(argv[i])) return std::nullopt;
  }
  arguments.infile = argv[first];
  if (files == 2) arguments.outfile = argv[first + 1];
  return arguments;
}

std::optional<CommandLine> parseCommandLine(int argc, const char* const* argv) {
  auto arguments = splitArguments(argc, argv, isOption, 1);
  if (!arguments) return std::nullopt;
  CommandLine line;
  if (!arguments->options.empty()) line.quality = arguments->options[0][2] - '0';
  line.infile = std::move(arguments->infile);
  line.outfile = std::move(arguments->outfile);
  return line;
}

std::string deriveInputName(const std::string& infile, const char* extension) {
  return baseNameHasDot(infile) ? infile : infile + extension;
}

std::string deriveOutputName(const std::string& inputName, const std::optional<std::string>& outfile,
                             const char* extension) {
  if (!outfile) return replaceExtension(inputName, extension);
  const std::string& out = *outfile;
  if (!out.empty() && isSeparator(out.back())) {
    return replaceExtension(out + inputName.substr(baseNameStart(inputName)), extension);
  }
  if (baseNameHasDot(out)) return out;
  return out + extension;
}

std::string resolveOutputName(const std::string& inputName,
                              const std::optional<std::string>& outfile, const char* extension) {
  struct stat info {};
  if (outfile && !outfile->empty() && ::stat(outfile->c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      const std::string folder = isSeparator(outfile->back()) ? *outfile : *outfile + "/";
      return replaceExtension(folder + inputName.substr(baseNameStart(inputName)), extension);
    }
    if (!S_ISREG(info.st_mode)) return *outfile;
  }
  return deriveOutputName(inputName, outfile, extension);
}

bool isHelpRequest(int argc, const char* const* argv) {
  if (argc != 2) return false;
  for (const char* help : {"-h", "--help", "-?", "/?"}) {
    if (std::strcmp(argv[1], help) == 0) return true;
  }
  return false;
}

void printUsage(const char* program) {
  std::printf("Format: %s [ /Q# ] infile [ outfile ]\n", program);
  std::printf("Where # is the quality level, between 0 and 9.\n");
}

}  // namespace qxw
