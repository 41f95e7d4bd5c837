#include "encoder/output_stream.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/patched_output.h"

namespace qxw {
namespace {

using qxw::testing::expectPatched;

// The patched write of every test, through the stream's append; the position counts every byte.
void writePatched(OutputStream& out) {
  qxw::testing::writePatched(out, [&](const uint8_t* data, size_t size) {
    out.append(data, size);
    if (size == 3) {
      EXPECT_EQ(out.position(), (3u << 20) + 3);
    }
  });
  EXPECT_TRUE(out.close());
}

// A sink over a byte vector, seekable or not, that can be made to fail.
class VectorSink : public ByteSink {
 public:
  explicit VectorSink(bool seekable, bool failing = false)
      : seekable_(seekable), failing_(failing) {}
  bool write(const uint8_t* data, size_t size) override {
    if (failing_) return false;
    if (bytes.size() < at_ + size) bytes.resize(at_ + size);
    std::copy(data, data + size, bytes.begin() + static_cast<long>(at_));
    at_ += size;
    ++writes;
    return true;
  }
  bool seek(uint64_t position) override {
    at_ = static_cast<size_t>(position);
    return true;
  }
  bool rewind() override {
    bytes.clear();
    at_ = 0;
    return true;
  }
  bool canSeek() const override { return seekable_; }
  std::vector<uint8_t> bytes;
  int writes = 0;

 private:
  bool seekable_;
  bool failing_;
  size_t at_ = 0;
};

TEST(OutputStream, PatchesEarlierBytesInMemoryAndThroughASink) {
  OutputStream memory;
  memory.createInMemory();
  writePatched(memory);
  expectPatched(memory.contents());
  // A sink that cannot seek gets the whole file at once, at the end.
  for (bool seekable : {true, false}) {
    VectorSink sink(seekable);
    OutputStream out;
    out.attachSink(sink);
    writePatched(out);
    expectPatched(sink.bytes);
    if (!seekable) {
      EXPECT_EQ(sink.writes, 1);
    }
  }
}

// A stream in memory is used again after a restart, as a piece's bits are from round to round:
// what the earlier use left in its buffer never shows, whether the new contents are shorter, grow
// past what was reserved, or skip a gap by a seek.
TEST(OutputStream, InMemoryShowsOnlyWhatWasWrittenSinceTheRestart) {
  OutputStream memory;
  memory.createInMemory(16);
  const std::vector<uint8_t> old(200000, 0xEE);
  memory.append(old.data(), old.size());
  ASSERT_TRUE(memory.close());
  EXPECT_EQ(memory.contents(), old);

  memory.restart();
  const uint8_t head[3] = {1, 2, 3};
  memory.append(head, 3);
  memory.seekTo(10);  // past the end: the gap reads as zeros
  memory.append(head, 3);
  memory.seekTo(1);  // back, to patch a byte
  memory.append(head + 2, 1);
  EXPECT_EQ(memory.position(), 2u);
  EXPECT_EQ(memory.size(), 13u);
  ASSERT_TRUE(memory.close());
  EXPECT_EQ(memory.contents(), (std::vector<uint8_t>{1, 3, 3, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3}));

  memory.restart();
  std::vector<uint8_t> longer(300000);
  for (size_t i = 0; i < longer.size(); ++i) longer[i] = static_cast<uint8_t>(i * 7);
  for (size_t at = 0; at < longer.size(); at += 1000) memory.append(longer.data() + at, 1000);
  ASSERT_TRUE(memory.close());
  EXPECT_EQ(memory.contents(), longer);
}

TEST(OutputStream, ReportsAFailedWriteAtClose) {
  VectorSink full(true, true);
  OutputStream out;
  out.attachSink(full);
  const uint8_t byte = 1;
  out.append(&byte, 1);
  EXPECT_FALSE(out.close());
}

}  // namespace
}  // namespace qxw
