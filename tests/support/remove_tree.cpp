#include "tests/support/remove_tree.h"

#ifdef _WIN32

#include <filesystem>

bool RemoveTree(const std::string& root) {
  std::error_code error;
  std::filesystem::remove_all(root, error);
  return !std::filesystem::exists(std::filesystem::symlink_status(root, error));
}

#else

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

int OpenFolder(int parent, const char* name) {
  return openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Names in `folder`, "." and ".." left out; the descriptor stays open.
std::vector<std::string> FolderEntries(int folder) {
  std::vector<std::string> names;
  const int copy = dup(folder);
  DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
  if (listing == nullptr) {
    if (copy >= 0) close(copy);
    return names;
  }
  while (const dirent* entry = readdir(listing)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(listing);
  return names;
}

void RemoveContents(int folder) {
  for (const std::string& name : FolderEntries(folder)) {
    if (unlinkat(folder, name.c_str(), 0) == 0) continue;
    const int child = OpenFolder(folder, name.c_str());
    if (child < 0) continue;
    fchmod(child, 0700);  // a case may leave a folder it made unwritable
    RemoveContents(child);
    close(child);
    unlinkat(folder, name.c_str(), AT_REMOVEDIR);
  }
}

}  // namespace

bool RemoveTree(const std::string& root) {
  struct stat info;
  if (lstat(root.c_str(), &info) != 0) return errno == ENOENT;
  if (!S_ISDIR(info.st_mode)) return unlink(root.c_str()) == 0;
  const int folder = OpenFolder(AT_FDCWD, root.c_str());
  if (folder >= 0) {
    RemoveContents(folder);
    close(folder);
  }
  return rmdir(root.c_str()) == 0;
}

#endif
