#pragma once

#include "qxw/qxw.h"

namespace qxw {

// What every pass that can fail returns: the C face's statuses one to one, so that the library
// hands them on as they are.
enum class Status {
  Ok = QXW_OK,
  InvalidArgument = QXW_INVALID_ARGUMENT,
  NotQxw = QXW_NOT_QXW,
  InvalidHeader = QXW_INVALID_HEADER,
  Truncated = QXW_TRUNCATED,
  Corrupt = QXW_CORRUPT,
  OutOfMemory = QXW_OUT_OF_MEMORY,
  BufferTooSmall = QXW_BUFFER_TOO_SMALL,
  TrailingData = QXW_TRAILING_DATA,
  Stopped = QXW_STOPPED,
  WriteFailed = QXW_WRITE_FAILED,
  Internal = QXW_INTERNAL_ERROR,
};

inline qxw_status toC(Status status) { return static_cast<qxw_status>(status); }

}  // namespace qxw
