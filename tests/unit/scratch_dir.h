// A fresh, empty folder under the system's temporary directory, removed with
// everything in it when the test is done.
#pragma once

#include <string>
#include <vector>

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Names directly inside `folder`, sorted; "." and ".." left out.
std::vector<std::string> ListFolder(const std::string& folder);
