// Running the programs on Windows: CreateProcessW with the streams in files of their own, or in
// one file for the console's order. What Windows has no equivalent for (limits on file size and
// address space, a terminal, another user, signals) is refused with an exception: a test that
// needs it is left out on Windows by name.
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/platform.h"
#include "support/run_program.h"

namespace qxw::testing {

using platform::widen;

namespace {

// One argument as the C runtime's parser reads it back: quoted, with its backslashes doubled
// only where a quote follows them.
std::wstring quoted(const std::wstring& argument) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(2 * backslashes, L'\\');
  return out + L"\"";
}

HANDLE inheritable(const std::wstring& name, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  return ::CreateFileW(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string contentsOf(const std::wstring& name) {
  std::ifstream in(name.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Starts a process; Wine, while its prefix is still being made, can refuse the first tries.
PROCESS_INFORMATION startProcess(std::wstring line, const std::wstring& folder,
                                 STARTUPINFOW& startup, DWORD flags) {
  PROCESS_INFORMATION process{};
  DWORD error = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                         folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
      return process;
    }
    error = ::GetLastError();
    ::Sleep(500);
  }
  throw std::runtime_error("CreateProcessW failed with error " + std::to_string(error));
}

// Standard output as a pipe: its reading end stays here, where nobody reads it when closed.
struct OutputPipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  explicit OutputPipe(bool readerGone) {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
    if (!::CreatePipe(&read, &write, &attributes, 0)) throw std::runtime_error("CreatePipe failed");
    ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    if (readerGone) {
      ::CloseHandle(read);
      read = nullptr;
    }
  }
  // What the program wrote, read until it closes its end.
  std::string drain() {
    ::CloseHandle(write);
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (read != nullptr && ::ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      text.append(buffer, got);
    }
    if (read != nullptr) ::CloseHandle(read);
    return text;
  }
};

// Runs once with the streams in the files named (standard output in a pipe when the options
// ask); the exit status. Merged runs send both streams to outName.
int runOnce(const std::string& program, const std::vector<std::string>& args,
            const RunOptions& options, const std::wstring& outName, const std::wstring& errName,
            long& peakKilobytes) {
  std::wstring line = quoted(widen(program));
  for (const std::string& argument : args) line += L" " + quoted(widen(argument));
  const bool merged = errName == outName;
  const bool piped = options.outputPipe || options.outputPipeClosed;
  std::optional<OutputPipe> pipe;
  if (piped) pipe.emplace(options.outputPipeClosed);
  HANDLE input = options.standardInput.empty()
                     ? inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING)
                     : inheritable(widen(options.standardInput), GENERIC_READ, OPEN_EXISTING);
  HANDLE out = piped ? pipe->write : inheritable(outName, GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE err = merged ? out : inheritable(errName, GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  try {
    process = startProcess(line, widen(options.workingDir), startup, 0);
  } catch (...) {
    ::CloseHandle(input);
    if (!merged) ::CloseHandle(err);
    throw;
  }
  ::CloseHandle(input);
  if (!merged) ::CloseHandle(err);
  if (piped) {
    const std::string text = pipe->drain();
    std::ofstream(outName.c_str(), std::ios::binary)
        .write(text.data(), static_cast<std::streamsize>(text.size()));
  } else {
    ::CloseHandle(out);
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 0;
  ::GetExitCodeProcess(process.hProcess, &status);
  PROCESS_MEMORY_COUNTERS memory{};
  if (::GetProcessMemoryInfo(process.hProcess, &memory, sizeof memory)) {
    peakKilobytes = static_cast<long>(memory.PeakWorkingSetSize / 1024);
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

}  // namespace

void restoreDefaultSignals() {}

namespace {
// The programs started and not yet waited for, by process id.
std::map<int, HANDLE>& started() {
  static std::map<int, HANDLE> programs;
  return programs;
}
}  // namespace

int startProgram(const std::string& program, const std::vector<std::string>& args,
                 const std::string& workingDir, const std::vector<int>&) {
  std::wstring line = quoted(widen(program));
  for (const std::string& argument : args) line += L" " + quoted(widen(argument));
  HANDLE null = inheritable(L"NUL", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = null;
  PROCESS_INFORMATION process{};
  try {
    process = startProcess(line, widen(workingDir), startup, CREATE_NEW_PROCESS_GROUP);
  } catch (...) {
    ::CloseHandle(null);
    throw;
  }
  ::CloseHandle(null);
  ::CloseHandle(process.hThread);
  const int pid = static_cast<int>(process.dwProcessId);
  started()[pid] = process.hProcess;
  return pid;
}

int waitForProgram(int pid) {
  HANDLE process = started().at(pid);
  ::WaitForSingleObject(process, INFINITE);
  DWORD status = 0;
  ::GetExitCodeProcess(process, &status);
  ::CloseHandle(process);
  started().erase(pid);
  return static_cast<int>(status);
}

bool programEnded(int pid) {
  if (::WaitForSingleObject(started().at(pid), 0) != WAIT_OBJECT_0) return false;
  waitForProgram(pid);
  return true;
}

void killProgram(int pid) { ::TerminateProcess(started().at(pid), 1); }

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& args,
                         const RunOptions& options) {
  if (options.fileSizeLimit >= 0 || options.memoryLimit >= 0 || options.terminal ||
      options.user >= 0 || options.closedInputAndOutput) {
    throw std::runtime_error("a run option Windows has no equivalent for");
  }
  wchar_t folder[MAX_PATH + 1];
  ::GetTempPathW(MAX_PATH, folder);
  wchar_t base[MAX_PATH + 1];
  ::GetTempFileNameW(folder, L"qxw", 0, base);
  const std::wstring outName = std::wstring(base) + L".out", errName = std::wstring(base) + L".err",
                     consoleName = std::wstring(base) + L".console";
  ProgramResult result;
  result.status = runOnce(program, args, options, outName, errName, result.peakKilobytes);
  result.out = contentsOf(outName);
  result.err = contentsOf(errName);
  long unused = 0;
  runOnce(program, args, options, consoleName, consoleName, unused);
  result.console = contentsOf(consoleName);
  for (const std::wstring& name : {std::wstring(base), outName, errName, consoleName}) {
    ::DeleteFileW(name.c_str());
  }
  return result;
}

}  // namespace qxw::testing
