// How an output takes its name, decided once for every system.
//
// A new name is the tool's main work, and it costs one exclusive create: the
// output is written in place under its own name, as extractors always have.
// Nothing is looked up first, and nothing is ever taken back from a name: an
// entry that fails or is cut short leaves what was written there, and says
// so. Only when the create finds something standing under the name is it
// looked at, and only a file or a link is replaced, by a whole entry and by a
// rename: the entry is written under a temporary name of this run beside the
// old file, its own bytes are made durable, and then it is renamed over the
// name, so that a crash or a power cut leaves the old file or the new one,
// whole. Finished replacements wait in a fixed queue, so that the flushes of
// a batch overlap instead of each waiting for the disk on its own: a window
// of files flushed at once, or, for a batch of many, one flush of the file
// system where that can be trusted.
#include <cstdio>
#include <cstring>

#include "platform/file_system.h"
#include "platform/output_primitives.h"

namespace {

// Room for an output name (64 bytes of name and ".bmp") and its NUL.
constexpr std::size_t kNameCapacity = 72;
static_assert(kTemporaryNameBytes + 1 > kNameCapacity - 3,
              "a temporary name must be longer than any output name");

// A name that vanishes between a refused create and the look at what
// refused it is created again this often before it is taken for a name to
// replace.
constexpr int kCreateTries = 4;

struct CurrentOutput {
  HANDLE file = INVALID_HANDLE_VALUE;
  bool replaces = false;  // made under `temporary`, to take the place of a file
  char name[kNameCapacity];
  unsigned count = 0;  // which of the run's temporaries
  char temporary[kTemporaryCapacity];
};

// A replacement waiting for its batch: its name and its temporary's count.
struct Waiting {
  char name[kNameCapacity];
  unsigned count;
  DWORD flush_error;
};

struct Publication {
  const OutputPrimitives* calls = &kSystemOutputPrimitives;
  bool folder_open = false;
  HANDLE archive = INVALID_HANDLE_VALUE;  // the archive the outputs are made from
  // The system cannot flush several files at once: each is flushed alone.
  bool flush_one_by_one = false;
  // The file system's own flush cannot be trusted here: files are flushed.
  bool whole_unsupported = false;
  unsigned count = 0;                // temporaries made by this run
  unsigned process = 0;              // with the clock at the folder's opening, in every temporary name
  unsigned long long clock = 0;
  CurrentOutput current;
  Waiting waiting[kReplacementBatch];
  std::size_t waiting_count = 0;
  std::size_t published = 0;  // of the waiting, how many PublishNextReplacement has handled
  std::size_t flushed = 0;    // of the waiting, how many have their flush result
  std::uint64_t waiting_bytes = 0;
  char publishing[kTemporaryCapacity];  // the temporary name PublishNextReplacement reports
  char window[kFlushWindow][kTemporaryCapacity];
  DWORD window_errors[kFlushWindow];
};

Publication g_publication;

bool CopyName(const char* name, char* out, std::size_t capacity) {
  const std::size_t length = std::strlen(name);
  if (length >= capacity) return false;
  std::memcpy(out, name, length + 1);
  return true;
}

// The temporary name of this run's `count`-th temporary. The process and the
// clock at the folder's opening tell it apart from every other run's; the
// count, from this run's others, so that a waiting replacement need keep
// only its count to know its temporary again.
void ComposeTemporaryName(unsigned count, char* temporary) {
  // Always kTemporaryNameBytes long: the buffer holds it.
  (void)std::snprintf(temporary, kTemporaryCapacity, kTemporaryNameFormat, kTemporaryNamePrefix,
                      g_publication.process, count, g_publication.clock, kTemporaryNameSuffix);
}

// Whether `name` is a temporary of this run still waiting for its rename.
bool IsWaitingTemporary(const char* name) {
  char temporary[kTemporaryCapacity];
  for (std::size_t i = g_publication.published; i < g_publication.waiting_count; ++i) {
    ComposeTemporaryName(g_publication.waiting[i].count, temporary);
    if (std::strcmp(name, temporary) == 0) return true;
  }
  return false;
}

// A new temporary of this run: another run's, or a leftover of a stopped
// one, holds the same name only by a freak of the clock, and a few tries
// with the next counts settle it.
HANDLE CreateTemporary(CurrentOutput& output, DWORD* error) {
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 8 && file == INVALID_HANDLE_VALUE; ++tries) {
    output.count = ++g_publication.count;
    ComposeTemporaryName(output.count, output.temporary);
    file = g_publication.calls->create_named(output.temporary, error);
    if (file == INVALID_HANDLE_VALUE && *error != ERROR_ALREADY_EXISTS) break;
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
      // The short alias of this run's own waiting replacement is no other
      // file's: it goes away when that one takes its name.
      return IsWaitingTemporary(long_name) ? kErrorWaitingAlias : kErrorShortName;
  }
  return kErrorNotRegularFile;
}

