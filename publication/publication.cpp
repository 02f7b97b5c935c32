// How an output takes its name, decided once for every system.
//
// A new name is the tool's main work, and it costs one exclusive create: the
// output is written in place under its own name, as extractors always have.
// Nothing is looked up first, and nothing is ever taken back from a name: an
// entry that fails or is cut short leaves what was written there, and says
// so. Only when the create finds something standing under the name is it
// looked at, and only a file or a link is replaced, by a whole entry and by a
// rename: the entry is written under a temporary name of this run beside the
// old file, its bytes are made durable, and then it is renamed over the
// name, so that a crash or a power cut leaves the old file or the new one,
// whole. Finished replacements wait in a fixed queue, so that the flushes of
// a batch overlap instead of each waiting for the disk on its own: a window
// of files flushed at once, or, for a batch of many, one flush of the file
// system where that can be trusted. A waiting temporary is the run's own
// from its creation to its rename: held open where the descriptors allow,
// known by its identity where not, and never renamed once its name holds
// anything else; the run's live temporaries are removed when it is stopped.
//
// This file decides and the calls of platform/output_primitives.h do: how
// often to try again, what a failure means, which flush to trust, how much
// room to keep.
#include <cstring>

#include "platform/output_primitives.h"
#include "publication/publication.h"

