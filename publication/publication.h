// How an output takes its name, decided once for both programs and every
// system: a new name written in place, an old file replaced by a whole entry
// renamed over it, and the run's own temporary files, removed again when the
// run is stopped by a signal or a console's Ctrl-C. publication/publication.cpp
// decides; the few calls each system gives are in platform/output_primitives.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_system.h"

// Outputs are made in the output folder, which the run opens once: every
// output is created, looked up, named and renamed relative to it, so a long
// folder path costs a temporary name nothing and, on Linux, a folder renamed
// or swapped for a link during the run cannot redirect a write. On Linux the
// folder is opened for its path only, so that a folder that may be written
// but not read (a drop box) is written as any other. On Windows the folder is
// kept as a path and joined as kOutputPathFormat joins it. False with the
// reason in *error when it cannot be opened.
bool OpenOutputFolder(const char* folder, DWORD* error);
// Closes it again; replacements still waiting are forgotten, their files left
// under their temporary names (the driver publishes them before this).
void CloseOutputFolder();

// Why CreateOutputFile failed, beside the system's reason.
struct OutputRefusal {
  DWORD error;
  // A file stands under the name and the replacement's own new file could
  // not be made beside it: replacing needs the right to create a name.
  bool replacing;
  // kErrorShortName: the name of the file that `name` is only a short alias of.
  char long_name[MAX_PATH];
};

// Creates the output for `name` in the output folder, empty and open for
// writing. A new name is made at once, by one create that fails rather than
// open anything that stands there, and the output is written in place. Only
// when something stands there is it looked at, never opened for writing and
// never followed: a file or a link is replaced as a name, by an output made
// under a temporary name beside it that takes the name only when it is kept
// whole; a folder, a device, a pipe, the archive `archive` has open (under
// any of its names) and, on Windows, a name that is only another file's
// short alias are refused. INVALID_HANDLE_VALUE and *refusal when the output
// cannot be made; kErrorWaitingAlias and kErrorRoomHeldByWaiting ask the
// caller to publish the waiting replacements (PublishNextReplacement) and
// try again.
HANDLE CreateOutputFile(const char* name, HANDLE archive, OutputRefusal* refusal);

// The same for a new name only: when anything at all stands under `name` (a
// file, a link, even one that points nowhere, a folder, the archive), it is
// left as it is and the refusal is ERROR_ALREADY_EXISTS. One exclusive
// create decides, so that nothing that appears meanwhile is replaced.
HANDLE CreateOutputFileUnlessTaken(const char* name, HANDLE archive, OutputRefusal* refusal);

// What becomes of an output when it is finished.
enum class OutputFate {
  kKeep,        // whole: it keeps or takes the name, replacing what stood there
  kIncomplete,  // cut short or failed: a new name keeps what was written, and an old
                // file is never replaced by it
};

// What FinishOutputFile did beyond the fate asked.
struct OutputFinish {
  DWORD error;           // NO_ERROR, or why the bytes could not be kept (close, flush)
  DWORD leftover_error;  // NO_ERROR, or why `leftover` could not be removed
  const char* leftover;  // a temporary file of this run left in the folder, or nullptr; valid
                         // until the next CreateOutputFile
};

// Finishes the output made by CreateOutputFile as `fate` says. A new name
// was written in place and is simply closed. A replacement kept whole waits
// in a queue (ReplacementsDue), held by the run, so that its bytes are made
// durable before its rename, many at once; one given up is dropped through
// its own handle or its own temporary name, never through the name it was
// meant for.
OutputFinish FinishOutputFile(HANDLE output, OutputFate fate);

// Whether a failed write to `output`, for `error`, was a replacement's that
// found no room (a full disk, a quota) while replacements of this run wait
// for their rename and hold room beside their old files: once they are
// published (PublishNextReplacement), the entry may be written again.
bool WaitingReplacementsHoldTheRoom(HANDLE output, DWORD error);

// Replacements flushed together: enough that the flushes overlap and cost
// little per file, few enough that a run stopped leaves little behind.
// Fixed, so that the queue needs no allocation; the names wait packed in
// kReplacementNameBytes, and a batch whose names fill them ends. Until its batch is renamed
// a replacement holds disk space beside the old file, so a batch also ends
// once its files hold kReplacementBatchBytes, and before an output for which
// the disk would have no room while they wait.
inline constexpr std::size_t kReplacementBatch = 4096;
inline constexpr std::uint64_t kReplacementBatchBytes = 64ull << 20;
inline constexpr std::size_t kReplacementNameBytes = std::size_t{48} * 1024;

// True when the waiting replacements are to be published
// (PublishNextReplacement) before the next output, of about `next_bytes`
// bytes, is made: the batch is full, or the disk has no room for that
// output while they wait.
bool ReplacementsDue(std::uint64_t next_bytes);

enum class ReplaceOutcome {
  kReplaced,    // the name now holds the new file, whole and durable
  kKeptAside,   // the rename failed: the entry stays whole under `temporary`
  kDropped,     // the flush failed: the old file stays, the new one is removed
  kLeftBehind,  // the flush failed and the new file could not be removed either
  kNotOwn       // `temporary` holds another file than this run's: nothing is renamed or
                // removed, the old file stays
};

struct ReplaceReport {
  ReplaceOutcome outcome;
  DWORD error;            // why it was not replaced
  DWORD leftover_error;   // kLeftBehind: why the temporary could not be removed
  const char* name;       // the output name, in the output folder
  const char* temporary;  // its temporary name there
};

// Publishes the waiting replacements one at a time, in the order they were
// finished: their bytes are made durable (with one flush of the file system
// where that can be trusted, else each file's bytes, a window of files at a
// time), then each call renames one over its name, once its temporary name
// is seen to hold the very file the run made. False when none waits.
bool PublishNextReplacement(ReplaceReport* report);

// A temporary name says what it is, so that the leftover of a run stopped
// before its replacements were published tells itself apart:
// ".unzrq-partial-" PROCESS "-" COUNT "-" CLOCK "-left-by-a-stopped-run", in
// hexadecimal, 71 bytes in all, longer than any output name can be (64
// bytes of name and ".bmp"), so that no entry can ever be given one.
inline constexpr const char kTemporaryNamePrefix[] = ".unzrq-partial-";
inline constexpr const char kTemporaryNameSuffix[] = "-left-by-a-stopped-run";
inline constexpr const char kTemporaryNameFormat[] = "%s%08x-%08x-%016llx%s";
inline constexpr std::size_t kTemporaryNameBytes = 71;

// One file made whole beside its final name, for a caller that makes a
// single file (zrq create's archive), by the same means as a replacement:
// created under a temporary name of this run in the folder of `path`
// (which it opens as the output folder), written through the handle, then
// kept (made durable, and renamed over `path` once its temporary name is
// seen to hold it still) or discarded; removed when the run is stopped by a
// signal or a console's Ctrl-C. `temporary` (kOutputPathCapacity bytes)
// receives its path, for messages. INVALID_HANDLE_VALUE with the reason in
// *error when it cannot be made.
HANDLE CreateTemporaryBeside(const char* path, char* temporary, DWORD* error);
// Keeps it under `path`. False with the reason in *error when any step
// failed; the temporary is then removed (and *error says why not, should
// that fail too: `temporary` is left).
bool KeepTemporary(HANDLE file, const char* temporary, const char* path, DWORD* error);
// Gives it up: closed and removed. False with the reason in *error when it
// could not be removed and stays under `temporary`.
bool DiscardTemporary(HANDLE file, const char* temporary, DWORD* error);
