#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/file_sink.h"
#include "app/mapped_file.h"

namespace qxw {

// Which existing file a run may replace.
enum class ReplacePolicy {
  QxwFilesOnly,  // an older QXW file or an empty file; anything else is refused
  Never,         // no existing file at all
  Always,
};

// The file a run writes. It is never the run's input. A regular file is written under a
// temporary name in the same folder and takes its final name only once it is complete, so a
// failure, an interruption or a full disk never leaves a broken file under that name and never
// touches an older file of that name. A device or a pipe is written directly.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Prints the error line ("... is the input file", "... exists and is not a QXW file",
  // "... exists; /F replaces it" or "Error creating <name>") and returns false when the file may
  // not or cannot be made.
  bool create(const std::string& name, const MappedFile& input, ReplacePolicy policy);
  // Writes to standard output instead; a reader that goes away is a write error, not a signal.
  void useStandardOutput();
  FileSink& sink() { return sink_; }

  // What a verifier reads back: the file at path from offset on, or, for an output that cannot
  // be read back (a pipe, a device), the bytes held in memory before they go out.
  struct Written {
    std::string path;
    uint64_t offset = 0;
    const std::vector<uint8_t>* held = nullptr;
  };
  using Verifier = std::function<bool(const Written& written)>;

  // Completes the file under its name; on any failure removes what was written, prints
  // "Error writing <name>" and returns false. With a verifier, the file is read back before it
  // takes its name (held bytes before they are written); when that fails, "Error: verification
  // of <name> failed", and the file goes (held bytes are not written at all).
  bool finish(const Verifier& verify = nullptr);
  const std::string& name() const { return name_; }
  // Removes what was written, for a run that failed otherwise.
  void discard();

 private:
  bool mayReplace(const std::string& name, ReplacePolicy policy) const;
  bool createTemporary();
  bool applyFinalMode();
  // Drops what was written, prints message and returns false.
  bool fail(const std::string& message);
  bool moveIntoPlace();
  void removeTemporary();

  std::string name_;
  std::string target_;     // name_, or the file a symbolic link at name_ points to
  std::string temporary_;  // empty when writing directly
  bool mustNotExist_ = false;
  unsigned finalMode_ = 0;
  std::optional<uint32_t> finalGroup_;  // the replaced file's
  FileSink sink_;
  bool open_ = false;
  bool standardOutput_ = false;
};

// True when the file at name starts with the QXW magic.
bool startsWithQxwMagic(const std::string& name);

}  // namespace qxw