namespace {

// Room for an output name (64 bytes of name and ".bmp") and its NUL.
constexpr std::size_t kNameCapacity = 72;
static_assert(kTemporaryNameBytes + 1 > kNameCapacity - 3,
              "a temporary name must be longer than any output name");

// A name that vanishes between a refused create and the look at what
// refused it is created again this often before it is taken for a name to
// replace.
constexpr int kCreateTries = 4;

// Free space kept beside an output's own bytes, and the file system's own
// blocks for it (a 32nd), before the waiting replacements must make room.
constexpr std::uint64_t kRoomMargin = std::uint64_t{1} << 20;

// Descriptors kept for everything but the waiting temporaries: the standard
// streams, the archive's two handles, the folder, the output being written,
// the kernel's ring, and a window of temporaries opened again to be flushed.
constexpr std::size_t kOpenFilesKept = 16 + kFlushWindow;

// A rename refused because another program holds the old file open (a
// viewer, an indexer, a virus scanner) is tried again after these pauses,
// about a second in all, before the entry is kept aside.
constexpr unsigned kRenamePauses[] = {10, 20, 40, 80, 160, 320, 640};

struct CurrentOutput {
  HANDLE file = INVALID_HANDLE_VALUE;
  bool replaces = false;  // made under `temporary`, to take the place of a file
  char name[kNameCapacity];
  unsigned number = 0;  // which of the run's temporaries
  char temporary[kTemporaryCapacity];
};

// A whole replacement queued for its batch's flush and rename.
struct QueuedReplacement {
  std::uint32_t name_at;  // where its output name starts in Publication::names
  unsigned number;        // its temporary's number
  DWORD error;            // why it may not be renamed (its flush failed, its name was taken)
  HeldFile held;
};

struct Publication {
  const OutputPrimitives* calls = &kSystemOutputPrimitives;
  bool folder_open = false;
  HANDLE archive = INVALID_HANDLE_VALUE;  // the archive the outputs are made from
  // The file system's own flush reports every failed write here: a batch of
  // many is flushed with it.
  bool file_system_flush_trusted = false;
  // The system flushes several files at once (else one after the other).
  bool flushes_together = true;
  std::size_t hold_limit = 0;  // how many queued temporaries may stay open
  std::size_t held_open = 0;
  unsigned numbers = 0;  // temporaries made by this run
  unsigned process = 0;  // with the clock at the folder's opening, in every temporary name
  unsigned long long clock = 0;
  CurrentOutput current;
  QueuedReplacement queue[kReplacementBatch];
  char names[kReplacementNameBytes];
  std::size_t names_used = 0;
  std::size_t queued = 0;
  std::size_t published = 0;  // of the queued, how many PublishNextReplacement has handled
  std::size_t flushed = 0;    // of the queued, how many have their flush result
  std::uint64_t queued_bytes = 0;
  char publishing[kTemporaryCapacity];  // the temporary name PublishNextReplacement reports
  HeldFile window[kFlushWindow];
  std::size_t window_entries[kFlushWindow];
  DWORD window_errors[kFlushWindow];
  LiveTemporaries live;  // what a stop of the run removes
};

Publication g_publication;

bool CopyName(const char* name, char* out, std::size_t capacity) {
  const std::size_t length = std::strlen(name);
  if (length >= capacity) return false;
  std::memcpy(out, name, length + 1);
  return true;
}

char* PutText(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

char* PutHex(char* out, unsigned long long value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    *out++ = "0123456789abcdef"[(value >> shift) & 0xF];
  }
  return out;
}

// The temporary name of this run's `number`-th temporary:
// kTemporaryNamePrefix, the process, the number and the clock in
// hexadecimal, kTemporaryNameSuffix. The process and the clock at the
// folder's opening tell it apart from every other run's; the number, from
// this run's others, so that a queued replacement need keep only its number
// to know its temporary again. Composed by hand, so that a signal handler may
// compose it too.
void ComposeTemporaryName(unsigned number, char* temporary) {
  char* out = PutText(temporary, kTemporaryNamePrefix);
  out = PutHex(out, g_publication.process, 8);
  *out++ = '-';
  out = PutHex(out, number, 8);
  *out++ = '-';
  out = PutHex(out, g_publication.clock, 16);
  out = PutText(out, kTemporaryNameSuffix);
  *out = '\0';
}

const char* QueuedName(const QueuedReplacement& queued) {
  return g_publication.names + queued.name_at;
}

// Whether `name` is a temporary of this run still waiting for its rename.
bool IsQueuedTemporary(const char* name) {
  char temporary[kTemporaryCapacity];
  for (std::size_t i = g_publication.published; i < g_publication.queued; ++i) {
    ComposeTemporaryName(g_publication.queue[i].number, temporary);
    if (std::strcmp(name, temporary) == 0) return true;
  }
  return false;
}

// The temporaries a stop removes: from the first not yet published (else
// the one being made, `current`, if any) to the last made.
void UpdateStopRemoval(unsigned current = 0) {
  unsigned first = current != 0 ? current : g_publication.numbers + 1;
  if (g_publication.published < g_publication.queued) {
    first = g_publication.queue[g_publication.published].number;
  }
  LiveTemporaries& live = g_publication.live;
  live.next.store(first);  // never wider than the old range or the new one meanwhile
  live.compose.store(ComposeTemporaryName);
  live.first.store(first);
  live.next.store(g_publication.numbers + 1);
}

// A new temporary of this run: another run's, or a leftover of a stopped
// one, holds the same name only by a freak of the clock, and a few tries
// with the next numbers settle it. It is in the stop's removal before it
// exists.
HANDLE CreateTemporary(CurrentOutput& output, DWORD* error) {
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 8 && file == INVALID_HANDLE_VALUE; ++tries) {
    output.number = ++g_publication.numbers;
    ComposeTemporaryName(output.number, output.temporary);
    UpdateStopRemoval(output.number);
    file = g_publication.calls->create_named(output.temporary, error);
    if (file == INVALID_HANDLE_VALUE && *error != ERROR_ALREADY_EXISTS) break;
  }
  return file;
}

// Closes the queued temporaries held open, but the first of the batch: its
// descriptor, opened before the batch's first write, is the one whose
// flush of the file system reports every failure since.
void LetGoOfHeld() {
  for (std::size_t i = 1; i < g_publication.queued; ++i) {
    QueuedReplacement& queued = g_publication.queue[i];
    if (queued.held.open < 0) continue;
    const DWORD error = g_publication.calls->let_go(&queued.held);
    if (queued.error == NO_ERROR) queued.error = error;
  }
  g_publication.held_open = g_publication.queued > 0 && g_publication.queue[0].held.open >= 0;
  // Descriptors are short: the rest of the run holds no more.
  g_publication.hold_limit = 1;
}

