#include "app/command_line.h"

#include <gtest/gtest.h>

#include <vector>

namespace qxw {
namespace {

struct Names {
  std::string input;
  std::string output;
  int quality;
};

std::optional<Names> namesFor(std::vector<const char*> args) {
  args.insert(args.begin(), "prog");
  const auto line = parseCommandLine(static_cast<int>(args.size()), args.data());
  if (!line) return std::nullopt;
  const std::string input = deriveInputName(line->infile, ".wav");
  return Names{input, deriveOutputName(input, line->outfile, ".qxw"), line->quality};
}

void expectNames(std::vector<const char*> args, const char* input, const char* output,
                 int quality = 3) {
  const auto names = namesFor(args);
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(names->input, input);
  EXPECT_EQ(names->output, output);
  EXPECT_EQ(names->quality, quality);
}

TEST(CommandLine, DerivesTheNamesOfTheUsageTable) {
  expectNames({"song"}, "song.wav", "song.qxw");
  expectNames({"/q9", "take.1.wav"}, "take.1.wav", "take.1.qxw", 9);
  expectNames({"song", "result"}, "song.wav", "result.qxw");
  expectNames({"song", "result.bin"}, "song.wav", "result.bin");
  expectNames({"c:\\in\\song.wav", "d:\\out\\"}, "c:\\in\\song.wav", "d:\\out\\song.qxw");
  expectNames({"c:song", "d:"}, "c:song.wav", "d:song.qxw");
}

TEST(CommandLine, ReadsTheOptionOnlyInFirstPlace) {
  expectNames({"/q0", "song"}, "song.wav", "song.qxw", 0);
  expectNames({"/Q52", "song"}, "song.wav", "song.qxw", 5);
  // "/Q" without a digit is the infile.
  expectNames({"/Q", "out"}, "/Q.wav", "out.qxw");
  expectNames({"/x5", "song"}, "/x5.wav", "song.qxw");
}

TEST(CommandLine, AsksForUsageOnWrongArgumentCounts) {
  EXPECT_FALSE(namesFor({}).has_value());
  EXPECT_FALSE(namesFor({"/Q5"}).has_value());
  EXPECT_FALSE(namesFor({"a", "b", "c"}).has_value());
  EXPECT_FALSE(namesFor({"/Q5", "a", "b", "c"}).has_value());
  // Without a digit "/Q" is a file, which makes three.
  EXPECT_FALSE(namesFor({"/Q", "song", "out"}).has_value());
  // An option in a file-name position would name a file at the root.
  EXPECT_FALSE(namesFor({"song", "/Q5"}).has_value());
  EXPECT_FALSE(namesFor({"/Q5", "/q3", "song"}).has_value());
  EXPECT_FALSE(namesFor({"/Q5", "song", "/Q52"}).has_value());
}

TEST(CommandLine, LooksForExtensionsInTheLastPathComponentOnly) {
  expectNames({"./song"}, "./song.wav", "./song.qxw");
  expectNames({"music.d/song"}, "music.d/song.wav", "music.d/song.qxw");
  expectNames({"song", "out.d/result"}, "song.wav", "out.d/result.qxw");
  expectNames({"music.d/song", "out/"}, "music.d/song.wav", "out/song.qxw");
  expectNames({"a/b.c/song.wav", "x\\"}, "a/b.c/song.wav", "x\\song.qxw");
}

TEST(CommandLine, GivesAnEmptyOutfileTheBareExtension) {
  expectNames({"song", ""}, "song.wav", ".qxw");
}

}  // namespace
}  // namespace qxw