void Wait(const CurrentOutput& output) {
  Waiting& waiting = g_publication.waiting[g_publication.waiting_count++];
  std::memcpy(waiting.name, output.name, sizeof waiting.name);
  waiting.count = output.count;
  waiting.flush_error = NO_ERROR;
}

// Drops the current replacement; says which temporary is left when that fails.
OutputFinish Drop(CurrentOutput& output, DWORD error) {
  OutputFinish finish{error, NO_ERROR, nullptr};
  if (!g_publication.calls->drop_output(output.file, output.temporary, &finish.leftover_error)) {
    finish.leftover = output.temporary;
  }
  return finish;
}

// A whole output that is to take the place of a file: its bytes start for
// the disk now, and its rename waits for its batch.
OutputFinish FinishReplacement(CurrentOutput& output) {
  const DWORD error =
      g_publication.calls->start_flush(output.file, g_publication.waiting_count < kFlushWindow);
  if (error != NO_ERROR) return Drop(output, error);
  // The writers write from the start, in order: where the output stands is
  // its length, known without asking the system.
  LONG high = 0;
  const DWORD low = SetFilePointer(output.file, 0, &high, FILE_CURRENT);
  if (low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR) {
    g_publication.waiting_bytes += static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32 | low;
  }
  if (!CloseHandle(output.file)) {
    OutputFinish finish{GetLastError(), NO_ERROR, nullptr};
    if (!g_publication.calls->remove_own_name(output.temporary, &finish.leftover_error)) {
      finish.leftover = output.temporary;
    }
    return finish;
  }
  Wait(output);
  return {NO_ERROR, NO_ERROR, nullptr};
}

// Makes the waiting replacements durable and keeps each one's result for its
// rename: a batch of more than a window with one flush of the file system
// where that can be trusted, else the next window of them, each file on its
// own.
void FlushNextWindow() {
  const std::size_t first = g_publication.flushed;
  if (first == 0 && g_publication.waiting_count > kFlushWindow && !g_publication.whole_unsupported) {
    // Many files: one flush of the file system settles them all.
    char name[kTemporaryCapacity];
    ComposeTemporaryName(g_publication.waiting[0].count, name);
    const DWORD error = g_publication.calls->flush_file_system(name);
    if (error != ERROR_NOT_SUPPORTED) {
      for (std::size_t i = 0; i < g_publication.waiting_count; ++i) {
        g_publication.waiting[i].flush_error = error;
      }
      g_publication.flushed = g_publication.waiting_count;
      return;
    }
    g_publication.whole_unsupported = true;
  }
  std::size_t count = g_publication.waiting_count - first;
  if (count > kFlushWindow) count = kFlushWindow;
  for (std::size_t i = 0; i < count; ++i) {
    ComposeTemporaryName(g_publication.waiting[first + i].count, g_publication.window[i]);
  }
  if (!g_publication.flush_one_by_one) {
    const DWORD error =
        g_publication.calls->flush_files(g_publication.window, count, g_publication.window_errors);
    if (error == ERROR_NOT_SUPPORTED) {
      g_publication.flush_one_by_one = true;
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        g_publication.waiting[first + i].flush_error =
            error != NO_ERROR ? error : g_publication.window_errors[i];
      }
    }
  }
  if (g_publication.flush_one_by_one) {
    for (std::size_t i = 0; i < count; ++i) {
      g_publication.waiting[first + i].flush_error =
          g_publication.calls->flush_file(g_publication.window[i]);
    }
  }
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

}  // namespace

