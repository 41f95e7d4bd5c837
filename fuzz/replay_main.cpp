// Feeds each file named, or each file in each folder named, to a fuzz target's entry point once:
// the saved findings replayed by every build's tests, without libFuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path named = argv[i];
    if (!std::filesystem::is_directory(named)) {
      inputs.push_back(named);
      continue;
    }
    for (const auto& entry : std::filesystem::directory_iterator(named)) {
      if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
  }
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::printf("%s\n", path.c_str());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
