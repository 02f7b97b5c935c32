// Handles of the file layer for tests: opened as the tool opens them, and
// closed when the test ends, even when it fails half way, so that one failing
// test cannot use up the layer's handles for the tests after it.
#pragma once

#include <string>

#include "platform/file_system.h"
#include "publication/publication.h"

class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Closes now and returns what CloseHandle said.
  BOOL Close() {
    const BOOL closed = CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE handle_;
};

// An output file as the driver makes it, in `folder` under `name`, finished
// when the test ends: as Finish says, else as an incomplete entry. The output folder is
// open for as long as the output lives.
class OwnedOutput {
 public:
  OwnedOutput(const std::string& folder, const std::string& name,
              HANDLE archive = INVALID_HANDLE_VALUE)
      : handle_(INVALID_HANDLE_VALUE) {
    refusal_ = {};
    if (!OpenOutputFolder(folder.c_str(), &refusal_.error)) return;
    handle_ = CreateOutputFile(name.c_str(), archive, &refusal_);
  }
  ~OwnedOutput() {
    if (valid()) FinishOutputFile(handle_, OutputFate::kIncomplete);
    CloseOutputFolder();
  }
  OwnedOutput(const OwnedOutput&) = delete;
  OwnedOutput& operator=(const OwnedOutput&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Why CreateOutputFile failed.
  DWORD error() const { return refusal_.error; }
  const OutputRefusal& refusal() const { return refusal_; }
  // Finishes now, as the driver does: a replacement is published at once.
  // Returns the first failure FinishOutputFile or the publication told.
  DWORD Finish(OutputFate fate = OutputFate::kKeep) {
    const OutputFinish finished = FinishOutputFile(handle_, fate);
    handle_ = INVALID_HANDLE_VALUE;
    leftover_ = finished.leftover != nullptr;
    DWORD error = finished.error;
    ReplaceReport report;
    while (PublishNextReplacement(&report)) {
      outcome_ = report.outcome;
      temporary_ = report.temporary;
      if (error == NO_ERROR && report.outcome != ReplaceOutcome::kReplaced) error = report.error;
    }
    return error;
  }
  // What became of a replacement at its publication, and its temporary name.
  ReplaceOutcome outcome() const { return outcome_; }
  const std::string& temporary() const { return temporary_; }
  // Whether a replacement given up was left in the folder.
  bool left_over() const { return leftover_; }

 private:
  OutputRefusal refusal_;
  HANDLE handle_;
  ReplaceOutcome outcome_ = ReplaceOutcome::kReplaced;
  std::string temporary_;
  bool leftover_ = false;
};