void UseOutputPrimitives(const OutputPrimitives* primitives) {
  g_publication.calls = primitives != nullptr ? primitives : &kSystemOutputPrimitives;
}

bool OpenOutputFolder(const char* folder, DWORD* error) {
  CloseOutputFolder();
  if (!g_publication.calls->open_folder(folder, error)) return false;
  g_publication.folder_open = true;
  g_publication.calls->temporary_name_seed(&g_publication.process, &g_publication.clock);
  return true;
}

void CloseOutputFolder() {
  if (g_publication.folder_open) g_publication.calls->close_folder();
  g_publication.folder_open = false;
  g_publication.flush_one_by_one = false;
  g_publication.whole_unsupported = false;
  g_publication.waiting_count = 0;
  g_publication.waiting_bytes = 0;
  g_publication.published = 0;
  g_publication.flushed = 0;
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
    HANDLE file = g_publication.calls->create_named(name, &refusal->error);
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
  if (file == INVALID_HANDLE_VALUE) {
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
  OutputFinish finish;
  // The driver publishes a full queue before the next output is made; should
  // it not, the replacement is dropped rather than written past the queue.
  if (g_publication.waiting_count >= kReplacementBatch) {
    finish = Drop(output, ERROR_INVALID_HANDLE);
  } else if (fate != OutputFate::kKeep) {
    finish = Drop(output, NO_ERROR);
  } else {
    finish = FinishReplacement(output);
  }
  // A leftover's name stays in `output` until the next output is made.
  output.file = INVALID_HANDLE_VALUE;
  return finish;
}

bool ReplacementsDue(std::uint64_t next_bytes) {
  if (g_publication.waiting_count == 0) return false;
  return g_publication.waiting_count >= kReplacementBatch ||
         g_publication.waiting_bytes >= kReplacementBatchBytes ||
         !g_publication.calls->has_room(next_bytes);
}

bool PublishNextReplacement(ReplaceReport* report) {
  if (g_publication.published >= g_publication.waiting_count) {
    g_publication.waiting_count = 0;
    g_publication.waiting_bytes = 0;
    g_publication.published = 0;
    g_publication.flushed = 0;
    return false;
  }
  if (g_publication.published >= g_publication.flushed) FlushNextWindow();
  const Waiting& waiting = g_publication.waiting[g_publication.published++];
  ComposeTemporaryName(waiting.count, g_publication.publishing);
  *report = {ReplaceOutcome::kReplaced, NO_ERROR, NO_ERROR, waiting.name, g_publication.publishing};
  if (waiting.flush_error != NO_ERROR) {
    // Bytes that may not be on the disk never take the place of a whole file.
    report->error = waiting.flush_error;
    report->outcome = g_publication.calls->remove_own_name(g_publication.publishing,
                                                           &report->leftover_error)
                          ? ReplaceOutcome::kDropped
                          : ReplaceOutcome::kLeftBehind;
  } else if (!StillReplaceable(waiting.name, &report->error) ||
             !g_publication.calls->rename_over(g_publication.publishing, waiting.name,
                                               &report->error)) {
    // The entry is whole: it stays where it is, and the report names it.
    report->outcome = ReplaceOutcome::kKeptAside;
  }
  return true;
}
