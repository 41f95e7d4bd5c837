#include "app/run_guard.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iterator>

#include "app/console.h"

namespace qxw {

namespace {

// Read by the handlers, so they hold plain buffers made before the handlers are armed.
std::string faultMessage;
std::string partialOutput;
const char* volatile faultText = nullptr;
volatile size_t faultLength = 0;
volatile int faultStatus = 0;
const char* volatile outputToRemove = nullptr;

void removePartialOutput() {
  const char* name = outputToRemove;
  if (name != nullptr) ::unlink(name);
}

extern "C" void onMappingFault(int) {
  removePartialOutput();
  const char* text = faultText;
  if (text != nullptr) {
    const ssize_t ignored = ::write(STDERR_FILENO, text, faultLength);
    (void)ignored;
  }
  ::_exit(faultStatus);
}

extern "C" void onInterrupt(int signal) {
  removePartialOutput();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[std::size(kInterruptions)];
bool interruptionsGuarded = false;

void install(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

// Ignored by whoever started us (nohup, trap '' TERM), an interruption stays ignored.
void installUnlessIgnored(int signal, void (*handler)(int), struct sigaction& previous) {
  ::sigaction(signal, nullptr, &previous);
  if (previous.sa_handler != SIG_IGN) install(signal, handler);
}

}  // namespace

void guardMappedInput(const std::string& message, int exitStatus) {
  faultMessage = currentErrorPrefix() + message + "\n";
  faultText = faultMessage.c_str();
  faultLength = faultMessage.size();
  faultStatus = exitStatus;
  install(SIGBUS, onMappingFault);
}

void guardPartialOutput(const std::string& outputName) {
  outputToRemove = nullptr;
  partialOutput = outputName;
  outputToRemove = partialOutput.c_str();
  if (interruptionsGuarded) return;
  interruptionsGuarded = true;
  for (size_t i = 0; i < std::size(kInterruptions); ++i) {
    installUnlessIgnored(kInterruptions[i], onInterrupt, previousActions[i]);
  }
}

void releasePartialOutput() {
  outputToRemove = nullptr;
  if (!interruptionsGuarded) return;
  interruptionsGuarded = false;
  // Whatever the signals did before (ignored, say, by a parent) holds again.
  for (size_t i = 0; i < std::size(kInterruptions); ++i) {
    ::sigaction(kInterruptions[i], &previousActions[i], nullptr);
  }
}

}  // namespace qxw
