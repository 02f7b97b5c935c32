// What the tool promises for any archive at all, checked on real runs.
//
// One checker serves the fuzzer, the replay of the fuzzer's kept inputs and
// the unit tests' damage sweeps, so that the three can never disagree about
// what a clean run is. It runs the real RunUnzrq in this process on an
// archive written into a temporary folder, then inspects that folder, the
// archive and what the tool said. Whatever the archive holds:
// - nothing appears outside the output folder, and the folder holds regular
//   files only;
// - no output file is larger than twice the archive plus the 54 bitmap header
//   bytes;
// - the exit code is 0, -3 or -5: the folder can be made and the archive is a
//   readable file, so no other failure can happen, and -3 only when the header
//   points the directory beyond the reach of a signed 32-bit move;
// - exit 0 exactly when nothing was reported and the summary counts every
//   record of the directory; a non-zero exit always comes with a report;
// - standard output ends with the summary line, unless the run stopped at the
//   header (-3), when nothing at all is written;
// - the summary counts no record the file does not hold, and there are no
//   more output files than records counted;
// - the archive is unchanged;
// - for an archive beside the folder, `zrq test` reports exactly what the
//   run reported and ends with its exit code, and `zrq extract` without a
//   pattern, into a folder of its own, prints, reports (its folder's path
//   aside), writes and ends exactly as the run did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/in_process_run.h"
#include "tests/support/scratch_dir.h"

enum class ArchivePlace {
  kBesideTheFolder,
  // The archive lies in the output folder, so that entries named like it meet
  // the very file being read.
  kInsideTheFolder,
};

struct PromiseCheck {
  ToolRun run;
  // The files the run left in the output folder, sorted; never the archive.
  std::vector<std::string> outputs;
  // One line per broken promise; empty when every promise held.
  std::vector<std::string> broken;
};

// A temporary folder made once and reused run after run: under $TMPDIR when
// it is set, else in memory under /dev/shm where there is one, else /tmp.
class PromiseChecker {
 public:
  PromiseChecker();
  ~PromiseChecker();
  PromiseChecker(const PromiseChecker&) = delete;
  PromiseChecker& operator=(const PromiseChecker&) = delete;

  // Writes `archive` as a fresh file, runs the tool on it with a fresh output
  // folder and checks every promise above. What the run wrote stays until the
  // next call.
  PromiseCheck Check(const std::uint8_t* archive, std::size_t size, ArchivePlace place);

  // Where the last run left the output file `name`.
  std::string OutputPath(const std::string& name) const;

  // Removes the folder and everything in it; for processes about to die.
  void RemoveAll();

 private:
  ScratchDir root_;
  FILE* out_;  // the tool's standard output, caught in a file in root_
  FILE* err_;  // and its standard error
};

// The broken promises of `check`, the exit code and the tool's standard
// error, as lines for a failure report.
std::string DescribeBrokenPromises(const PromiseCheck& check);
