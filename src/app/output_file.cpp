#include "app/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "app/console.h"
#include "app/run_guard.h"
#include "qxw/qxw.h"

namespace qxw {

namespace {

// The folder part of a path as the file system sees it, with its final '/', or "" for the
// current folder.
std::string folderOf(const std::string& name) {
  const size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

// A hidden name in the output's folder that no other run picks.
std::string temporaryNameIn(const std::string& folder) {
  static std::mt19937_64 random{std::random_device{}() ^ static_cast<uint64_t>(::getpid())};
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".qxw-%012llx.part",
                static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
  return folder + suffix;
}

// Where a symbolic link at name points, followed to its end even when nothing is there yet.
std::string followLinks(std::string name) {
  for (int depth = 0; depth < 40; ++depth) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return name;
    std::string target(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
    const ssize_t length = ::readlink(name.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<size_t>(length) >= target.size()) return name;
    target.resize(static_cast<size_t>(length));
    name = target[0] == '/' ? target : folderOf(name) + target;
  }
  return name;
}

}  // namespace

std::string placementOf(const std::string& name) {
  struct stat info {};
  if (::lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return name;
  char* resolved = ::realpath(name.c_str(), nullptr);
  if (resolved == nullptr) return followLinks(name);
  std::string target = resolved;
  std::free(resolved);
  return target;
}

namespace {

// Whether this user could write the existing file in place: its own permissions, and in a
// sticky folder (such as /tmp) its owner, since replacing it means renaming over it there.
bool userMayWrite(const std::string& file, const struct stat& info) {
  if (::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0) return false;
  const uid_t user = ::geteuid();
  if (user == 0 || info.st_uid == user) return true;
  std::string folder = folderOf(file);
  struct stat folderInfo {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &folderInfo) != 0) return false;
  return (folderInfo.st_mode & S_ISVTX) == 0 || folderInfo.st_uid == user;
}

// 0666 under the process's umask: the bits any new file gets.
unsigned newFileMode() {
  const mode_t mask = ::umask(077);
  ::umask(mask);
  return 0666u & ~static_cast<unsigned>(mask);
}

}  // namespace

bool startsWithQxwMagic(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t head[8];
  const ssize_t got = ::read(fd, head, sizeof head);
  ::close(fd);
  uint64_t unused = 0;
  return got > 0 && qxw_file_size(head, static_cast<size_t>(got), &unused) != QXW_NOT_QXW;
}

OutputFile::~OutputFile() {
  if (open_) discard();
}

bool OutputFile::mayReplace(const std::string& name, ReplacePolicy policy) const {
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return true;
  if (policy == ReplacePolicy::Never) {
    printError("Error: output file " + name + " exists; /F replaces it");
    return false;
  }
  if (policy == ReplacePolicy::QxwFilesOnly && info.st_size > 0 && !startsWithQxwMagic(name)) {
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
  struct stat info {};
  const bool exists = ::stat(name.c_str(), &info) == 0;
  mustNotExist_ = policy == ReplacePolicy::Never && !exists;
  target_ = placementOf(name);
  const bool direct = exists && !S_ISREG(info.st_mode);
  const bool refused =
      exists && (S_ISDIR(info.st_mode) || (!direct && !userMayWrite(target_, info)));
  if (refused || (direct ? !sink_.create(name) : !createTemporary())) {
    printError("Error creating " + name);
    return false;
  }
  // A replaced file keeps who may read it: its permission bits, and its group where allowed.
  finalMode_ = exists ? info.st_mode & 07777 : newFileMode();
  finalGroup_ = exists ? static_cast<gid_t>(info.st_gid) : static_cast<gid_t>(-1);
  open_ = true;
  return true;
}

// The temporary file is private while it fills; only its complete content gets the final
// name's readers.
bool OutputFile::applyFinalMode() {
  if (!sink_.drain()) return false;
  const int fd = sink_.descriptor();
  if (finalGroup_ != static_cast<gid_t>(-1)) {
    const int ignored = ::fchown(fd, static_cast<uid_t>(-1), finalGroup_);
    (void)ignored;
  }
  return ::fchmod(fd, finalMode_) == 0;
}

void OutputFile::useStandardOutput() {
  name_ = "standard output";
  standardOutput_ = true;
  sink_.attach(STDOUT_FILENO);
  open_ = true;
}

bool OutputFile::createTemporary() {
  const std::string folder = folderOf(target_);
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
  if (mustNotExist_) {
    // A link never replaces a file that appeared meanwhile.
    if (::link(temporary_.c_str(), target_.c_str()) == 0) {
      ::unlink(temporary_.c_str());
      return true;
    }
    if (errno == EEXIST) {
      printError("Error: output file " + name_ + " exists; /F replaces it");
      return false;
    }
  }
  if (::rename(temporary_.c_str(), target_.c_str()) == 0) return true;
  printError("Error writing " + name_);
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
    // Standard output is read back through the process's own view of it.
    const std::string path = !temporary_.empty() ? temporary_
                             : standardOutput_   ? "/proc/self/fd/1"
                                                 : name_;
    if (!verify(Written{path, sink_.startOffset(), nullptr})) {
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
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  releasePartialOutput();
}

}  // namespace qxw
