#include "tests/support/remove_tree.h"

#ifdef _WIN32

#include <filesystem>

bool RemoveTree(const std::string& root) {
  std::error_code error;
  std::filesystem::remove_all(root, error);
  return !std::filesystem::exists(std::filesystem::symlink_status(root, error));
}

#else

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

#include "tests/support/list_folder.h"

namespace {

int OpenFolder(int parent, const char* name) {
  return openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void RemoveContents(int folder) {
  std::vector<std::string> names;
  try {
    names = ListFolderAt(folder);
  } catch (const std::runtime_error&) {
    return;  // what cannot be listed stays, and the folder with it
  }
  for (const std::string& name : names) {
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
