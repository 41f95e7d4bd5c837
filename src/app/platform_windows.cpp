#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which they need.
#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <cerrno>
#include <climits>
#include <vector>

#include "app/platform.h"

namespace qxw::platform {

// Names are UTF-8 inside the programs and UTF-16 to the system.
std::wstring widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
  return wide;
}

namespace {

std::string narrow(const wchar_t* text, size_t size) {
  if (size == 0) return std::string();
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), utf8.data(), length, nullptr,
                        nullptr);
  return utf8;
}

HANDLE handleOf(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// What a handle reaches: a file on a disk (a folder too), a character device (NUL, a console),
// or a pipe.
std::optional<FileStatus> statusOfHandle(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return std::nullopt;
  FileStatus status;
  const DWORD type = ::GetFileType(handle);
  BY_HANDLE_FILE_INFORMATION info{};
  if (type == FILE_TYPE_DISK && ::GetFileInformationByHandle(handle, &info)) {
    const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.kind = folder ? FileKind::Folder : FileKind::Regular;
    status.size = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    // The volume's serial number and the file's index: the identity a stat's inode stands for
    // elsewhere, which the C runtime's stat leaves 0.
    status.identity = {info.dwVolumeSerialNumber,
                       (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    status.identified = true;
    status.mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
    return status;
  }
  if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) return std::nullopt;
  status.kind = FileKind::Other;
  return status;
}

}  // namespace

std::optional<FileStatus> statusOf(const std::string& name) {
  const std::wstring wide = widen(name);
  // Only asking: any sharing, and a folder opens too.
  HANDLE handle =
      ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    // There, but not to be opened (in use, or no right to): its attributes still say what it is.
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    FileStatus status;
    status.kind =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? FileKind::Folder : FileKind::Regular;
    return status;
  }
  std::optional<FileStatus> status = statusOfHandle(handle);
  ::CloseHandle(handle);
  return status;
}

std::optional<FileStatus> statusOf(int fd) { return statusOfHandle(handleOf(fd)); }

std::string folderOf(const std::string& name) {
  const size_t separator = name.find_last_of("/\\:");
  return separator == std::string::npos ? std::string() : name.substr(0, separator + 1);
}

// Links are the system's business on Windows: a name is where its file goes.
std::string placementOf(const std::string& name) { return name; }

std::optional<std::string> absoluteFolder(const std::string& folder) {
  const std::wstring wide = widen(folder);
  const DWORD length = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (length == 0) return std::nullopt;
  std::vector<wchar_t> full(length);
  const DWORD written = ::GetFullPathNameW(wide.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length) return std::nullopt;
  std::string absolute = narrow(full.data(), written);
  while (absolute.size() > 3 && (absolute.back() == '\\' || absolute.back() == '/')) {
    absolute.pop_back();
  }
  return absolute;
}

bool userMayWrite(const std::string& file, const FileStatus&) {
  return ::_waccess(widen(file).c_str(), 2) == 0;
}

unsigned newFileMode() { return 0666; }

// A file's permissions follow its folder's on Windows; nothing to give it.
bool applyFinalMode(int, unsigned, std::optional<uint32_t>) { return true; }