// Creates `name` in the folder; a run out of descriptors lets go of the
// queued temporaries it holds and tries once more.
HANDLE CreateNamed(const char* name, DWORD* error) {
  HANDLE file = g_publication.calls->create_named(name, error);
  if (file == INVALID_HANDLE_VALUE && *error == kErrorTooManyOpenFiles &&
      g_publication.held_open > 0) {
    LetGoOfHeld();
    file = g_publication.calls->create_named(name, error);
  }
  return file;
}

// What a name that refused the create holds decides what becomes of the
// entry: a file is replaced, anything else is refused. kAbsent: the name
// went away meanwhile, and the create is tried again.
DWORD JudgeStanding(NameKind kind, const char* long_name) {
  switch (kind) {
    case NameKind::kAbsent: return ERROR_ALREADY_EXISTS;
    case NameKind::kFile: return NO_ERROR;
    case NameKind::kLinkToFolder: return kErrorLinkToFolder;
    case NameKind::kFolder: return kErrorNameIsFolder;
    case NameKind::kOther: return kErrorNotRegularFile;
    case NameKind::kArchive: return kErrorOutputIsArchive;
    case NameKind::kShortAlias:
      // The short alias of this run's own queued replacement is no other
      // file's: it goes away when that one takes its name.
      return IsQueuedTemporary(long_name) ? kErrorWaitingAlias : kErrorShortName;
  }
  return kErrorNotRegularFile;
}

// Whether the system's code says the disk or the quota has no room left.
bool MeansNoRoom(DWORD error) { return error == ERROR_DISK_FULL || error == kErrorQuotaExceeded; }

// Drops the current replacement; says which temporary is left when that fails.
OutputFinish Drop(CurrentOutput& output, DWORD error) {
  OutputFinish finish{error, NO_ERROR, nullptr};
  if (!g_publication.calls->drop_output(output.file, output.temporary, &finish.leftover_error)) {
    finish.leftover = output.temporary;
  }
  return finish;
}

// A whole output that is to take the place of a file: its bytes start for
// the disk now where its batch may still be flushed file by file, and it is
// queued for its batch's flush and rename, held open while the descriptors
// allow.
OutputFinish FinishReplacement(CurrentOutput& output) {
  const std::size_t name_bytes = std::strlen(output.name) + 1;
  if (g_publication.queued >= kReplacementBatch ||
      g_publication.names_used + name_bytes > sizeof g_publication.names) {
    // The caller publishes a full queue before the next output is made;
    // should it not, the replacement is dropped rather than written past it.
    return Drop(output, ERROR_INVALID_HANDLE);
  }
  if (g_publication.queued < kFlushWindow) {
    // Only a failed write counts: a system that cannot start the writing
    // early leaves it to the flush.
    const DWORD error = g_publication.calls->start_write_back(output.file);
    if (error == kErrorWriteFailed || MeansNoRoom(error)) return Drop(output, error);
  }
  // The writers write from the start, in order: where the output stands is
  // its length, known without asking the system.
  LONG high = 0;
  const DWORD low = SetFilePointer(output.file, 0, &high, FILE_CURRENT);
  if (low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR) {
    g_publication.queued_bytes += static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32 | low;
  }
  // The first of a batch is always held: its flush of the file system needs it.
  const bool keep_open =
      g_publication.queued == 0 || g_publication.held_open < g_publication.hold_limit;
  QueuedReplacement& queued = g_publication.queue[g_publication.queued];
  queued.held = kNotHeld;
  DWORD error = NO_ERROR;
  if (!g_publication.calls->hold(output.file, keep_open, &queued.held, &error)) {
    OutputFinish finish{error, NO_ERROR, nullptr};
    if (!g_publication.calls->remove_own_name(output.temporary, &finish.leftover_error)) {
      finish.leftover = output.temporary;
    }
    return finish;
  }
  if (queued.held.open >= 0) ++g_publication.held_open;
  queued.name_at = static_cast<std::uint32_t>(g_publication.names_used);
  std::memcpy(g_publication.names + g_publication.names_used, output.name, name_bytes);
  g_publication.names_used += name_bytes;
  queued.number = output.number;
  queued.error = NO_ERROR;
  ++g_publication.queued;
  return {NO_ERROR, NO_ERROR, nullptr};
}

