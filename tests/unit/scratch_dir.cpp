#include "scratch_dir.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "unzrq-unit-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}
