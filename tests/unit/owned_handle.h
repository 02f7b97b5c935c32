// Handles of the file layer for tests: opened as the tool opens them, and
// closed when the test ends, even when it fails half way, so that one failing
// test cannot use up the layer's handles for the tests after it.
#pragma once

#include <string>

#include "platform/file_system.h"

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

// The archive as the driver opens it: shared reading of an existing file.
inline HANDLE OpenForReading(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// An output file as the driver makes it, finished when the test ends: as
// Finish says, else given up.
class OwnedOutput {
 public:
  explicit OwnedOutput(const std::string& path, HANDLE archive = INVALID_HANDLE_VALUE)
      : handle_(CreateOutputFile(path.c_str(), archive, &error_)) {}
  ~OwnedOutput() {
    if (valid()) FinishOutputFile(handle_, OutputFate::kDiscard);
  }
  OwnedOutput(const OwnedOutput&) = delete;
  OwnedOutput& operator=(const OwnedOutput&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Why CreateOutputFile failed.
  DWORD error() const { return error_; }
  // Finishes now and returns what FinishOutputFile said.
  DWORD Finish(OutputFate fate = OutputFate::kKeep) {
    const DWORD finished = FinishOutputFile(handle_, fate);
    handle_ = INVALID_HANDLE_VALUE;
    return finished;
  }

 private:
  DWORD error_ = NO_ERROR;
  HANDLE handle_;
};