// Whether the waiting files' file system may be flushed at once: only
// where its flush is known to report every failed write, on a descriptor
// opened before the batch's first write (the first temporary's, held open
// for it). Local file systems that pass their own commit errors to the
// flush of the whole file system do so from Linux 5.17; a FUSE file system
// is not asked at all unless it says it wants to be, and network and other
// file systems are not known to report a lost write there: each file is
// flushed on its own.
bool TrustFileSystemFlush(const FileSystemFacts& facts) {
  switch (facts.kind) {
    case FileSystemKind::kExt4:
    case FileSystemKind::kXfs:
    case FileSystemKind::kBtrfs: break;
    case FileSystemKind::kUnknown:
    case FileSystemKind::kFuse:
    case FileSystemKind::kOther: return false;
  }
  return facts.kernel_major > 5 || (facts.kernel_major == 5 && facts.kernel_minor >= 17);
}

// Flushes the files of the window [0, count) each on its own, together
// where the system can, and puts each one's result in window_errors. A file
// that failed together is flushed alone before its failure counts.
void FlushWindowFiles(std::size_t count) {
  if (count == 0) return;
  HeldFile* files = g_publication.window;
  DWORD* errors = g_publication.window_errors;
  if (g_publication.flushes_together) {
    const DWORD error =
        g_publication.calls->make_durable(files, count, Durability::kTogether, errors);
    if (error == NO_ERROR) {
      for (std::size_t i = 0; i < count; ++i) {
        if (errors[i] != NO_ERROR) {
          (void)g_publication.calls->make_durable(&files[i], 1, Durability::kOneByOne, &errors[i]);
        }
      }
      return;
    }
    g_publication.flushes_together = false;
  }
  (void)g_publication.calls->make_durable(files, count, Durability::kOneByOne, errors);
}

// Puts the window's results into the queue, and lets go of its files.
void SettleWindow(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    QueuedReplacement& queued = g_publication.queue[g_publication.window_entries[i]];
    queued.held = g_publication.window[i];
    DWORD error = g_publication.window_errors[i];
    const DWORD closed = g_publication.calls->let_go(&queued.held);
    if (error == NO_ERROR) error = closed;
    if (queued.error == NO_ERROR) queued.error = error;
  }
}

// Flushes the queued replacements [first, first + count) each on its own:
// those held open as they are, the others opened again (never through a
// link, never a pipe, only the very file the run made). Where the run is out
// of descriptors, those that could not be opened are flushed one at a time.
void FlushEachFile(std::size_t first, std::size_t count) {
  std::size_t in_window = 0;
  std::size_t short_of_descriptors[kFlushWindow];
  std::size_t short_count = 0;
  for (std::size_t i = first; i < first + count; ++i) {
    QueuedReplacement& queued = g_publication.queue[i];
    if (queued.error != NO_ERROR) continue;
    if (queued.held.open < 0) {
      char temporary[kTemporaryCapacity];
      ComposeTemporaryName(queued.number, temporary);
      DWORD error = NO_ERROR;
      if (!g_publication.calls->open_held(temporary, &queued.held, &error)) {
        if (error == kErrorTooManyOpenFiles) {
          short_of_descriptors[short_count++] = i;
        } else {
          queued.error = error;
        }
        continue;
      }
    } else {
      --g_publication.held_open;
    }
    g_publication.window[in_window] = queued.held;
    g_publication.window_entries[in_window++] = i;
  }
  FlushWindowFiles(in_window);
  SettleWindow(in_window);
  for (std::size_t k = 0; k < short_count; ++k) {
    QueuedReplacement& queued = g_publication.queue[short_of_descriptors[k]];
    char temporary[kTemporaryCapacity];
    ComposeTemporaryName(queued.number, temporary);
    DWORD error = NO_ERROR;
    if (!g_publication.calls->open_held(temporary, &queued.held, &error)) {
      queued.error = error;
      continue;
    }
    g_publication.window[0] = queued.held;
    g_publication.window_entries[0] = short_of_descriptors[k];
    (void)g_publication.calls->make_durable(g_publication.window, 1, Durability::kOneByOne,
                                            g_publication.window_errors);
    SettleWindow(1);
  }
}

