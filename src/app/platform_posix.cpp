#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iterator>

#include "app/platform.h"

namespace qxw::platform {

namespace {

FileStatus statusFrom(const struct stat& info) {
  FileStatus status;
  status.kind = S_ISREG(info.st_mode)   ? FileKind::Regular
                : S_ISDIR(info.st_mode) ? FileKind::Folder
                                        : FileKind::Other;
  status.size = static_cast<uint64_t>(info.st_size);
  status.identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
  status.identified = true;
  status.mode = static_cast<unsigned>(info.st_mode & 07777);
  status.owner = static_cast<uint32_t>(info.st_uid);
  status.group = static_cast<uint32_t>(info.st_gid);
  return status;
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

std::optional<FileStatus> statusOf(const std::string& name) {
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0) return std::nullopt;
  return statusFrom(info);
}

std::optional<FileStatus> statusOf(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;
  return statusFrom(info);
}

std::string folderOf(const std::string& name) {
  const size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

std::string placementOf(const std::string& name) {
  struct stat info {};
  if (::lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return name;
  char* resolved = ::realpath(name.c_str(), nullptr);
  if (resolved == nullptr) return followLinks(name);
  std::string target = resolved;
  std::free(resolved);
  return target;
}

std::optional<std::string> absoluteFolder(const std::string& folder) {
  char* real = ::realpath(folder.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string absolute = real;
  std::free(real);
  return absolute;
}

// Its own permissions, and in a sticky folder (such as /tmp) its owner, since replacing it means
// renaming over it there.
bool userMayWrite(const std::string& file, const FileStatus& status) {
  if (::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) != 0) return false;
  const uid_t user = ::geteuid();
  if (user == 0 || status.owner == user) return true;
  const std::string folder = folderOf(file);
  struct stat folderInfo {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &folderInfo) != 0) return false;
  return (folderInfo.st_mode & S_ISVTX) == 0 || folderInfo.st_uid == user;
}

// 0666 under the process's umask.
unsigned newFileMode() {
  const mode_t mask = ::umask(077);
  ::umask(mask);
  return 0666u & ~static_cast<unsigned>(mask);
}

bool applyFinalMode(int fd, unsigned mode, std::optional<uint32_t> group) {
  if (group) {
    const int ignored = ::fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(*group));
    (void)ignored;
  }
  return ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
}

bool moveIntoPlace(const std::string& from, const std::string& to, bool mustNotExist,
                   bool& exists) {
  exists = false;
  if (mustNotExist) {
    // A link never replaces a file that appeared meanwhile.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return true;
    }
    if (errno == EEXIST) {
      exists = true;
      return false;
    }
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

void removeFile(const std::string& name) { ::unlink(name.c_str()); }

uint64_t processNumber() { return static_cast<uint64_t>(::getpid()); }

int openForReading(const std::string& name) {
  return ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

int openForWriting(const std::string& name, bool exclusive, unsigned mode) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  return ::open(name.c_str(), flags, static_cast<mode_t>(mode));
}

int64_t readSome(int fd, void* into, size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd, into, size);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

bool writeAll(int fd, const void* from, size_t size) {
  const auto* at = static_cast<const uint8_t*>(from);
  while (size > 0) {
    const ssize_t written = ::write(fd, at, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    at += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

void startWriteBack(int fd, uint64_t offset, uint64_t size) {
#ifdef SYNC_FILE_RANGE_WRITE
  // Only a hint: a file system that refuses it writes the data back later all the same.
  ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(size),
                    SYNC_FILE_RANGE_WRITE);
#else
  (void)fd, (void)offset, (void)size;
#endif
}

int64_t positionOf(int fd) { return ::lseek(fd, 0, SEEK_CUR); }

bool seekTo(int fd, uint64_t offset) {
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

bool truncateTo(int fd, uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

bool closeFile(int fd) { return ::close(fd) == 0; }

bool isAppending(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_APPEND) != 0;
}

bool isTerminal(int fd) { return ::isatty(fd) == 1; }

bool wouldWait(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return ::poll(&ready, 1, 0) == 0;
}

std::optional<std::string> nameOfStandardOutput() {
  // The process's own view of it.
  return std::string("/proc/self/fd/1");
}

bool mapFile(int fd, uint64_t size, Mapping& mapping, bool& outOfMemory) {
  void* view = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (view == MAP_FAILED) {
    outOfMemory = errno == ENOMEM;
    return false;
  }
  ::madvise(view, size, MADV_SEQUENTIAL);
  mapping = {static_cast<const uint8_t*>(view), size, nullptr};
  return true;
}

void unmapFile(Mapping& mapping) {
  if (mapping.data != nullptr) ::munmap(const_cast<uint8_t*>(mapping.data), mapping.size);
  mapping = {};
}

void prefetch(const uint8_t* at, size_t size) {
  // Whole pages, from the one that holds at.
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t first = reinterpret_cast<uintptr_t>(at) / page * page;
  void* start = reinterpret_cast<void*>(first);
  const size_t span = size + static_cast<size_t>(reinterpret_cast<uintptr_t>(at) - first);
#ifdef MADV_POPULATE_READ
  if (::madvise(start, span, MADV_POPULATE_READ) == 0) return;
#endif
  // An older kernel reads ahead instead.
  ::madvise(start, span, MADV_WILLNEED);
}

bool prepareStandardStreams() {
  // A descriptor 0, 1 or 2 left closed by whoever started us would be taken by the first file we
  // open, and the console lines would land in it.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0) return false;
    if (null != fd) {
      // Only possible when a lower descriptor was opened meanwhile; never leave a gap.
      ::close(null);
      return false;
    }
  }
  // Past a file size limit a write fails with EFBIG, which the run reports like a full disk.
  std::signal(SIGXFSZ, SIG_IGN);
  // A reader of the progress or of the sound that goes away is a failed write, never a silent
  // end: progress nobody reads is dropped, and the sound's writes report their failure.
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

namespace {

void (*volatile interruptHandler)() = nullptr;
void (*volatile faultHandler)() = nullptr;

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[std::size(kInterruptions)];
bool interruptionsGuarded = false;

extern "C" void onInterruptSignal(int signal) {
  if (void (*handler)() = interruptHandler) handler();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

extern "C" void onMappingFault(int) {
  if (void (*handler)() = faultHandler) handler();
  ::_exit(2);
}

void install(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

}  // namespace

void guardInterruptions(void (*onInterrupt)()) {
  interruptHandler = onInterrupt;
  if (interruptionsGuarded) return;
  interruptionsGuarded = true;
  for (size_t i = 0; i < std::size(kInterruptions); ++i) {
    // Ignored by whoever started us (nohup, trap '' TERM), an interruption stays ignored.
    ::sigaction(kInterruptions[i], nullptr, &previousActions[i]);
    if (previousActions[i].sa_handler != SIG_IGN) install(kInterruptions[i], onInterruptSignal);
  }
}

void releaseInterruptions() {
  if (!interruptionsGuarded) return;
  interruptionsGuarded = false;
  // Whatever the signals did before (ignored, say, by a parent) holds again.
  for (size_t i = 0; i < std::size(kInterruptions); ++i) {
    ::sigaction(kInterruptions[i], &previousActions[i], nullptr);
  }
}

namespace {
// Read by the handlers: a plain buffer made before they can run.
std::string partialOutput;
const char* volatile outputToRemove = nullptr;
}  // namespace

void setPartialOutput(const std::string& name) {
  outputToRemove = nullptr;
  partialOutput = name;
  if (!partialOutput.empty()) outputToRemove = partialOutput.c_str();
}

void removePartialOutputNow() {
  const char* name = outputToRemove;
  if (name != nullptr) ::unlink(name);
}

void guardMappingFaults(void (*onFault)()) {
  faultHandler = onFault;
  install(SIGBUS, onMappingFault);
}

void writeErrorAndExit(const char* text, size_t length, int status) {
  if (text != nullptr) {
    const ssize_t ignored = ::write(STDERR_FILENO, text, length);
    (void)ignored;
  }
  ::_exit(status);
}

}  // namespace qxw::platform
