// Feeds every file named on the command line, or found in a folder named
// there, to LLVMFuzzerTestOneInput once: replays a saved corpus without
// libFuzzer, so any compiler can run it as a test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

int main(int argc, char** argv) {
  std::vector<std::filesystem::path> Inputs;
  for (int I = 1; I < argc; ++I) {
    if (std::filesystem::is_directory(argv[I])) {
      for (const auto& Entry : std::filesystem::directory_iterator(argv[I]))
        if (Entry.is_regular_file()) Inputs.push_back(Entry.path());
    } else {
      Inputs.emplace_back(argv[I]);
    }
  }
  if (Inputs.empty()) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER_OR_FILE...\n", argv[0]);
    return 2;
  }
  for (const auto& Input : Inputs) {
    std::ifstream In(Input, std::ios::binary);
    const std::vector<uint8_t> Bytes{std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
    if (!In.eof() && In.fail()) {
      std::fprintf(stderr, "cannot read %s\n", Input.c_str());
      return 1;
    }
    LLVMFuzzerTestOneInput(Bytes.data(), Bytes.size());
  }
  std::printf("%zu inputs replayed\n", Inputs.size());
  return 0;
}
