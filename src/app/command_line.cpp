#include "app/command_line.h"

#include "app/platform.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "app/console.h"

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

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool equalsIgnoringCase(const char* text, const char* word) {
  for (; *word != '\0'; ++text, ++word) {
    if (upper(*text) != upper(*word)) return false;
  }
  return *text == '\0';
}

// What follows "/B" when it was meant as a target, valid or not: a number's first character, or
// nothing, or a word a number parser would take ("/B-1", "/B.5", "/B", "/Bnan").
bool looksLikeTarget(const char* rest) {
  return *rest == '\0' || isDigit(*rest) || *rest == '+' || *rest == '-' || *rest == '.' ||
         equalsIgnoringCase(rest, "nan") || equalsIgnoringCase(rest, "inf") ||
         equalsIgnoringCase(rest, "infinity");
}

// "/Q#" takes a digit after the letter, "/B#" a target (checked when applied, so that a mistyped
// one is a usage error, not a file name); "/V" stands alone, "/X" alone or with an effort of 1
// to 3 (so that "/x5" stays the file name it always was).
bool isOption(const char* arg) {
  if (arg[0] != '/' || arg[1] == '\0') return false;
  const char letter = upper(arg[1]);
  if (letter == 'V') return arg[2] == '\0';
  if (letter == 'X') return arg[2] == '\0' || (arg[2] >= '1' && arg[2] <= '3' && arg[3] == '\0');
  if (letter == 'B') return looksLikeTarget(arg + 2);
  return letter == 'Q' && isDigit(arg[2]);
}

// A target of 2 to 8 bits per sample, decimals allowed ("3", "4.5").
std::optional<double> parseBitsPerSample(const char* text) {
  double value = 0;
  int digits = 0;
  for (; isDigit(*text); ++text, ++digits) value = value * 10 + (*text - '0');
  if (*text == '.') {
    double scale = 0.1;
    for (++text; isDigit(*text); ++text, ++digits, scale /= 10) {
      value += (*text - '0') * scale;
    }
  }
  if (*text != '\0' || digits == 0 || value < kMinBitsPerSample || value > kMaxBitsPerSample) {
    return std::nullopt;
  }
  return value;
}

// Applies one leading option; false when it repeats or contradicts an earlier one.
bool applyOption(const char* option, CommandLine& line, bool& qualityGiven) {
  switch (upper(option[1])) {
    case 'Q':
      if (qualityGiven || line.bitsPerSample) return false;
      qualityGiven = true;
      line.quality = option[2] - '0';  // only the first digit counts
      return true;
    case 'B':
      if (qualityGiven || line.bitsPerSample) return false;
      line.bitsPerSample = parseBitsPerSample(option + 2);
      return line.bitsPerSample.has_value();
    case 'X':
      if (line.effort > 0 || qualityGiven) return false;
      line.effort = option[2] == '\0' ? kDefaultEffort : option[2] - '0';
      return true;
    default:
      if (line.verify) return false;
      line.verify = true;
      return true;
  }
}

}  // namespace

std::optional<FileArguments> splitArguments(int argc, const char* const* argv,
                                            bool (*isOption)(const char*), int maxOptions,
                                            bool everyNameAnInput) {
  if (argc < 2) return std::nullopt;
  FileArguments arguments;
  int first = 1;
  while (first < argc && static_cast<int>(arguments.options.size()) < maxOptions &&
         isOption(argv[first])) {
    arguments.options.push_back(argv[first++]);
  }
  const int files = argc - first;
  if (files < 1) return std::nullopt;
  for (int i = first; i < argc; ++i) {
    if (isOption(argv[i])) return std::nullopt;
  }
  if (everyNameAnInput) {
    arguments.inputs.assign(argv + first, argv + argc);
    return arguments;
  }
  if (files > 2) {
    const std::string folder = argv[argc - 1];
    const auto status = platform::statusOf(folder);
    const bool isFolder = (!folder.empty() && isSeparator(folder.back())) ||
                          (status && status->kind == platform::FileKind::Folder);
    if (!isFolder) return std::nullopt;
    arguments.inputs.assign(argv + first, argv + argc - 1);
    arguments.folder = folder;
    return arguments;
  }
  arguments.infile = argv[first];
  if (files == 2) arguments.outfile = argv[first + 1];
  return arguments;
}

std::optional<CommandLine> parseCommandLine(int argc, const char* const* argv) {
  auto arguments = splitArguments(argc, argv, isOption, 4);
  if (!arguments) return std::nullopt;
  CommandLine line;
  bool qualityGiven = false;
  for (const char* option : arguments->options) {
    if (!applyOption(option, line, qualityGiven)) return std::nullopt;
  }
  // A search needs a size to aim at; the levels' bytes are fixed.
  if (line.effort > 0 && !line.bitsPerSample) return std::nullopt;
  line.infile = std::move(arguments->infile);
  line.outfile = std::move(arguments->outfile);
  line.inputs = std::move(arguments->inputs);
  line.folder = std::move(arguments->folder);
  return line;
}

std::string deriveInputName(const std::string& infile, const char* extension) {
  return baseNameHasDot(infile) ? infile : infile + extension;
}

std::string deriveOutputName(const std::string& inputName,
                             const std::optional<std::string>& outfile, const char* extension) {
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
  const auto status = outfile && !outfile->empty() ? platform::statusOf(*outfile) : std::nullopt;
  if (status) {
    if (status->kind == platform::FileKind::Folder) {
      const std::string folder = isSeparator(outfile->back()) ? *outfile : *outfile + "/";
      return replaceExtension(folder + inputName.substr(baseNameStart(inputName)), extension);
    }
    if (status->kind != platform::FileKind::Regular || isStandardOutput(*outfile)) return *outfile;
  }
  return deriveOutputName(inputName, outfile, extension);
}

bool isStandardOutput(const std::string& name) {
  const auto named = platform::statusOf(name);
  const auto output = platform::statusOf(platform::kStandardOutput);
  return named && output && named->identified && output->identified &&
         named->identity == output->identity;
}

bool isVersionRequest(int argc, const char* const* argv) {
  return argc == 2 && std::strcmp(argv[1], "--version") == 0;
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

void printHelp(const char* program) {
  printUsage(program);
  std::printf(
      "Also: /B# in place of /Q# aims at # bits per sample (2 to 8, such as /B4.5);\n"
      "/X or /X1../X3 with /B# searches each sample's level: more sound, more time;\n"
      "/V decodes the written file again to verify it;\n"
      "infile infile... folder compresses each file into the folder; - is standard\n"
      "input or output. man wav2qxw has every option and message.\n");
}

}  // namespace qxw
