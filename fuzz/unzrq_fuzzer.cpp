// The fuzz target: the whole tool, run in-process on an archive made of the
// fuzz input and checked against every promise it makes for any archive
// (fuzz/promises.h). A broken promise is printed with what the tool reported
// and aborts, so that libFuzzer keeps the input as a crash. Hangs and
// unbounded memory are libFuzzer's -timeout and -rss_limit_mb.
//
// libFuzzer calls the two functions below; where it is not available,
// replay_main.cpp calls them on kept archives, so that every test run
// replays them against the same checks.
//
// Bit 0 of the archive's first byte (never interpreted by the tool) puts the
// archive inside the output folder instead of beside it, so that entries
// named like the archive meet the very file being read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/promises.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNZRQ_HAS_SANITIZER_RUNTIME 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define UNZRQ_HAS_SANITIZER_RUNTIME 1
#endif
#ifdef UNZRQ_HAS_SANITIZER_RUNTIME
#include <sanitizer/common_interface_defs.h>
#endif

namespace {

// Made once, for the life of the process.
PromiseChecker* g_checker = nullptr;

// Nothing is left in the temporary folder, whichever way the process ends:
// normally, on a broken promise, or on a sanitizer report.
void RemoveTemporaryFolder() {
  if (g_checker != nullptr) g_checker->RemoveAll();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  g_checker = new PromiseChecker;
  if (std::atexit(RemoveTemporaryFolder) != 0) {
    std::fprintf(stderr, "==unzrq-fuzzer== the temporary folder will be left behind at exit\n");
  }
#ifdef UNZRQ_HAS_SANITIZER_RUNTIME
  __sanitizer_set_death_callback(RemoveTemporaryFolder);
#endif
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const bool inside = size > 0 && (data[0] & 1) != 0;
  const PromiseCheck check = g_checker->Check(
      data, size, inside ? ArchivePlace::kInsideTheFolder : ArchivePlace::kBesideTheFolder);
  if (!check.broken.empty()) {
    std::fprintf(stderr, "\n==unzrq-fuzzer== archive of %zu bytes, %s the output folder\n%s", size,
                 inside ? "inside" : "beside", DescribeBrokenPromises(check).c_str());
    (void)std::fflush(stderr);  // about to abort: nothing to do if it fails
    RemoveTemporaryFolder();
    std::abort();
  }
  return 0;
}
