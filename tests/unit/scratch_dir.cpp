#include "scratch_dir.h"

#include <algorithm>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "tests/support/remove_tree.h"

// The folder is made under a fresh random name, tried again on a clash, the
// same way on every system the unit tables run on.
ScratchDir::ScratchDir() {
  static std::mt19937 names{std::random_device{}()};
  const std::filesystem::path temporary = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = temporary / ("unzrq-unit-" + std::to_string(names()));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
    if (error)
      throw std::runtime_error("cannot make " + candidate.string() + ": " + error.message());
  }
  throw std::runtime_error("no free name for a scratch folder in " + temporary.string());
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}