bool moveIntoPlace(const std::string& from, const std::string& to, bool mustNotExist,
                   bool& exists) {
  exists = false;
  const DWORD replace = mustNotExist ? 0 : MOVEFILE_REPLACE_EXISTING;
  if (::MoveFileExW(widen(from).c_str(), widen(to).c_str(), replace | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  const DWORD error = ::GetLastError();
  exists = mustNotExist && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS);
  return false;
}

void removeFile(const std::string& name) { ::DeleteFileW(widen(name).c_str()); }

uint64_t processNumber() { return ::GetCurrentProcessId(); }

int openForReading(const std::string& name) {
  HANDLE handle = ::CreateFileW(widen(name).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return -1;
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) ::CloseHandle(handle);
  return fd;
}

// Shared for deletion, so that an interruption can remove the file while it is being written.
int openForWriting(const std::string& name, bool exclusive, unsigned) {
  const std::wstring wide = widen(name);
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
  HANDLE handle =
      ::CreateFileW(wide.c_str(), GENERIC_WRITE, share, nullptr,
                    exclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE && !exclusive) {
    // A device (NUL) is opened as it is.
    handle = ::CreateFileW(wide.c_str(), GENERIC_WRITE, share | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    errno = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? EEXIST : EACCES;
    return -1;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
  if (fd < 0) ::CloseHandle(handle);
  return fd;
}

int64_t readSome(int fd, void* into, size_t size) {
  return ::_read(fd, into, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
}

bool writeAll(int fd, const void* from, size_t size) {
  const auto* at = static_cast<const uint8_t*>(from);
  while (size > 0) {
    const int written = ::_write(fd, at, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
    if (written <= 0) return false;
    at += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

void startWriteBack(int, uint64_t, uint64_t) {}

int64_t positionOf(int fd) {
  // A pipe has no position, whatever the runtime answers.
  if (::GetFileType(handleOf(fd)) == FILE_TYPE_PIPE) return -1;
  return ::_lseeki64(fd, 0, SEEK_CUR);
}

bool seekTo(int fd, uint64_t offset) {
  return ::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) >= 0;
}

bool truncateTo(int fd, uint64_t size) { return ::_chsize_s(fd, static_cast<__int64>(size)) == 0; }

bool closeFile(int fd) { return ::_close(fd) == 0; }

bool isAppending(int) { return false; }

// A console, not merely a character device: NUL is one too.
bool isTerminal(int fd) {
  DWORD mode = 0;
  return ::GetConsoleMode(handleOf(fd), &mode) != 0;
}

bool wouldWait(int fd) {
  HANDLE handle = handleOf(fd);
  if (::GetFileType(handle) != FILE_TYPE_PIPE) return false;
  DWORD available = 0;
  return ::PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) && available == 0;
}

std::optional<std::string> nameOfStandardOutput() {
  HANDLE handle = handleOf(kStandardOutput);
  const DWORD length = ::GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED);
  if (length == 0) return std::nullopt;
  std::vector<wchar_t> path(length);
  const DWORD written =
      ::GetFinalPathNameByHandleW(handle, path.data(), length, FILE_NAME_NORMALIZED);
  if (written == 0 || written >= length) return std::nullopt;
  return narrow(path.data(), written);
}

bool mapFile(int fd, uint64_t size, Mapping& mapping, bool& outOfMemory) {
  HANDLE section = ::CreateFileMappingW(handleOf(fd), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (section == nullptr) {
    outOfMemory = ::GetLastError() == ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  const void* view = ::MapViewOfFile(section, FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(size));
  if (view == nullptr) {
    const DWORD error = ::GetLastError();
    outOfMemory = error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_COMMITMENT_LIMIT;
    ::CloseHandle(section);
    return false;
  }
  mapping = {static_cast<const uint8_t*>(view), size, section};
  return true;
}

void unmapFile(Mapping& mapping) {
  if (mapping.data != nullptr) ::UnmapViewOfFile(mapping.data);
  if (mapping.handle != nullptr) ::CloseHandle(static_cast<HANDLE>(mapping.handle));
  mapping = {};
}

// The system reads ahead of a sequential walk by itself.
void prefetch(const uint8_t*, size_t) {}

bool prepareStandardStreams() {
  // Bytes pass unchanged: no line ends rewritten, no end of file at a ^Z.
  for (int fd = 0; fd <= 2; ++fd) ::_setmode(fd, _O_BINARY);
  // The names printed are UTF-8.
  ::SetConsoleOutputCP(CP_UTF8);
  return true;
}

namespace {

void (*volatile interruptHandler)() = nullptr;
void (*volatile faultHandler)() = nullptr;
bool interruptionsGuarded = false;

// Called on a thread of its own for Ctrl-C, Ctrl-Break and a closed console; the default
// handler that follows ends the process.
BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
      event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    if (void (*handler)() = interruptHandler) handler();
  }
  return FALSE;
}

LONG WINAPI onException(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode == EXCEPTION_IN_PAGE_ERROR) {
    if (void (*handler)() = faultHandler) handler();
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

// Read by the handlers: a plain buffer made before they can run.
std::wstring partialOutput;
const wchar_t* volatile outputToRemove = nullptr;

}  // namespace

void guardInterruptions(void (*onInterrupt)()) {
  interruptHandler = onInterrupt;
  if (interruptionsGuarded) return;
  interruptionsGuarded = true;
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void releaseInterruptions() {
  if (!interruptionsGuarded) return;
  interruptionsGuarded = false;
  ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

void setPartialOutput(const std::string& name) {
  outputToRemove = nullptr;
  partialOutput = widen(name);
  if (!partialOutput.empty()) outputToRemove = partialOutput.c_str();
}

// Open for writing, the file goes once its last handle is closed, which ending the process does.
void removePartialOutputNow() {
  const wchar_t* name = outputToRemove;
  if (name != nullptr) ::DeleteFileW(name);
}

void guardMappingFaults(void (*onFault)()) {
  faultHandler = onFault;
  static const bool installed = ::AddVectoredExceptionHandler(1, onException) != nullptr;
  (void)installed;
}

std::vector<std::string> utf8Arguments(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(narrow(argv[i], ::wcslen(argv[i])));
  return arguments;
}

void writeErrorAndExit(const char* text, size_t length, int status) {
  if (text != nullptr) {
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written,
                nullptr);
  }
  ::_exit(status);
}

}  // namespace qxw::platform
