#include "app/output_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "app/console.h"
#include "app/platform.h"
#include "app/run_guard.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

// A hidden name in the output's folder that no other run picks.
std::string temporaryNameIn(const std::string& folder) {
  static std::mt19937_64 random{std::random_device{}() ^ platform::processNumber()};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".qxw-%012llx.part",
                static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
  return folder + suffix;
}

}  // namespace

bool startsWithQxwMagic(const std::string& name) {
  const int fd = platform::openForReading(name);
  if (fd < 0) return false;
  uint8_t head[8];
  const int64_t got = platform::readSome(fd, head, sizeof head);
  platform::closeFile(fd);
  uint64_t unused = 0;
  return got > 0 && qxw_file_size(head, static_cast<size_t>(got), &unused) != QXW_NOT_QXW;
}

OutputFile::~OutputFile() {
  if (open_) discard();
}

bool OutputFile::mayReplace(const std::string& name, ReplacePolicy policy) const {
  const auto status = platform::statusOf(name);
  if (!status || status->kind != platform::FileKind::Regular) return true;
  if (policy == ReplacePolicy::Never) {
    printError("Error: output file " + name + " exists; /F replaces it");
    return false;
  }
  if (policy == ReplacePolicy::QxwFilesOnly && status->size > 0 && !startsWithQxwMagic(name)) {
    printError("Error: output file " + name + " exists and is not a QXW file");
    return false;
  }
  return true;
}

bool OutputFile::create(const std::string& name, const MappedFile& input, ReplacePolicy policy) {
  name_ = name;
  if (input.isSameFileAs(name)) {
    printError("Error: output file " + name + " is the input file");
    return false;
  }
  if (!mayReplace(name, policy)) return false;
  const auto status = platform::statusOf(name);
  mustNotExist_ = policy == ReplacePolicy::Never && !status;
  target_ = platform::placementOf(name);
  const bool direct = status && status->kind != platform::FileKind::Regular;
  const bool refused = status && (status->kind == platform::FileKind::Folder ||
                                  (!direct && !platform::userMayWrite(target_, *status)));
  if (refused || (direct ? !sink_.create(name) : !createTemporary())) {
    printError("Error creating " + name);
    return false;
  }
  if (status && !direct) sink_.writeBackAsWritten();
  // A replaced file keeps who may read it: its permission bits, and its group where allowed.
  finalMode_ = status ? status->mode : platform::newFileMode();
  if (status) finalGroup_ = status->group;
  open_ = true;
  return true;
}

// The temporary file is private while it fills; only its complete content gets the final
// name's readers.
bool OutputFile::applyFinalMode() {
  if (!sink_.drain()) return false;
  return platform::applyFinalMode(sink_.descriptor(), finalMode_, finalGroup_);
}

void OutputFile::useStandardOutput() {
  name_ = "standard output";
  standardOutput_ = true;
  sink_.attach(platform::kStandardOutput);
  open_ = true;
}

bool OutputFile::createTemporary() {
  const std::string folder = platform::folderOf(target_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary_ = temporaryNameIn(folder);
    // Armed first: an interruption from here on removes the file, however soon it comes.
    guardPartialOutput(temporary_);
    if (sink_.create(temporary_, true, 0600)) return true;
    const bool taken = errno == EEXIST;
    releasePartialOutput();
    if (!taken) break;
  }
  temporary_.clear();
  return false;
}

bool OutputFile::moveIntoPlace() {
  bool exists = false;
  if (platform::moveIntoPlace(temporary_, target_, mustNotExist_, exists)) return true;
  printError(exists ? "Error: output file " + name_ + " exists; /F replaces it"
                    : "Error writing " + name_);
  return false;
}

bool OutputFile::finish(const Verifier& verify) {
  open_ = false;
  const bool held = sink_.isHeld();
  if (verify && held) {
    if (!sink_.drain()) return fail("Error writing " + name_);
    if (!verify(Written{name_, 0, &sink_.held()})) {
      return fail("Error: verification of " + name_ + " failed");
    }
  }
  const bool complete = temporary_.empty() || applyFinalMode();
  if (!sink_.close() || !complete) {
    removeTemporary();
    printError("Error writing " + name_);
    return false;
  }
  if (verify && !held) {
    // Standard output is read back through a name of its own.
    const std::optional<std::string> path = !temporary_.empty() ? temporary_
                                            : standardOutput_   ? platform::nameOfStandardOutput()
                                                                : std::optional<std::string>(name_);
    if (!path || !verify(Written{*path, sink_.startOffset(), nullptr})) {
      removeTemporary();
      printError("Error: verification of " + name_ + " failed");
      return false;
    }
  }
  if (temporary_.empty()) return true;
  const bool placed = moveIntoPlace();
  if (placed) temporary_.clear();
  removeTemporary();
  return placed;
}

bool OutputFile::fail(const std::string& message) {
  sink_.abandon();
  sink_.close();
  removeTemporary();
  printError(message);
  return false;
}

void OutputFile::discard() {
  open_ = false;
  sink_.abandon();
  sink_.close();
  removeTemporary();
}

void OutputFile::removeTemporary() {
  if (!temporary_.empty()) platform::removeFile(temporary_);
  releasePartialOutput();
}

}  // namespace qxw