// Makes the queued replacements durable and keeps each one's result for its
// rename: a batch of more than a window with one flush of the file system
// where that can be trusted, else the next window of them, each file on its
// own. A failed flush of the file system may be another program's lost
// write: each file is then flushed on its own before any is dropped.
void FlushNextWindow() {
  const std::size_t first = g_publication.flushed;
  const std::size_t queued = g_publication.queued;
  if (first == 0 && queued > kFlushWindow && g_publication.file_system_flush_trusted &&
      g_publication.queue[0].held.open >= 0) {
    DWORD error = NO_ERROR;
    (void)g_publication.calls->make_durable(&g_publication.queue[0].held, 1,
                                            Durability::kFileSystem, &error);
    if (error == NO_ERROR) {
      for (std::size_t i = 0; i < queued; ++i) {
        QueuedReplacement& entry = g_publication.queue[i];
        if (entry.held.open < 0) continue;
        const DWORD closed = g_publication.calls->let_go(&entry.held);
        if (entry.error == NO_ERROR) entry.error = closed;
      }
      g_publication.held_open = 0;
      g_publication.flushed = queued;
      return;
    }
  }
  std::size_t count = queued - first;
  if (count > kFlushWindow) count = kFlushWindow;
  FlushEachFile(first, count);
  g_publication.flushed = first + count;
}

// The name is looked at again just before the rename: what stood there when
// the output was made may have been swapped meanwhile for something that is
// never replaced (a pipe, a device, a folder, another file's short alias).
bool StillReplaceable(const char* name, DWORD* error) {
  NameKind kind = NameKind::kAbsent;
  char long_name[MAX_PATH];
  if (!g_publication.calls->look_at_name(name, g_publication.archive, &kind, long_name, error)) {
    return false;
  }
  if (kind == NameKind::kAbsent) return true;
  *error = JudgeStanding(kind, long_name);
  return *error == NO_ERROR;
}

// Whether `temporary` still holds the file the run made and let go of.
bool StillOwn(const char* temporary, const HeldFile& held, DWORD* error) {
  bool same = false;
  if (!g_publication.calls->is_held_file(temporary, held, &same, error)) return false;
  if (!same) *error = kErrorNotOwnTemporary;
  return same;
}

// Renames `from` over `to`. Where a file held open by another program or
// flagged read-only refuses it, the flag of a file with no other name is
// taken off (as on Linux, where only the folder's permissions decide) and
// the rename is tried again after a pause, a few times; a flag taken off is
// put back should the rename fail after all.
bool RenameOver(const char* from, const char* to, DWORD* error) {
  const OutputPrimitives& calls = *g_publication.calls;
  if (calls.rename_over(from, to, error)) return true;
  if (!calls.renames_wait_for_others) return false;
  ReadOnlyMark cleared;
  for (const unsigned pause : kRenamePauses) {
    if (*error == ERROR_ACCESS_DENIED && !cleared.read_only) {
      ReadOnlyMark mark;
      if (calls.read_only_mark(to, &mark) && mark.read_only) {
        // Its other names would lose their protection with it.
        if (mark.names > 1) {
          *error = kErrorHardLinkedReadOnly;
          return false;
        }
        if (calls.set_attributes(to, mark, mark.attributes & ~kReadOnlyAttribute)) {
          cleared = mark;
          if (calls.rename_over(from, to, error)) return true;
        }
      }
    }
    if (*error != kErrorSharingViolation && *error != ERROR_ACCESS_DENIED &&
        *error != kErrorLockViolation) {
      break;
    }
    calls.pause(pause);
    if (calls.rename_over(from, to, error)) return true;
  }
  // The rename's failure is what is told.
  if (cleared.read_only) (void)calls.set_attributes(to, cleared, cleared.attributes);
  return false;
}

