#include "tests/support/scratch_dir.h"

#include <filesystem>
#include <random>
#include <stdexcept>

#include "tests/support/remove_tree.h"

ScratchDir::ScratchDir() : ScratchDir(std::filesystem::temp_directory_path().string()) {}

// The folder is made under a fresh random name, tried again on a clash, the
// same way on every system the tests run on. The prefix is what a stale
// folder of the tests is known by (see WineDriveY in tests/e2e).
ScratchDir::ScratchDir(const std::string& parent) {
  static std::mt19937 names{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate =
        std::filesystem::path(parent) / ("unzrq-test-" + std::to_string(names()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
    if (error)
      throw std::runtime_error("cannot make " + candidate.string() + ": " + error.message());
  }
  throw std::runtime_error("no free name for a scratch folder in " + parent);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }
