#include "app/file_sink.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "support/patched_output.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using qxw::testing::expectPatched;

// A pipe's two ends, as descriptors of the C runtime.
bool makePipe(int ends[2]) {
#ifdef _WIN32
  return ::_pipe(ends, 1 << 16, _O_BINARY) == 0;
#else
  return ::pipe(ends) == 0;
#endif
}
#ifdef _WIN32
int closeEnd(int fd) { return ::_close(fd); }
int readEnd(int fd, uint8_t* into, unsigned size) { return ::_read(fd, into, size); }
#else
int closeEnd(int fd) { return ::close(fd); }
ssize_t readEnd(int fd, uint8_t* into, size_t size) { return ::read(fd, into, size); }
#endif

void writePatched(FileSink& out) {
  qxw::testing::writePatched(out, [&](const uint8_t* data, size_t size) { out.write(data, size); });
}

TEST(FileSink, PatchesEarlierBytesInAFileAndInAPipe) {
  qxw::testing::TempDir dir;
  FileSink file;
  ASSERT_TRUE(file.create(dir.path("out.bin")));
  writePatched(file);
  EXPECT_TRUE(file.close());
  expectPatched(qxw::testing::readFile(dir.path("out.bin")));

  // A pipe cannot seek: the bytes wait in memory, patched there, and go out whole at close.
  int ends[2];
  ASSERT_TRUE(makePipe(ends));
  FileSink pipe;
  pipe.attach(ends[1]);
  pipe.holdUntilClose();
  EXPECT_TRUE(pipe.isHeld());
  writePatched(pipe);
  ASSERT_TRUE(pipe.drain());
  expectPatched(pipe.held());
  // Abandoned (a verification failed, say), nothing at all goes out.
  pipe.abandon();
  EXPECT_TRUE(pipe.close());
  closeEnd(ends[1]);
  uint8_t byte = 0;
  EXPECT_EQ(readEnd(ends[0], &byte, 1), 0);
  closeEnd(ends[0]);
}

TEST(FileSink, ReportsAFailedWriteAtClose) {
#ifdef _WIN32
  GTEST_SKIP() << "on POSIX systems only: a device that is always full";
#endif
  FileSink full;
  ASSERT_TRUE(full.create("/dev/full"));
  const uint8_t byte = 1;
  full.write(&byte, 1);
  EXPECT_FALSE(full.close());
}

}  // namespace
}  // namespace qxw
