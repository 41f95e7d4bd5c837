#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The few calls the programs need of the system, one implementation a platform
// (platform_posix.cpp, platform_windows.cpp), so that the programs' logic stays one. Names are
// UTF-8 throughout; descriptors are the C runtime's.
namespace qxw::platform {

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// --- Files and their identity ---

enum class FileKind { Regular, Folder, Other };

// Which file a name or a descriptor reaches: the same volume and index, the same file, whatever
// the names (hard or symbolic links, other spellings of a path).
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};

struct FileStatus {
  FileKind kind = FileKind::Other;
  uint64_t size = 0;
  FileIdentity identity;
  bool identified = false;  // identity names a file (not on every file system or device)
  unsigned mode = 0;        // the permission bits, where the platform has them
  uint32_t owner = 0;       // the owning user and group, where the platform has them
  uint32_t group = 0;
};

// Links followed; nothing when the name reaches nothing.
std::optional<FileStatus> statusOf(const std::string& name);
std::optional<FileStatus> statusOf(int fd);

// Where a file named name goes: through a symbolic link, the link's target (made when it does
// not exist yet), so the link stays a link.
std::string placementOf(const std::string& name);
// The absolute form of a folder, links followed; nothing when it cannot be had.
std::optional<std::string> absoluteFolder(const std::string& folder);
// The folder part of a path, with its final separator, or "" for the current folder.
std::string folderOf(const std::string& name);
// Whether this user could write the existing file in place (and, in a sticky folder, replace it).
bool userMayWrite(const std::string& file, const FileStatus& status);
// The permission bits a new file gets.
unsigned newFileMode();
// Gives the file the permission bits and, where allowed, the group of the one it replaces (or a
// new file's bits when there is none). False when the bits cannot be set.
bool applyFinalMode(int fd, unsigned mode, std::optional<uint32_t> group);
// Gives the finished file at `from` the name `to`: replacing whatever is there, or, with
// mustNotExist, never a file that appeared meanwhile (exists is then set). False on failure.
bool moveIntoPlace(const std::string& from, const std::string& to, bool mustNotExist, bool& exists);
void removeFile(const std::string& name);
// A number that tells this process from others running now.
uint64_t processNumber();

// --- Descriptors ---

// Read-only, never blocking on a FIFO; -1 when it cannot be opened.
int openForReading(const std::string& name);
// Write-only; exclusive only creates a file that does not exist yet (with mode's bits);
// otherwise creates or truncates. -1 on failure.
int openForWriting(const std::string& name, bool exclusive, unsigned mode);
// Whole reads and writes, interrupted calls retried: the bytes moved, or -1 on failure.
int64_t readSome(int fd, void* into, size_t size);
bool writeAll(int fd, const void* from, size_t size);
// Asks the system to start writing [offset, offset + size) of a file to its disk without waiting
// for it; where the system has no such call, the data goes out when the system chooses.
void startWriteBack(int fd, uint64_t offset, uint64_t size);
// The position, or -1 where the descriptor cannot seek (a pipe).
int64_t positionOf(int fd);
bool seekTo(int fd, uint64_t offset);
bool truncateTo(int fd, uint64_t size);
bool closeFile(int fd);
bool isAppending(int fd);
bool isTerminal(int fd);
// True when a read from fd would wait: nothing has arrived yet.
bool wouldWait(int fd);
// A name the file behind standard output can be opened by again, to read back what was written.
std::optional<std::string> nameOfStandardOutput();

// --- Mapped input ---

struct Mapping {
  const uint8_t* data = nullptr;
  uint64_t size = 0;
  void* handle = nullptr;  // what the platform keeps until unmapped
};
// Maps size bytes of the open file read-only; false when it cannot (outOfMemory: for want of
// address space).
bool mapFile(int fd, uint64_t size, Mapping& mapping, bool& outOfMemory);
void unmapFile(Mapping& mapping);
// Reads in the pages of [at, at + size) at once, which costs far less than a fault for each.
void prefetch(const uint8_t* at, size_t size);

// --- The process ---

// Makes sure descriptors 0, 1 and 2 are open and carry bytes unchanged (binary), and that a
// reader that goes away or a file size limit is a failed write, not a fatal signal. False when
// that cannot be done.
bool prepareStandardStreams();
// From now on, an interruption (Ctrl-C, a termination request, a closed console or terminal)
// calls onInterrupt, which must only do what a signal handler may, and then ends the process as
// the interruption would have; release() puts back what was there before. An interruption that
// was ignored when the program started stays ignored.
void guardInterruptions(void (*onInterrupt)());
void releaseInterruptions();
// The file an interruption or a fault removes, prepared here so that a handler can remove it
// (removePartialOutputNow); empty for none.
void setPartialOutput(const std::string& name);
void removePartialOutputNow();
// From now on a mapped input that shrinks while read calls onFault, which must end the process.
void guardMappingFaults(void (*onFault)());
#ifdef _WIN32
// A UTF-8 name as the system's calls take it, in UTF-16.
std::wstring widen(const std::string& text);
// The command line as UTF-8, from the UTF-16 one wmain is given.
std::vector<std::string> utf8Arguments(int argc, wchar_t** argv);
#endif

// Writes to standard error and ends the process at once, from a handler.
[[noreturn]] void writeErrorAndExit(const char* text, size_t length, int status);

}  // namespace qxw::platform
