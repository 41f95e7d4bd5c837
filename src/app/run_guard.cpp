#include "app/run_guard.h"

#include "app/console.h"
#include "app/platform.h"

namespace qxw {

namespace {

// Read by the handler, so it holds a plain buffer made before the handler is armed.
std::string faultMessage;
const char* volatile faultText = nullptr;
volatile size_t faultLength = 0;
volatile int faultStatus = 0;

void onMappingFault() {
  platform::removePartialOutputNow();
  platform::writeErrorAndExit(faultText, faultLength, faultStatus);
}

}  // namespace

void guardMappedInput(const std::string& message, int exitStatus) {
  faultMessage = currentErrorPrefix() + message + "\n";
  faultText = faultMessage.c_str();
  faultLength = faultMessage.size();
  faultStatus = exitStatus;
  platform::guardMappingFaults(onMappingFault);
}

void guardPartialOutput(const std::string& outputName) {
  platform::setPartialOutput(outputName);
  platform::guardInterruptions(platform::removePartialOutputNow);
}

void releasePartialOutput() {
  platform::setPartialOutput("");
  platform::releaseInterruptions();
}

}  // namespace qxw
