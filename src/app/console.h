#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qxw {

// A line on standard output, flushed so it shows before the work it announces.
void printProgress(std::string_view text);
// From now on progress lines go to standard error, leaving standard output to the sound.
void moveProgressToStandardError();
// A line on standard error; standard output is flushed first so the two keep their order.
void printError(std::string_view text);

// How much of a long run is done, in place on standard error (" 42% done"), once the run has
// lasted `after` since startProgressClock, and only while standard error is a terminal: never
// into a pipe or a file. The next line printed takes its place. Any thread, one at a time.
void startProgressClock(std::chrono::milliseconds after = std::chrono::milliseconds(1500));
void showProgress(double done);
// Put before every error line from now on: the file a run of several is working on ("a.wav: ").
void setErrorPrefix(std::string prefix);
const std::string& currentErrorPrefix();

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null when they were closed) so that no
// message can land in a file the run opens, and turns writes past a file size limit into write
// errors instead of a fatal signal. False when that cannot be done.
bool prepareProcess();

// Runs a program's whole run, after prepareProcess, through runCatching.
int runReportingFailures(int (*run)(int, const char* const*), int argc, const char* const* argv);
#ifdef _WIN32
// The same from wmain: the names come as UTF-16 and go on as UTF-8.
int runReportingFailures(int (*run)(int, const char* const*), int argc, wchar_t** argv);
#endif

// The one place the programs catch: should memory or another resource run out during run, it
// ends with one error line ("Error: out of memory") and status 2, its partial output already
// removed on the way out, instead of a crash. A batch runs each file through it, so that the
// others still run.
int runCatching(const std::function<int()>& run);

// "Q<level> estimated bytes: <size> (<ratio>:1 compression)\n"; the ratio is the declared size
// over the estimate, rounded to hundredths.
std::string formatEstimate(int level, uint64_t declaredSize, uint64_t estimatedSize);

}  // namespace qxw
