// Ways of creating an output file, and of replacing one that is already
// there, timed against each other on the plain entries of an archive (the
// small profile: 100,000 files of 1-4 KiB). Every path is taken relative to
// the opened output folder (openat, renameat, linkat); payloads move as in
// unzrq: pieces under 16 KiB by pread and write, larger ones by the kernel
// copy.
//
//   replace_strategies STRATEGY ARCHIVE FOLDER [N]
//
// New names (the folder is created when missing):
//   fresh-excl          openat(O_CREAT | O_EXCL), write, close: unzrq's way.
//   fresh-tmpfile       an unnamed file (O_TMPFILE in the folder), written,
//                       then given its name by linkat of /proc/self/fd/N
//                       (AT_SYMLINK_FOLLOW), or by AT_EMPTY_PATH where /proc
//                       is missing; a file system without O_TMPFILE gets the
//                       O_EXCL way (counted).
// Names already there (each first fails O_EXCL, is looked at with fstatat and
// must not be the archive, as in unzrq):
//   over-unlink-create  unlinkat the old file, then O_EXCL: not atomic (a
//                       stop between the two leaves neither), a reference.
//   over-rename         a temporary name, written, closed, renameat over the
//                       old name at once, nothing flushed: unzrq today.
//   over-fsync          the same with fsync before the close (slow; a
//                       reference, not timed in rounds).
//   over-batch-syncfs   N temporaries written and closed, then one syncfs on
//                       the folder, then their N renames.
//   over-batch-sfr      the same, plus sync_file_range(SYNC_FILE_RANGE_WRITE)
//                       before each close, so that writeback starts early.
//   over-pipe-syncfs    batches of N, the syncfs of one batch on a helper
//   over-pipe-sfr       thread while the next batch is written; a batch is
//                       renamed once its syncfs has returned.
//   over-tmpfile-...    any over- way above with each file made unnamed
//                       first (as fresh-tmpfile): linkat to the output name,
//                       which fails with EEXIST, then linkat to a temporary
//                       name, then as the way named.
//   over-[tmpfile-]stage-...  any way with a temporary name, the temporaries
//                       in a folder of their own made inside the output
//                       folder (and removed at the end), renamed from there:
//                       the output folder never holds more entries than
//                       its outputs.
// Every way writes new names in place, so any of them also runs on an empty
// folder. N: files per batch, 1024 by default.
//
// Prints what it did (files created, replaced, syncfs calls, fallbacks, and
// the seconds spent in the flushes and in the renames after them).
// Image entries are skipped and make it exit 1 at the end; any failure stops
// it with a message and exit 2. Linux only.

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "plain_entries.h"

