// Runs the whole tool in this process (fuzz/in_process_run.h) with standard
// output and standard error caught in fresh files of a folder of the test's.
#pragma once

#include <string>
#include <vector>

#include "fuzz/in_process_run.h"

// `arguments` are the tool's argv from argv[0] on. The run's current folder
// is `working_dir`; the streams are caught in files inside `capture_dir`, so
// that nothing but the tool's own output lands in `working_dir`. With
// `standard_output_fd` set, standard output goes there for the run instead,
// and `out` is empty.
ToolRun RunCaptured(const std::vector<std::string>& arguments, const std::string& working_dir,
                    const std::string& capture_dir, int standard_output_fd = -1);
