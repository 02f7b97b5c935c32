#include "file_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "tests/support/list_folder.h"

namespace {

int OpenFolder(int parent, const std::string& name) {
  const int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open folder " + name + ": " + std::strerror(errno));
  return fd;
}

Bytes ReadAll(int parent, const std::string& name) {
  const int fd = openat(parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open file " + name + ": " + std::strerror(errno));
  Bytes bytes;
  std::uint8_t buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + got);
  close(fd);
  return bytes;
}

void Snapshot(int folder, const std::string& prefix, FileTree& tree) {
  for (const std::string& name : ListFolderAt(folder)) {
    const std::string path = prefix + name;
    struct stat info;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      throw std::runtime_error("cannot stat " + path);
    }
    TreeNode& node = tree[path];
    if (S_ISDIR(info.st_mode)) {
      node.is_folder = true;
      const int child = OpenFolder(folder, name);
      Snapshot(child, path + "/", tree);
      close(child);
    } else if (S_ISREG(info.st_mode)) {
      node.bytes = ReadAll(folder, name);
    } else if (S_ISFIFO(info.st_mode)) {
      node.is_pipe = true;
    } else if (S_ISLNK(info.st_mode)) {
      char target[4096];
      const ssize_t length = readlinkat(folder, name.c_str(), target, sizeof target);
      node.link_to.assign(target, length > 0 ? static_cast<std::size_t>(length) : 0);
    } else {
      const std::string what = "<not a regular file or folder>";
      node.bytes.assign(what.begin(), what.end());
    }
  }
}

// Opens (creating as needed) each folder along `path`, relative to `root`.
int OpenFolderPath(int root, const std::string& path) {
  int current = dup(root);
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string component = path.substr(start, end - start);
    if (mkdirat(current, component.c_str(), 0755) != 0 && errno != EEXIST) {
      throw std::runtime_error("cannot create folder " + path + ": " + std::strerror(errno));
    }
    const int next = OpenFolder(current, component);
    close(current);
    current = next;
    start = end + 1;
  }
  return current;
}

std::string Describe(const TreeNode& node) {
  if (node.is_folder) return "a folder";
  if (node.is_pipe) return "a named pipe";
  if (!node.link_to.empty()) return "a link to " + node.link_to;
  std::string text = std::to_string(node.bytes.size()) + " bytes";
  if (node.bytes.size() <= 64) {
    text += ":";
    char hex[4];
    for (std::uint8_t byte : node.bytes) {
      (void)std::snprintf(hex, sizeof hex, " %02X", byte);  // always 3 characters
      text += hex;
    }
  }
  return text;
}

std::string FirstDifference(const Bytes& expected, const Bytes& actual) {
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return " (first difference at byte " + std::to_string(at) + ")";
}

}  // namespace

FileTree SnapshotTree(const std::string& root) {
  FileTree tree;
  const int folder = OpenFolder(AT_FDCWD, root);
  Snapshot(folder, "", tree);
  close(folder);
  return tree;
}

void CreateTree(const std::string& root, const FileTree& tree) {
  mkdir(root.c_str(), 0755);  // may exist already
  const int root_fd = OpenFolder(AT_FDCWD, root);
  for (const auto& [path, node] : tree) {
    if (node.is_folder) {
      close(OpenFolderPath(root_fd, path));
      continue;
    }
    const std::size_t slash = path.rfind('/');
    const int parent =
        slash == std::string::npos ? dup(root_fd) : OpenFolderPath(root_fd, path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (node.is_pipe) {
      const int made = mkfifoat(parent, name.c_str(), 0644);
      close(parent);
      if (made != 0) throw std::runtime_error("cannot make the pipe " + path);
      continue;
    }
    if (!node.link_to.empty()) {
      const int made = symlinkat(node.link_to.c_str(), parent, name.c_str());
      close(parent);
      if (made != 0) throw std::runtime_error("cannot make the link " + path);
      continue;
    }
    const int fd = openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    close(parent);
    if (fd < 0 || write(fd, node.bytes.data(), node.bytes.size()) !=
                      static_cast<ssize_t>(node.bytes.size())) {
      throw std::runtime_error("cannot write " + path);
    }
    close(fd);
  }
  close(root_fd);
}

std::string DescribeTreeDifference(const FileTree& expected, const FileTree& actual) {
  std::string report;
  for (const auto& [path, node] : expected) {
    const auto found = actual.find(path);
    if (found == actual.end()) {
      report += "  missing: " + path + " (expected " + Describe(node) + ")\n";
    } else if (!(found->second == node)) {
      report += "  differs: " + path + ": expected " + Describe(node) + ", got " +
                Describe(found->second);
      if (!node.is_folder && !found->second.is_folder && !node.is_pipe && !found->second.is_pipe &&
          node.link_to.empty() && found->second.link_to.empty()) {
        report += FirstDifference(node.bytes, found->second.bytes);
      }
      report += "\n";
    }
  }
  for (const auto& [path, node] : actual) {
    if (expected.count(path) == 0)
      report += "  unexpected: " + path + " (" + Describe(node) + ")\n";
  }
  return report;
}
