// The tests' one scratch folder: fresh and empty, removed with everything in
// it when the test is done, however it ends.
#pragma once

#include <string>

class ScratchDir {
 public:
  // In the system's temporary folder ($TMPDIR on Linux).
  ScratchDir();
  // In `parent`, for a caller that wants it elsewhere (say in memory).
  explicit ScratchDir(const std::string& parent);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};
