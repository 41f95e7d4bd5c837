#pragma once

#include <string>

#include "app/mapped_file.h"
#include "output/output_stream.h"

namespace qxw {

// The file a run writes. It is never the run's input, and a run that fails or is interrupted
// while writing it leaves no partial file behind.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Prints "Error: output file <name> is the input file" or "Error creating <name>" and returns
  // false when the file cannot be made.
  bool create(const std::string& name, const MappedFile& input);
  OutputStream& stream() { return stream_; }

  // Closes the file; when any write failed, removes it and prints "Error writing <name>".
  bool finish();
  // Closes and removes the file, for a run that failed otherwise.
  void discard();

 private:
  void remove();

  std::string name_;
  OutputStream stream_;
  bool open_ = false;
};

}  // namespace qxw
