#include "app/output_file.h"

#include <unistd.h>

#include "app/console.h"
#include "app/run_guard.h"

namespace qxw {

OutputFile::~OutputFile() {
  if (open_) discard();
}

bool OutputFile::create(const std::string& name, const MappedFile& input) {
  if (input.isSameFileAs(name)) {
    printError("Error: output file " + name + " is the input file");
    return false;
  }
  if (!stream_.create(name)) {
    printError("Error creating " + name);
    return false;
  }
  name_ = name;
  open_ = true;
  guardPartialOutput(name_);
  return true;
}

bool OutputFile::finish() {
  open_ = false;
  if (stream_.close()) {
    releasePartialOutput();
    return true;
  }
  remove();
  printError("Error writing " + name_);
  return false;
}

void OutputFile::discard() {
  open_ = false;
  stream_.close();
  remove();
}

void OutputFile::remove() {
  // A device such as /dev/full is never removed, only a file the run made.
  if (stream_.isRegularFile()) ::unlink(name_.c_str());
  releasePartialOutput();
}

}  // namespace qxw