void ForgetQueue() {
  for (std::size_t i = 0; i < g_publication.queued; ++i) {
    if (g_publication.queue[i].held.open >= 0) {
      (void)g_publication.calls->let_go(&g_publication.queue[i].held);
    }
  }
  g_publication.queued = 0;
  g_publication.queued_bytes = 0;
  g_publication.names_used = 0;
  g_publication.published = 0;
  g_publication.flushed = 0;
  g_publication.held_open = 0;
}

}  // namespace

void UseOutputPrimitives(const OutputPrimitives* primitives) {
  g_publication.calls = primitives != nullptr ? primitives : &kSystemOutputPrimitives;
}

bool OpenOutputFolder(const char* folder, DWORD* error) {
  CloseOutputFolder();
  if (!g_publication.calls->open_folder(folder, error)) return false;
  g_publication.folder_open = true;
  g_publication.calls->remove_on_stop(&g_publication.live);
  g_publication.calls->temporary_name_seed(&g_publication.process, &g_publication.clock);
  FileSystemFacts facts;
  g_publication.calls->describe_file_system(&facts);
  g_publication.file_system_flush_trusted = TrustFileSystemFlush(facts);
  g_publication.flushes_together = true;
  const std::size_t allowed = g_publication.calls->open_files_allowed();
  g_publication.hold_limit = allowed > kOpenFilesKept ? allowed - kOpenFilesKept : 1;
  return true;
}

void CloseOutputFolder() {
  ForgetQueue();
  if (g_publication.folder_open) {
    g_publication.live.next.store(0);
    g_publication.calls->close_folder();
  }
  g_publication.folder_open = false;
  g_publication.current.file = INVALID_HANDLE_VALUE;
}

namespace {

// CreateOutputFile, or with `keep_taken` CreateOutputFileUnlessTaken.
HANDLE CreateOutput(const char* name, HANDLE archive, bool keep_taken, OutputRefusal* refusal) {
  refusal->error = NO_ERROR;
  refusal->replacing = false;
  refusal->long_name[0] = '\0';
  CurrentOutput& output = g_publication.current;
  if (!g_publication.folder_open) {
    refusal->error = ERROR_INVALID_HANDLE;
    return INVALID_HANDLE_VALUE;
  }
  if (!CopyName(name, output.name, sizeof output.name)) {
    refusal->error = ERROR_FILENAME_EXCED_RANGE;
    return INVALID_HANDLE_VALUE;
  }
  g_publication.archive = archive;
  output.replaces = false;
  for (int tries = 0; tries < kCreateTries; ++tries) {
    HANDLE file = CreateNamed(name, &refusal->error);
    if (file != INVALID_HANDLE_VALUE) {
      output.file = file;
      return file;
    }
    if (refusal->error != ERROR_ALREADY_EXISTS && refusal->error != ERROR_ACCESS_DENIED) {
      return INVALID_HANDLE_VALUE;
    }
    // Something may stand there (a folder refuses the create as denied on
    // some systems): what it is decides.
    const DWORD create_error = refusal->error;
    NameKind kind = NameKind::kAbsent;
    if (!g_publication.calls->look_at_name(name, archive, &kind, refusal->long_name,
                                           &refusal->error)) {
      return INVALID_HANDLE_VALUE;
    }
    if (kind == NameKind::kAbsent && create_error != ERROR_ALREADY_EXISTS) {
      refusal->error = create_error;
      return INVALID_HANDLE_VALUE;
    }
    // Whatever the create found there stays, even what the look cannot see.
    if (keep_taken) {
      refusal->error = ERROR_ALREADY_EXISTS;
      return INVALID_HANDLE_VALUE;
    }
    refusal->error = JudgeStanding(kind, refusal->long_name);
    if (refusal->error == NO_ERROR) break;
    if (refusal->error != ERROR_ALREADY_EXISTS) return INVALID_HANDLE_VALUE;
  }
  // The create keeps finding something the look does not see (under wine, a
  // host's link that points nowhere), or the name keeps coming and going: it
  // is replaced as a name, never written through, and judged again before
  // the rename.
  output.replaces = true;
  HANDLE file = CreateTemporary(output, &refusal->error);
  if (file == INVALID_HANDLE_VALUE && refusal->error == kErrorTooManyOpenFiles &&
      g_publication.held_open > 0) {
    LetGoOfHeld();
    file = CreateTemporary(output, &refusal->error);
  }
  if (file == INVALID_HANDLE_VALUE) {
    // No room for the name of a temporary (no free inode, a quota) while a
    // batch holds the room: the caller publishes it and tries again, once
    // (with nothing waiting, this refusal is final).
    if (MeansNoRoom(refusal->error) && g_publication.published < g_publication.queued) {
      refusal->error = kErrorRoomHeldByWaiting;
      return file;
    }
    refusal->replacing = true;
    return file;
  }
  output.file = file;
  return file;
}

}  // namespace

