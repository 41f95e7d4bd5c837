// The plugin in real pipelines: gst-launch, decodebin and gst-discoverer open QXW files by
// their content, decode them to qxw2wav's samples, encode wav2qxw's bytes, seek to the sample,
// and end every broken stream with an error on the bus.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "qxw/qxw.h"
#include "support/run_program.h"
#include "support/signals.h"
#include "support/wav_files.h"

// GStreamer keeps its registry and types until the process ends; those are not our leaks.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libgstreamer-1.0.so\n";
}

namespace qxw {
namespace {

using namespace qxw::testing;

// Set before GStreamer starts, for this process and the tools it runs: this build's plugin, a
// registry of the tests' own, GStreamer's installed plugins for the rest. Plugins are scanned in
// the process that loads them, which has the sanitizer's runtime where the plugin needs it (a
// separate scanner would not, and would mark the plugin as broken).
const bool kEnvironment = [] {
  ::setenv("GST_PLUGIN_PATH", QXW_GST_PLUGIN_DIR, 1);
  ::setenv("GST_REGISTRY", QXW_GST_REGISTRY, 1);
  ::setenv("GST_REGISTRY_FORK", "no", 1);
  return true;
}();

// The data chunk of a WAV file, whatever chunks come before it.
std::vector<uint8_t> waveData(const std::vector<uint8_t>& wav) {
  for (size_t at = 12; at + 8 <= wav.size();) {
    const uint32_t size = get32(wav, at + 4);
    if (std::memcmp(wav.data() + at, "data", 4) == 0) {
      const size_t end = std::min(wav.size(), at + 8 + size);
      return {wav.begin() + static_cast<long>(at + 8), wav.begin() + static_cast<long>(end)};
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

class Plugin : public ::testing::Test {
 protected:
  TempDir dir;

  // A tool of GStreamer's, bounded in time, with the sanitizer's runtime first where the plugin
  // was built with it.
  ProgramResult tool(const std::string& name, const std::vector<std::string>& args) {
    std::vector<std::string> command = {"-k", "5", "60", "env"};
    if (std::strlen(QXW_GST_PRELOAD) > 0) {
      command.push_back(std::string("LD_PRELOAD=") + QXW_GST_PRELOAD);
      command.push_back("ASAN_OPTIONS=detect_leaks=0");
    }
    command.push_back(name);
    command.insert(command.end(), args.begin(), args.end());
    RunOptions options;
    options.workingDir = dir.dir();
    return runProgram("/usr/bin/timeout", command, options);
  }
  ProgramResult launch(const std::string& pipeline) {
    std::vector<std::string> args = {"-q"};
    // gst-launch takes the pipeline's description word by word.
    for (size_t at = 0, next; at < pipeline.size(); at = next + 1) {
      next = pipeline.find(' ', at);
      if (next == std::string::npos) next = pipeline.size();
      args.push_back(pipeline.substr(at, next - at));
    }
    return tool(GST_LAUNCH_PATH, args);
  }
  int program(const std::string& path, const std::vector<std::string>& args) {
    RunOptions options;
    options.workingDir = dir.dir();
    return runProgram(path, args, options).status;
  }
  void writeSong(uint32_t channels, size_t frames = 30000, uint32_t rate = 44100) {
    writeFile(dir.path("s.wav"),
              makeWav(makeSignal(Signal::Music, frames, channels), channels, rate));
  }
};

TEST_F(Plugin, DecodesTheSamplesOfQxw2wav) {
  for (uint32_t channels : {1u, 2u, 6u}) {
    writeSong(channels);
    for (const char* setting : {"/Q0", "/Q3", "/Q9", "/B4"}) {
      ASSERT_EQ(program(WAV2QXW_PATH, {setting, "s.wav", "s.qxw"}), 0);
      ASSERT_EQ(program(QXW2WAV_PATH, {"/F", "s.qxw", "a.wav"}), 0);
      const auto run = launch("filesrc location=s.qxw ! qxwdec ! wavenc ! filesink location=o.wav");
      ASSERT_EQ(run.status, 0) << run.console;
      const auto expected = waveData(readFile(dir.path("a.wav")));
      EXPECT_EQ(expected.size(), 60000u * channels);
      EXPECT_EQ(waveData(readFile(dir.path("o.wav"))), expected) << channels << setting;
    }
  }
}

TEST_F(Plugin, EncodesTheBytesOfWav2qxw) {
  for (uint32_t channels : {1u, 2u, 6u}) {
    writeSong(channels);
    // The element's settings and the program's, quality 3 by default.
    for (const auto& [setting, option] :
         {std::pair{"quality=5", "/Q5"}, {"bits=4.5", "/B4.5"}, {"bits=4", "/B4"}, {"", "/Q3"}}) {
      const auto run = launch(std::string("filesrc location=s.wav ! wavparse ! qxwenc ") + setting +
                              " ! filesink location=o.qxw");
      ASSERT_EQ(run.status, 0) << run.console;
      ASSERT_EQ(program(WAV2QXW_PATH, {option, "s.wav", "w.qxw"}), 0);
      EXPECT_EQ(readFile(dir.path("o.qxw")), readFile(dir.path("w.qxw"))) << channels << setting;
    }
  }
}

// Runs the pipeline to its end in this process: the message that ended it, error or end of
// stream, with the name of the element that posted it; "timeout" when none came in time.
// (gst-launch-1.0 itself now and then waits for ever after an error during preroll, whatever
// element posts it, so broken streams are run here.)
std::string runToEnd(const std::string& description, std::string* source = nullptr) {
  gst_init(nullptr, nullptr);
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (pipeline == nullptr) return std::string("unparsable: ") + error->message;
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message = gst_bus_timed_pop_filtered(
      bus, 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
  std::string ended = "timeout";
  if (message != nullptr) {
    ended = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR ? "error" : "eos";
    if (source != nullptr) *source = GST_OBJECT_NAME(GST_MESSAGE_SRC(message));
    gst_message_unref(message);
  }
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return ended;
}

TEST_F(Plugin, OpensAFileByItsContent) {
  writeSong(2, 44100, 22050);
  ASSERT_EQ(program(WAV2QXW_PATH, {"/Q9", "s.wav", "song.bin"}), 0);
  const auto run = launch("uridecodebin uri=file://" + dir.path("song.bin") +
                          " ! audioconvert ! wavenc ! filesink location=o.wav");
  ASSERT_EQ(run.status, 0) << run.console;
  EXPECT_EQ(waveData(readFile(dir.path("o.wav"))), waveData(readFile(dir.path("s.wav"))));
  EXPECT_EQ(runToEnd("playbin uri=file://" + dir.path("song.bin") +
                     " audio-sink=fakesink video-sink=fakesink"),
            "eos");
  const auto found = tool(GST_DISCOVERER_PATH, {dir.path("song.bin")});
  EXPECT_EQ(found.status, 0) << found.console;
  // The average bitrate: the file's bits over its two seconds.
  const std::string bitrate =
      "Bitrate: " + std::to_string(readFile(dir.path("song.bin")).size() * 8 / 2) + "\n";
  for (const std::string& line :
       {std::string("Duration: 0:00:02.000000000"), std::string("Channels: 2"),
        std::string("Sample rate: 22050"), std::string("audio/x-qxw"), bitrate}) {
    EXPECT_NE(found.out.find(line), std::string::npos) << line << "\n" << found.out;
  }
}

// The encoder in pipelines that wait for it, end early or change their minds: every branch of a
// tee ends, an early end downstream still ends the stream, the layouts a file holds are taken
// (others converted or refused), a setting the encoder cannot take is refused when made, and
// memory that runs out is an error on the bus.
TEST_F(Plugin, TheEncoderKeepsPipelinesGoing) {
  const std::string tone = "audiotestsrc num-buffers=100 ! audio/x-raw,format=S16LE,rate=44100,";
  EXPECT_EQ(runToEnd(tone +
                     "channels=2 ! tee name=t t. ! queue ! qxwenc quality=9 ! filesink "
                     "location=" +
                     dir.path("t.qxw") +
                     " t. ! queue ! wavenc ! filesink "
                     "location=" +
                     dir.path("t.wav")),
            "eos");
  ASSERT_EQ(program(QXW2WAV_PATH, {"t.qxw", "back.wav"}), 0);
  EXPECT_EQ(waveData(readFile(dir.path("back.wav"))), waveData(readFile(dir.path("t.wav"))));
  EXPECT_EQ(runToEnd(tone + "channels=2 ! qxwenc ! identity eos-after=1 ! fakesink"), "eos");

  const struct {
    int channels;
    const char* mask;  // empty: none given
    bool held;
  } layouts[] = {{1, "", true},       {2, "0x3", true},   {3, "0x7", true},  {4, "0x33", true},
                 {5, "0x37", true},   {6, "0x3f", true},  {3, "0xb", false}, {4, "0x107", false},
                 {4, "0x603", false}, {6, "0x60f", false}};
  for (const auto& l : layouts) {
    std::string caps = tone + "channels=" + std::to_string(l.channels);
    if (*l.mask != '\0') caps += std::string(",channel-mask=(bitmask)") + l.mask;
    const std::string out = " ! filesink location=" + dir.path("l.qxw");
    std::remove(dir.path("l.qxw").c_str());
    EXPECT_EQ(runToEnd(caps + " ! qxwenc" + out) == "eos", l.held) << l.mask;
    // audioconvert moves any layout to the file's.
    EXPECT_EQ(runToEnd(caps + " ! audioconvert ! audio/x-raw,channels=" +
                       std::to_string(l.channels) + " ! qxwenc" + out),
              "eos")
        << l.mask;
    qxw_format format{};
    const auto file = readFile(dir.path("l.qxw"));
    ASSERT_EQ(qxw_read_format(file.data(), file.size(), &format), QXW_OK) << l.mask;
    EXPECT_EQ(format.channel_count, static_cast<uint32_t>(l.channels)) << l.mask;
  }

  gst_init(nullptr, nullptr);
  GstElement* encoder = gst_element_factory_make("qxwenc", nullptr);
  ASSERT_NE(encoder, nullptr);
  for (const auto& [set, kept] : {std::pair{4.5, 4.5}, {1.5, 4.5}, {0.0, 0.0}, {2.0, 2.0}}) {
    g_object_set(encoder, "bits", set, nullptr);
    double bits = -1;
    g_object_get(encoder, "bits", &bits, nullptr);
    EXPECT_EQ(bits, kept) << set;
  }
  gst_object_unref(encoder);

#ifndef __SANITIZE_ADDRESS__  // the sanitizer needs vast address space of its own
  RunOptions bounded;
  bounded.workingDir = dir.dir();
  bounded.memoryLimit = 400l << 20;
  const auto run = runProgram(
      GST_LAUNCH_PATH,
      {"audiotestsrc", "wave=white-noise", "num-buffers=1500", "samplesperbuffer=44100", "!",
       "audio/x-raw,format=S16LE,channels=2,rate=44100", "!", "qxwenc", "!", "fakesink"},
      bounded);
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.console.find("out of memory"), std::string::npos) << run.console;
#endif
}

// Sound pushed by the application: a change of format inside the stream is refused after the
// sound before it is written as a complete file.
TEST_F(Plugin, TheEncoderWritesTheSoundBeforeAChangeOfFormat) {
  gst_init(nullptr, nullptr);
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(
      ("appsrc name=src format=time ! qxwenc quality=9 ! filesink location=" + dir.path("c.qxw"))
          .c_str(),
      &error);
  ASSERT_NE(pipeline, nullptr);
  GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "src");
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  const auto before = makeSignal(Signal::Music, 5000, 2);
  const auto push = [&](const char* caps, const std::vector<int16_t>& samples) {
    GstCaps* parsed = gst_caps_from_string(caps);
    g_object_set(source, "caps", parsed, nullptr);
    gst_caps_unref(parsed);
    GstBuffer* buffer = gst_buffer_new_memdup(samples.data(), 2 * samples.size());
    return gst_app_src_push_buffer(GST_APP_SRC(source), buffer);
  };
  EXPECT_EQ(push("audio/x-raw,format=S16LE,layout=interleaved,rate=44100,channels=2", before),
            GST_FLOW_OK);
  push("audio/x-raw,format=S16LE,layout=interleaved,rate=22050,channels=1", before);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message = gst_bus_timed_pop_filtered(
      bus, 30 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(GST_MESSAGE_TYPE(message), GST_MESSAGE_ERROR);
  gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(source);
  gst_object_unref(pipeline);
  const auto file = readFile(dir.path("c.qxw"));
  std::vector<int16_t> decoded(before.size());
  ASSERT_EQ(qxw_decode(file.data(), file.size(), decoded.data(), decoded.size()), QXW_OK);
  EXPECT_EQ(decoded, before);
}

// Broken streams of every kind post an error and end, straight after filesrc and in decodebin.
TEST_F(Plugin, EndsEveryBrokenStreamWithAnError) {
  writeSong(2);
  ASSERT_EQ(program(WAV2QXW_PATH, {"/Q4", "s.wav", "s.qxw"}), 0);
  const auto file = readFile(dir.path("s.qxw"));
  EXPECT_EQ(runToEnd("filesrc location=" + dir.path("s.qxw") + " ! qxwdec ! fakesink"), "eos");
  auto corrupt = file;
  for (size_t at = file.size() / 2; at < file.size() / 2 + 64; ++at) corrupt[at] = 0xFF;
  auto badHeader = file;
  badHeader[12] = 9;  // nine channels
  auto longer = file;
  longer.resize(file.size() + 5000);
  std::vector<uint8_t> random(20000);
  uint32_t seed = 5;
  for (uint8_t& byte : random) {
    byte = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  }
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    bool isQxw;  // decodebin finds the plugin for it
  } broken[] = {
      {"truncated in the data",
       {file.begin(), file.begin() + static_cast<long>(file.size() / 2)},
       true},
      {"truncated in the header", {file.begin(), file.begin() + 1000}, true},
      {"corrupt", corrupt, true},
      {"a bad header", badHeader, true},
      {"random", random, false},
      {"empty", {}, false},
  };
  for (const auto& b : broken) {
    writeFile(dir.path("b.qxw"), b.bytes);
    std::string source;
    EXPECT_EQ(runToEnd("filesrc location=" + dir.path("b.qxw") + " ! qxwdec name=dec ! fakesink",
                       &source),
              "error")
        << b.name;
    // The decoder names the fault first; an empty file never reaches it.
    if (!b.bytes.empty()) {
      EXPECT_EQ(source, "dec") << b.name;
    }
    EXPECT_EQ(runToEnd("uridecodebin uri=file://" + dir.path("b.qxw") + " ! fakesink"), "error")
        << b.name;
  }
  // Bytes after the data are a warning: the sound is all there.
  writeFile(dir.path("b.qxw"), longer);
  EXPECT_EQ(runToEnd("filesrc location=" + dir.path("b.qxw") + " ! qxwdec ! fakesink"), "eos");
}

// In-process, through decodebin: the duration from the header, and seeks that land on their
// samples.
TEST_F(Plugin, SeeksToTheSample) {
  const uint32_t channels = 2, rate = 8000, frames = 40000;
  writeSong(channels, frames, rate);
  ASSERT_EQ(program(WAV2QXW_PATH, {"/Q5", "s.wav", "s.qxw"}), 0);
  const auto file = readFile(dir.path("s.qxw"));
  std::vector<int16_t> samples(size_t{frames} * channels);
  ASSERT_EQ(qxw_decode(file.data(), file.size(), samples.data(), samples.size()), QXW_OK);

  gst_init(nullptr, nullptr);
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(
      ("uridecodebin uri=file://" + dir.path("s.qxw") + " ! appsink name=sink sync=false").c_str(),
      &error);
  ASSERT_NE(pipeline, nullptr) << (error ? error->message : "");
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 30 * GST_SECOND),
            GST_STATE_CHANGE_SUCCESS);
  gint64 duration = 0;
  EXPECT_TRUE(gst_element_query_duration(pipeline, GST_FORMAT_TIME, &duration));
  EXPECT_EQ(duration, 5 * static_cast<gint64>(GST_SECOND));

  for (uint32_t target : {frames / 2 + 3, 1u, frames - 1, 0u}) {
    const GstClockTime time = gst_util_uint64_scale_int(target, GST_SECOND, rate);
    ASSERT_TRUE(gst_element_seek_simple(
        pipeline, GST_FORMAT_TIME,
        static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE), time));
    ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 30 * GST_SECOND),
              GST_STATE_CHANGE_SUCCESS);
    GstSample* sample = gst_app_sink_pull_preroll(GST_APP_SINK(sink));
    ASSERT_NE(sample, nullptr) << target;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    EXPECT_EQ(GST_BUFFER_PTS(buffer), time) << target;
    GstMapInfo map;
    ASSERT_TRUE(gst_buffer_map(buffer, &map, GST_MAP_READ));
    ASSERT_GE(map.size, 2u * channels);
    int16_t first[2];
    std::memcpy(first, map.data, sizeof first);
    EXPECT_EQ(first[0], samples[size_t{target} * channels]) << target;
    EXPECT_EQ(first[1], samples[size_t{target} * channels + 1]) << target;
    gst_buffer_unmap(buffer, &map);
    gst_sample_unref(sample);
  }
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
}