namespace {

using namespace plain_entries;

constexpr std::size_t kDirectReadBytes = std::size_t{16} * 1024;

enum class Replace { kNone, kUnlinkCreate, kRename, kFsync, kBatch, kPipe };

struct Strategy {
  bool tmpfile = false;
  bool stage = false;  // temporaries in a folder of their own
  Replace replace = Replace::kNone;
  bool start_writeback = false;  // sync_file_range before each close
};

bool ParseStrategy(std::string_view text, Strategy* strategy) {
  if (text == "fresh-excl") return true;
  if (text == "fresh-tmpfile") {
    strategy->tmpfile = true;
    return true;
  }
  if (!text.starts_with("over-")) return false;
  text.remove_prefix(5);
  if (text.starts_with("tmpfile-")) {
    strategy->tmpfile = true;
    text.remove_prefix(8);
  }
  if (text.starts_with("stage-")) {
    strategy->stage = true;
    text.remove_prefix(6);
  }
  struct Known {
    std::string_view name;
    Replace replace;
    bool start_writeback;
  };
  static const Known kKnown[] = {
      {"unlink-create", Replace::kUnlinkCreate, false},
      {"rename", Replace::kRename, false},
      {"fsync", Replace::kFsync, false},
      {"batch-syncfs", Replace::kBatch, false},
      {"batch-sfr", Replace::kBatch, true},
      {"pipe-syncfs", Replace::kPipe, false},
      {"pipe-sfr", Replace::kPipe, true},
  };
  for (const Known& known : kKnown) {
    if (text == known.name) {
      strategy->replace = known.replace;
      strategy->start_writeback = known.start_writeback;
      return true;
    }
  }
  return false;
}

struct Pending {
  char name[kNameBytes + 1];
  char temporary[96];
};

struct Counts {
  unsigned long created = 0;
  unsigned long replaced = 0;
  unsigned long flushes = 0;
  unsigned long tmpfile_fallbacks = 0;
  unsigned long empty_path_links = 0;
  double flush_seconds = 0;   // in syncfs, or waiting for the helper's
  double rename_seconds = 0;  // in the renames of finished batches
};

double Now() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

Strategy g_strategy;
int g_folder = -1;
int g_temporaries = -1;  // the folder of the temporary names
int g_archive = -1;
struct stat g_archive_stat;
std::size_t g_batch = 1024;
Counts g_counts;
unsigned char g_small[kDirectReadBytes];
std::vector<Pending> g_current;
std::vector<Pending> g_in_flight;
std::thread g_flusher;
int g_flush_error = 0;
unsigned g_attempt = 0;

void Payload(const Entry& entry, int output) {
  if (entry.size < kDirectReadBytes) {
    ReadExactly(g_archive, g_small, entry.size, entry.offset, entry.name);
    WriteExactly(output, g_small, entry.size, entry.name);
  } else {
    CopyByKernel(g_archive, entry.offset, entry.size, output, entry.name, std::size_t{64} * 1024);
  }
}

// unzrq's temporary names: as long, and as unlikely to meet another run's.
void ComposeTemporary(char* out, std::size_t capacity) {
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  const unsigned long long clock = static_cast<unsigned long long>(now.tv_sec) * 1000000000ull +
                                   static_cast<unsigned long long>(now.tv_nsec);
  (void)std::snprintf(out, capacity, ".unzrq-partial-%08x-%08x-%016llx-left-by-a-stopped-run",
                static_cast<unsigned>(getpid()), ++g_attempt, clock);
}

// The old file may be replaced: not the archive, not a folder, nothing but a
// file or a link.
void CheckReplaceable(const char* name) {
  struct stat old;
  if (fstatat(g_folder, name, &old, AT_SYMLINK_NOFOLLOW) != 0) Fail("looking at", name);
  if (old.st_dev == g_archive_stat.st_dev && old.st_ino == g_archive_stat.st_ino) {
    std::fprintf(stderr, "replace_strategies: %s is the archive\n", name);
    std::exit(2);
  }
  if (!S_ISREG(old.st_mode) && !S_ISLNK(old.st_mode)) {
    std::fprintf(stderr, "replace_strategies: %s is not a file\n", name);
    std::exit(2);
  }
}

void RenameAll(std::vector<Pending>& batch) {
  const double start = Now();
  for (const Pending& pending : batch) {
    if (renameat(g_temporaries, pending.temporary, g_folder, pending.name) != 0) {
      Fail("renaming over", pending.name);
    }
  }
  batch.clear();
  g_counts.rename_seconds += Now() - start;
}

void SyncFolder() {
  const double start = Now();
  if (syncfs(g_folder) != 0) Fail("flushing the file system of", "the folder");
  ++g_counts.flushes;
  g_counts.flush_seconds += Now() - start;
}

// The pipelined flush: waits for the batch in flight, renames it, and starts
// the flush of the current one on the helper thread.
void WaitInFlight() {
  if (!g_flusher.joinable()) return;
  const double start = Now();
  g_flusher.join();
  g_counts.flush_seconds += Now() - start;
  if (g_flush_error != 0) {
    errno = g_flush_error;
    Fail("flushing the file system of", "the folder");
  }
  ++g_counts.flushes;
  RenameAll(g_in_flight);
}

void FlushCurrent() {
  if (g_current.empty()) return;
  if (g_strategy.replace == Replace::kPipe) {
    WaitInFlight();
    g_in_flight.swap(g_current);
    g_flusher = std::thread([] { g_flush_error = syncfs(g_folder) == 0 ? 0 : errno; });
  } else {
    SyncFolder();
    RenameAll(g_current);
  }
}

// A temporary file written and closed, to go over `name`: at once, or with
// its batch.
void ReplaceWith(int output, const char* temporary, const char* name) {
  if (g_strategy.start_writeback && sync_file_range(output, 0, 0, SYNC_FILE_RANGE_WRITE) != 0) {
    Fail("starting the writeback of", temporary);
  }
  if (g_strategy.replace == Replace::kFsync && fsync(output) != 0) Fail("flushing", temporary);
  if (close(output) != 0) Fail("closing", temporary);
  ++g_counts.replaced;
  if (g_strategy.replace == Replace::kRename || g_strategy.replace == Replace::kFsync) {
    if (renameat(g_temporaries, temporary, g_folder, name) != 0) Fail("renaming over", name);
    return;
  }
  Pending pending;
  (void)std::snprintf(pending.name, sizeof pending.name, "%s", name);  // names fit
  (void)std::snprintf(pending.temporary, sizeof pending.temporary, "%s", temporary);
  g_current.push_back(pending);
  if (g_current.size() >= g_batch) FlushCurrent();
}

int CreateTemporary(char* temporary, std::size_t capacity) {
  for (int tries = 0; tries < 8; ++tries) {
    ComposeTemporary(temporary, capacity);
    const int fd = openat(g_temporaries, temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void ExtractNamed(const Entry& entry) {
  int output = openat(g_folder, entry.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (output >= 0) {
    Payload(entry, output);
    if (close(output) != 0) Fail("closing", entry.name);
    ++g_counts.created;
    return;
  }
  if (errno != EEXIST) Fail("creating", entry.name);
  if (g_strategy.replace == Replace::kNone) Fail("creating", entry.name);
  CheckReplaceable(entry.name);
  if (g_strategy.replace == Replace::kUnlinkCreate) {
    if (unlinkat(g_folder, entry.name, 0) != 0) Fail("removing", entry.name);
    output = openat(g_folder, entry.name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (output < 0) Fail("creating", entry.name);
    Payload(entry, output);
    if (close(output) != 0) Fail("closing", entry.name);
    ++g_counts.replaced;
    return;
  }
  char temporary[96];
  output = CreateTemporary(temporary, sizeof temporary);
  if (output < 0) Fail("creating a temporary beside", entry.name);
  Payload(entry, output);
  ReplaceWith(output, temporary, entry.name);
}

// Gives the unnamed file `fd` the name `name` in `folder`; false (errno
// EEXIST) when the name is taken.
bool LinkUnnamed(int fd, int folder, const char* name) {
  char proc_path[64];
  (void)std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);  // fits
  if (linkat(AT_FDCWD, proc_path, folder, name, AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno == EEXIST) return false;
  if (errno != ENOENT) Fail("naming", name);
  // No /proc: the empty path way needs CAP_DAC_READ_SEARCH.
  if (linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) {
    ++g_counts.empty_path_links;
    return true;
  }
  if (errno == EEXIST) return false;
  Fail("naming", name);
}

void ExtractUnnamed(const Entry& entry) {
  const int output = openat(g_folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (output < 0) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) Fail("creating", entry.name);
    ++g_counts.tmpfile_fallbacks;
    ExtractNamed(entry);
    return;
  }
  Payload(entry, output);
  if (LinkUnnamed(output, g_folder, entry.name)) {
    if (close(output) != 0) Fail("closing", entry.name);
    ++g_counts.created;
    return;
  }
  if (g_strategy.replace == Replace::kNone) Fail("naming", entry.name);
  CheckReplaceable(entry.name);
  if (g_strategy.replace == Replace::kUnlinkCreate) {
    if (unlinkat(g_folder, entry.name, 0) != 0) Fail("removing", entry.name);
    if (!LinkUnnamed(output, g_folder, entry.name)) Fail("naming", entry.name);
    if (close(output) != 0) Fail("closing", entry.name);
    ++g_counts.replaced;
    return;
  }
  char temporary[96];
  bool named = false;
  for (int tries = 0; tries < 8 && !named; ++tries) {
    ComposeTemporary(temporary, sizeof temporary);
    named = LinkUnnamed(output, g_temporaries, temporary);
  }
  if (!named) Fail("naming a temporary beside", entry.name);
  ReplaceWith(output, temporary, entry.name);
}

}  // namespace

int main(int argc, char** argv) {
  g_program = "replace_strategies";
  if (argc < 4 || argc > 5 || !ParseStrategy(argv[1], &g_strategy)) {
    std::fprintf(stderr,
                 "usage: replace_strategies STRATEGY ARCHIVE FOLDER [N]\n"
                 "  fresh-excl, fresh-tmpfile, over-unlink-create, over-rename, over-fsync,\n"
                 "  over-batch-syncfs, over-batch-sfr, over-pipe-syncfs, over-pipe-sfr,\n"
                 "  over-[tmpfile-][stage-]<any over- way>\n");
    return 2;
  }
  if (argc == 5) {
    g_batch = std::strtoul(argv[4], nullptr, 10);
    if (g_batch == 0) {
      std::fprintf(stderr, "replace_strategies: N must be 1 or more\n");
      return 2;
    }
  }
  g_current.reserve(g_batch);
  g_in_flight.reserve(g_batch);
  const char* folder = argv[3];
  g_archive = open(argv[2], O_RDONLY | O_CLOEXEC);
  if (g_archive < 0) Fail("opening", argv[2]);
  if (fstat(g_archive, &g_archive_stat) != 0) Fail("looking at", argv[2]);
  if (mkdir(folder, 0777) != 0 && errno != EEXIST) Fail("creating", folder);
  g_folder = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_folder < 0) Fail("opening", folder);
  g_temporaries = g_folder;
  char stage[96];
  if (g_strategy.stage) {
    ComposeTemporary(stage, sizeof stage);
    if (mkdirat(g_folder, stage, 0700) != 0) Fail("creating", stage);
    g_temporaries = openat(g_folder, stage, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_temporaries < 0) Fail("opening", stage);
  }

  int status = 0;
  ForEachEntry(g_archive, [&](const Entry& entry) {
    if (IsImage(entry.type)) {
      std::fprintf(stderr, "replace_strategies: skipped image entry %s\n", entry.name);
      status = 1;
      return;
    }
    if (g_strategy.tmpfile) {
      ExtractUnnamed(entry);
    } else {
      ExtractNamed(entry);
    }
  });
  FlushCurrent();
  WaitInFlight();
  if (g_strategy.stage && unlinkat(g_folder, stage, AT_REMOVEDIR) != 0) Fail("removing", stage);
  std::printf(
      "%s %zu: created %lu, replaced %lu, syncfs %lu, O_TMPFILE fallbacks %lu, "
      "AT_EMPTY_PATH links %lu; %.3f s in the flushes, %.3f s in the batches' renames\n",
      argv[1], g_batch, g_counts.created, g_counts.replaced, g_counts.flushes,
      g_counts.tmpfile_fallbacks, g_counts.empty_path_links, g_counts.flush_seconds,
      g_counts.rename_seconds);
  return status;
}