HANDLE CreateOutputFile(const char* name, HANDLE archive, OutputRefusal* refusal) {
  return CreateOutput(name, archive, false, refusal);
}

HANDLE CreateOutputFileUnlessTaken(const char* name, HANDLE archive, OutputRefusal* refusal) {
  return CreateOutput(name, archive, true, refusal);
}

OutputFinish FinishOutputFile(HANDLE output_file, OutputFate fate) {
  CurrentOutput& output = g_publication.current;
  if (output_file == INVALID_HANDLE_VALUE || output_file != output.file) {
    return {ERROR_INVALID_HANDLE, NO_ERROR, nullptr};
  }
  output.file = INVALID_HANDLE_VALUE;
  if (!output.replaces) {
    // A new name keeps what was written, whole or not; a failed close (a
    // file system that writes back late) is told.
    if (!CloseHandle(output_file)) return {GetLastError(), NO_ERROR, nullptr};
    return {NO_ERROR, NO_ERROR, nullptr};
  }
  output.file = output_file;
  const OutputFinish finish =
      fate == OutputFate::kKeep ? FinishReplacement(output) : Drop(output, NO_ERROR);
  // A leftover's name stays in `output` until the next output is made.
  output.file = INVALID_HANDLE_VALUE;
  return finish;
}

bool WaitingReplacementsHoldTheRoom(HANDLE output, DWORD error) {
  const CurrentOutput& current = g_publication.current;
  return output != INVALID_HANDLE_VALUE && output == current.file && current.replaces &&
         MeansNoRoom(error) && g_publication.published < g_publication.queued;
}

bool ReplacementsDue(std::uint64_t next_bytes) {
  if (g_publication.queued == 0) return false;
  if (g_publication.queued >= kReplacementBatch ||
      g_publication.names_used + kNameCapacity > sizeof g_publication.names ||
      g_publication.queued_bytes >= kReplacementBatchBytes) {
    return true;
  }
  std::uint64_t free_bytes = 0;
  // Where the room cannot be told, the write tells.
  if (!g_publication.calls->free_space(&free_bytes)) return false;
  return free_bytes < next_bytes + next_bytes / 32 + kRoomMargin;
}

bool PublishNextReplacement(ReplaceReport* report) {
  if (g_publication.published >= g_publication.queued) {
    ForgetQueue();
    UpdateStopRemoval();
    return false;
  }
  if (g_publication.published >= g_publication.flushed) FlushNextWindow();
  const QueuedReplacement& queued = g_publication.queue[g_publication.published++];
  ComposeTemporaryName(queued.number, g_publication.publishing);
  *report = {ReplaceOutcome::kReplaced, NO_ERROR, NO_ERROR, QueuedName(queued),
             g_publication.publishing};
  DWORD error = NO_ERROR;
  if (queued.error == kErrorNotOwnTemporary ||
      !StillOwn(g_publication.publishing, queued.held, &error)) {
    // Someone put another file under the temporary's name: it is neither
    // renamed over the output nor removed.
    report->error = queued.error == kErrorNotOwnTemporary ? queued.error : error;
    report->outcome = ReplaceOutcome::kNotOwn;
  } else if (queued.error != NO_ERROR) {
    // Bytes that may not be durable never take the place of a whole file.
    report->error = queued.error;
    report->outcome =
        g_publication.calls->remove_own_name(g_publication.publishing, &report->leftover_error)
            ? ReplaceOutcome::kDropped
            : ReplaceOutcome::kLeftBehind;
  } else if (!StillReplaceable(report->name, &report->error) ||
             !RenameOver(g_publication.publishing, report->name, &report->error)) {
    // The entry is whole: it stays where it is, and the report names it;
    // unless the rename found, on checking the temporary at the last
    // moment, that it is no longer the run's own file.
    report->outcome = report->error == kErrorNotOwnTemporary ? ReplaceOutcome::kNotOwn
                                                             : ReplaceOutcome::kKeptAside;
  }
  UpdateStopRemoval();
  return true;
}

