#include "captured_run.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace {

// A new file rather than an emptied one: see Empty() in in_process_run.cpp.
std::FILE* OpenFresh(const std::string& path) {
  unlink(path.c_str());
  std::FILE* file = std::fopen(path.c_str(), "w+e");
  if (file == nullptr) throw std::runtime_error("cannot create " + path);
  return file;
}

}  // namespace

ToolRun RunCaptured(const std::vector<std::string>& arguments, const std::string& working_dir,
                    const std::string& capture_dir, int standard_output_fd) {
  std::FILE* out = standard_output_fd < 0 ? OpenFresh(capture_dir + "/stdout") : nullptr;
  std::FILE* err = OpenFresh(capture_dir + "/stderr");
  ToolRun run = RunInProcess(arguments, out, err, working_dir, standard_output_fd);
  // Both were read back by the run: a failed close loses nothing.
  if (out != nullptr) (void)std::fclose(out);
  (void)std::fclose(err);
  return run;
}
