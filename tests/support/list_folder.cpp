#include "tests/support/list_folder.h"

#include <algorithm>
#include <stdexcept>

#ifdef _WIN32

#include <filesystem>

std::vector<std::string> ListFolder(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    names.push_back(entry.path().filename().string());
  }
  if (error) throw std::runtime_error("cannot list " + folder + ": " + error.message());
  std::sort(names.begin(), names.end());
  return names;
}

#else

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

[[noreturn]] void CannotList(const std::string& folder) {
  throw std::runtime_error("cannot list " + folder + ": " + std::strerror(errno));
}

// The names `listing` gives but "." and "..", sorted; closes `listing`.
std::vector<std::string> TakeNames(DIR* listing) {
  std::vector<std::string> names;
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<std::string> ListFolder(const std::string& folder) {
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) CannotList(folder);
  return TakeNames(listing);
}

std::vector<std::string> ListFolderAt(int folder) {
  // Read through a copy of the descriptor, which closedir closes.
  const int copy = dup(folder);
  DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
  if (listing == nullptr) {
    const int error = errno;
    if (copy >= 0) close(copy);
    errno = error;
    CannotList("a folder");
  }
  return TakeNames(listing);
}

#endif
