// Replays archives through the fuzz target without libFuzzer, so that builds
// with any compiler check the kept inputs against the promises. Each argument
// is an archive file, or a folder whose files are all replayed. A broken
// promise aborts, as it does under the fuzzer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/list_folder.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::string> Inputs(int argc, char** argv) {
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!std::filesystem::is_directory(argv[i])) {
      inputs.push_back(argv[i]);
      continue;
    }
    for (const std::string& name : ListFolder(argv[i])) {
      const std::string path = (std::filesystem::path(argv[i]) / name).string();
      if (std::filesystem::is_regular_file(path)) inputs.push_back(path);
    }
  }
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "Usage: %s ARCHIVE_OR_FOLDER...\n", argv[0]);
    return 2;
  }
  LLVMFuzzerInitialize(&argc, &argv);
  const std::vector<std::string> inputs = Inputs(argc, argv);
  for (const std::string& path : inputs) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    const std::vector<std::uint8_t> archive((std::istreambuf_iterator<char>(file)),
                                            std::istreambuf_iterator<char>());
    std::printf("%s: %zu bytes\n", path.c_str(), archive.size());
    (void)std::fflush(stdout);  // only so that the line is out before a crash
    LLVMFuzzerTestOneInput(archive.data(), archive.size());
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "no archive to replay\n");
    return 1;
  }
  std::printf("%zu archives replayed, every promise held\n", inputs.size());
  return 0;
}