namespace {

// Where the last component of `path` starts.
std::size_t LastComponent(const char* path) {
  std::size_t start = 0;
  for (std::size_t i = 0; path[i] != '\0'; ++i) {
    if (path[i] == '/' || (UNZRQ_PATH_SEPARATOR[0] == '\\' && path[i] == '\\')) start = i + 1;
  }
  return start;
}

}  // namespace

HANDLE CreateTemporaryBeside(const char* path, char* temporary, DWORD* error) {
  const std::size_t start = LastComponent(path);
  char folder[kOutputPathCapacity];
  if (start + 1 > sizeof folder || path[start] == '\0') {
    // A path that ends in a separator names a folder.
    *error = start + 1 > sizeof folder ? ERROR_FILENAME_EXCED_RANGE : kErrorNameIsFolder;
    return INVALID_HANDLE_VALUE;
  }
  if (start == 0) {
    std::memcpy(folder, ".", 2);
  } else {
    // The root keeps its separator: "/name" is in "/".
    const std::size_t length = start > 1 ? start - 1 : start;
    std::memcpy(folder, path, length);
    folder[length] = '\0';
  }
  if (start + kTemporaryCapacity > kOutputPathCapacity) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return INVALID_HANDLE_VALUE;
  }
  if (!OpenOutputFolder(folder, error)) return INVALID_HANDLE_VALUE;
  CurrentOutput& output = g_publication.current;
  output.replaces = true;
  output.name[0] = '\0';
  HANDLE file = CreateTemporary(output, error);
  if (file == INVALID_HANDLE_VALUE) {
    CloseOutputFolder();
    return file;
  }
  output.file = file;
  std::memcpy(temporary, path, start);
  std::memcpy(temporary + start, output.temporary, kTemporaryCapacity);
  return file;
}

bool KeepTemporary(HANDLE file, const char* /*temporary*/, const char* path, DWORD* error) {
  CurrentOutput& output = g_publication.current;
  if (file == INVALID_HANDLE_VALUE || file != output.file) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  output.file = INVALID_HANDLE_VALUE;
  const OutputPrimitives& calls = *g_publication.calls;
  HeldFile held = kNotHeld;
  // Renamed before its bytes are durable, a power cut could leave an empty
  // file under the name that held the old one.
  bool kept = calls.hold(file, true, &held, error);
  if (kept) {
    DWORD flushed = NO_ERROR;
    (void)calls.make_durable(&held, 1, Durability::kOneByOne, &flushed);
    const DWORD closed = calls.let_go(&held);
    *error = flushed != NO_ERROR ? flushed : closed;
    kept = *error == NO_ERROR && StillOwn(output.temporary, held, error);
    if (*error == kErrorNotOwnTemporary) {
      // Someone else's file under the name: neither renamed nor removed.
      CloseOutputFolder();
      return false;
    }
    kept = kept && RenameOver(output.temporary, path + LastComponent(path), error);
  }
  if (!kept) {
    DWORD ignored = NO_ERROR;
    (void)calls.remove_own_name(output.temporary, &ignored);
  }
  CloseOutputFolder();
  return kept;
}

bool DiscardTemporary(HANDLE file, const char* /*temporary*/, DWORD* error) {
  CurrentOutput& output = g_publication.current;
  if (file == INVALID_HANDLE_VALUE || file != output.file) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  output.file = INVALID_HANDLE_VALUE;
  const bool removed = g_publication.calls->drop_output(file, output.temporary, error);
  CloseOutputFolder();
  return removed;
}
