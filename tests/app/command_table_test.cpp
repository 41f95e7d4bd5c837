// Command lines of both programs, run for real: the exit status and the files each leaves.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/run_program.h"
#include "support/signals.h"
#include "support/wav_files.h"

namespace qxw {
namespace {

using namespace qxw::testing;

const std::string kEncoder = WAV2QXW_PATH;
const std::string kDecoder = QXW2WAV_PATH;

struct CommandCase {
  const std::string& program;
  std::vector<std::string> args;
  int status;
  std::vector<std::string> made;  // files that must exist afterwards, besides song.wav/song.qxw
  std::vector<std::string> absent = {};
};

TEST(CommandTable, EachCommandLineGivesItsStatusAndFiles) {
  const CommandCase cases[] = {
      {kEncoder, {}, 1, {}},
      {kEncoder, {"/Q5"}, 1, {}},
      {kEncoder, {"a", "b", "c"}, 1, {}},
      // Three names whose last is a folder: both inputs go into it; "/Q" is a file name.
      {kEncoder, {"/Q", "song", "out"}, 2, {"out/song.qxw"}},
      // An option among the file names would write "/Q5.qxw" at the root.
      {kEncoder, {"song.wav", "/Q5"}, 1, {}, {"/Q5.qxw"}},
      {kEncoder, {"/Q3", "/Q5", "song.wav"}, 1, {}},
      {kEncoder, {"/q0", "song", "low"}, 0, {"low.qxw"}},
      {kEncoder, {"/Q52", "song", "mid.bin"}, 0, {"mid.bin"}},
      {kEncoder, {"song", "out/"}, 0, {"out/song.qxw"}},
      {kEncoder, {"missing"}, 2, {}, {"missing.qxw"}},
      {kEncoder, {"song.wav", "song.wav"}, 2, {}},
      {kDecoder, {}, 1, {}},
      {kDecoder, {"/T"}, 1, {}},
      {kDecoder, {"song.qxw", "/T"}, 1, {}, {"/T.wav"}},
      {kDecoder, {"song.qxw", "back", "/F"}, 1, {}, {"back.wav"}},
      {kDecoder, {"/F", "song.qxw", "/t"}, 1, {}},
      {kDecoder, {"/T", "/F", "song.qxw"}, 0, {}},
      {kDecoder, {"song"}, 2, {}},
      {kDecoder, {"/f", "song", "copy"}, 0, {"copy.wav"}},
      // /T writes nothing: every name is a file to test, and /C with it is a mistake.
      {kDecoder, {"/F", "/t", "song", "unmade"}, 2, {}, {"unmade.wav"}},
      {kDecoder, {"/T", "song", "song.qxw", "song"}, 0, {}},
      {kDecoder, {"/T", "song", "out"}, 2, {}},
      {kDecoder, {"/T", "/C", "song.qxw", "song.wav"}, 1, {}},
      {kDecoder, {"/x", "song"}, 2, {}},
      // Help, alone, on standard output with status 0; anywhere else it is a file name.
      {kEncoder, {"-h"}, 0, {}},
      {kEncoder, {"--help"}, 0, {}},
      {kEncoder, {"-?"}, 0, {}},
      {kEncoder, {"/?"}, 0, {}},
      {kEncoder, {"-h", "x"}, 2, {}},
      {kDecoder, {"-h"}, 0, {}},
      {kDecoder, {"--help"}, 0, {}},
      {kDecoder, {"/?"}, 0, {}},
      // An existing folder takes the output under the input's name; a device is used as it is.
      {kEncoder, {"song.wav", "out"}, 0, {"out/song.qxw"}, {"out.qxw"}},
      {kEncoder, {"/Q9", "song", "out/"}, 0, {"out/song.qxw"}},
      {kEncoder, {"song.wav", "/dev/null"}, 0, {}, {"/dev/null.qxw"}},
      {kDecoder, {"song.qxw", "out"}, 0, {"out/song.wav"}, {"out.wav"}},
      {kDecoder, {"song.qxw", "/dev/null"}, 0, {}, {"/dev/null.wav"}},
      {kDecoder, {"song.qxw", "-"}, 0, {}, {"-", "-.wav"}},
      {kDecoder, {"/C", "song.qxw", "song.wav"}, 0, {}},
      {kDecoder, {"/c", "/t", "/F", "song"}, 1, {}},
      {kDecoder, {"/C", "song.qxw", "other.wav"}, 2, {}},
      {kDecoder, {"song.qxw", "/C"}, 1, {}},
      // /B and /V: options first, in any order, each once; /B and /Q exclude each other.
      {kEncoder, {"/Q3", "/B4", "song.wav"}, 1, {}},
      {kEncoder, {"/B4", "/Q3", "song.wav"}, 1, {}},
      {kEncoder, {"/B9", "song.wav"}, 1, {}},
      {kEncoder, {"/B1.5", "song.wav"}, 1, {}},
      {kEncoder, {"/B4x", "song.wav"}, 1, {}},
      // A mistyped target is a usage error, never a file name.
      {kEncoder, {"/B-1", "song.wav"}, 1, {}},
      {kEncoder, {"/Bnan", "song.wav"}, 1, {}},
      {kEncoder, {"/binf", "song.wav"}, 1, {}},
      {kEncoder, {"/B", "song.wav"}, 1, {}},
      {kEncoder, {"/B.5", "song.wav"}, 1, {}},
      {kEncoder, {"/B+", "song.wav"}, 1, {}},
      {kEncoder, {"/b.5e1", "song.wav"}, 1, {}},
      {kEncoder, {"/B+4", "song.wav"}, 1, {}},
      {kEncoder, {"/Bach", "out"}, 2, {}},
      // /X goes with /B only, once, at efforts 1 to 3; "/X4" and "/Xylo" are file names.
      {kEncoder, {"/X", "song.wav"}, 1, {}},
      {kEncoder, {"/X", "/Q3", "song.wav"}, 1, {}},
      {kEncoder, {"/Q3", "/X2", "song.wav"}, 1, {}},
      {kEncoder, {"/X4", "/B3", "song.wav"}, 1, {}},
      {kEncoder, {"/X0", "/B3", "song.wav"}, 1, {}},
      {kEncoder, {"/X1", "/X2", "/B3", "song.wav"}, 1, {}},
      {kEncoder, {"/B3", "song.wav", "/X"}, 1, {}},
      {kEncoder, {"/x", "/b3", "song", "x"}, 0, {"x.qxw"}},
      {kEncoder, {"/B3", "/X3", "/V", "song", "x3"}, 0, {"x3.qxw"}},
      {kEncoder, {"/Xylo", "out"}, 2, {}},
      {kEncoder, {"/V", "/V", "song.wav"}, 1, {}},
      {kEncoder, {"song.wav", "/V"}, 1, {}},
      {kEncoder, {"/v", "/q5", "song", "v5"}, 0, {"v5.qxw"}},
      {kEncoder, {"/B4.5", "/V", "song", "b"}, 0, {"b.qxw"}},
      // Standard output under another name is standard output: never given an extension.
      {kEncoder, {"song.wav", "/dev/stdout"}, 0, {}, {"/dev/stdout.qxw"}},
      {kDecoder, {"song.qxw", "/dev/stdout"}, 0, {}, {"/dev/stdout.wav"}},
      {kDecoder, {"/F", "song.qxw", "/dev/fd/1"}, 0, {}, {"/dev/fd/1.wav"}},
      {kEncoder, {"--version"}, 0, {}},
      {kDecoder, {"--version"}, 0, {}},
      {kEncoder, {"--version", "song.wav"}, 2, {}},
      // /C reads the WAV file by name only.
      {kDecoder, {"/C", "-"}, 2, {}},
      {kDecoder, {"/C", "song.qxw", "-"}, 2, {}, {"-.wav"}},
  };
  for (const CommandCase& c : cases) {
    TempDir dir;
    std::filesystem::create_directory(dir.path("out"));
    const auto wav = makeWav(makeSignal(Signal::Music, 500, 2), 2);
    writeFile(dir.path("song.wav"), wav);
    RunOptions options;
    options.workingDir = dir.dir();
    ASSERT_EQ(runProgram(kEncoder, {"song"}, options).status, 0);
    std::string line;
    for (const auto& a : c.args) line += " " + a;
    const auto result = runProgram(c.program, c.args, options);
    EXPECT_EQ(result.status, c.status) << c.program << line << "\n" << result.err;
    const bool help = c.args.size() == 1 && (c.args[0] == "-h" || c.args[0] == "--help" ||
                                             c.args[0] == "-?" || c.args[0] == "/?");
    EXPECT_EQ(result.status == 1 || help, result.out.rfind("Format: ", 0) == 0) << line;
    for (const auto& name : c.made) EXPECT_TRUE(fileExists(dir.path(name))) << line << " " << name;
    for (const auto& name : c.absent) {
      EXPECT_FALSE(fileExists(name[0] == '/' ? name : dir.path(name))) << line << " " << name;
    }
    EXPECT_EQ(readFile(dir.path("song.wav")), wav) << line;
  }
}

}  // namespace
}  // namespace qxw