// A player's seeks, straight after filesrc: from the end, a segment played in a loop without
// flushing, and a user scrubbing through a hundred targets, of which the last wins.
TEST_F(Plugin, SeeksAsAPlayerDoes) {
  const uint32_t rate = 8000, frames = 100 * rate;
  writeSong(1, frames, rate);
  ASSERT_EQ(program(WAV2QXW_PATH, {"/Q9", "s.wav", "s.qxw"}), 0);
  const auto original = waveData(readFile(dir.path("s.wav")));
  gst_init(nullptr, nullptr);
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(
      ("filesrc location=" + dir.path("s.qxw") + " ! qxwdec ! appsink name=sink sync=false")
          .c_str(),
      &error);
  ASSERT_NE(pipeline, nullptr);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  GstBus* bus = gst_element_get_bus(pipeline);
  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 30 * GST_SECOND),
            GST_STATE_CHANGE_SUCCESS);
  const auto seconds = [](double s) { return static_cast<gint64>(s * GST_SECOND); };
  const auto seek = [&](GstSeekFlags flags, GstSeekType startType, gint64 start, gint64 stop) {
    // A stop of -1 clears the segment seek's.
    return gst_element_seek(pipeline, 1.0, GST_FORMAT_TIME, flags, startType, start,
                            GST_SEEK_TYPE_SET, stop);
  };
  // The next buffer: where it starts, and whether its samples are the file's there.
  const auto nextBuffer = [&](GstClockTime* pts, size_t* bytes = nullptr) {
    GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 30 * GST_SECOND);
    if (sample == nullptr) return false;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    *pts = GST_BUFFER_PTS(buffer);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_READ);
    const size_t at = 2 * gst_util_uint64_scale_int(*pts, rate, GST_SECOND);
    const bool same =
        at + map.size <= original.size() &&
        std::equal(map.data, map.data + map.size, original.begin() + static_cast<long>(at));
    if (bytes != nullptr) *bytes = map.size;
    gst_buffer_unmap(buffer, &map);
    gst_sample_unref(sample);
    return same;
  };
  const auto flush = static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);

  // From the end: five seconds before it.
  ASSERT_TRUE(seek(flush, GST_SEEK_TYPE_END, -seconds(5), -1));
  GstClockTime pts = 0;
  EXPECT_TRUE(nextBuffer(&pts));
  EXPECT_EQ(pts, static_cast<GstClockTime>(seconds(95)));

  // A segment from 10 to 11 s, played twice, the second time without a flush: exactly its
  // samples each time, then SEGMENT_DONE, never the end of the stream.
  for (const auto flags :
       {static_cast<GstSeekFlags>(flush | GST_SEEK_FLAG_SEGMENT), GST_SEEK_FLAG_SEGMENT}) {
    ASSERT_TRUE(seek(flags, GST_SEEK_TYPE_SET, seconds(10), seconds(11))) << flags;
    size_t total = 0, bytes = 0;
    GstClockTime first = GST_CLOCK_TIME_NONE;
    while (total < 2 * rate) {
      ASSERT_TRUE(nextBuffer(&pts, &bytes)) << flags;
      if (!GST_CLOCK_TIME_IS_VALID(first)) first = pts;
      total += bytes;
    }
    EXPECT_EQ(first, static_cast<GstClockTime>(seconds(10))) << flags;
    EXPECT_EQ(total, 2 * rate) << flags;
    GstMessage* done = gst_bus_timed_pop_filtered(
        bus, 30 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_SEGMENT_DONE | GST_MESSAGE_EOS |
                                    GST_MESSAGE_ERROR));
    ASSERT_NE(done, nullptr) << flags;
    EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_SEGMENT_DONE) << flags;
    gst_message_unref(done);
  }

  // Scrubbing: every seek taken, and playback where the last one pointed.
  for (int i = 0; i < 100; ++i) {
    EXPECT_TRUE(seek(flush, GST_SEEK_TYPE_SET, seconds(0.5 + 0.88 * i), -1)) << i;
  }
  EXPECT_TRUE(nextBuffer(&pts));
  EXPECT_EQ(pts, static_cast<GstClockTime>(seconds(0.5 + 0.88 * 99)));

  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(bus);
  gst_object_unref(sink);
  gst_object_unref(pipeline);
}

}  // namespace
}  // namespace qxw
