// How an output takes its name, decided once for every system.
//
// An output is published, never patched: it is written where no name reaches
// it (unnamed, or under a temporary name of this run) and takes its name only
// when it is finished and kept. A new name is published at once, by a call
// that fails rather than replace a name another run made meanwhile. An old
// file is replaced only by a whole entry, only by a rename, and only after
// the new bytes are on the disk, so that a crash or a power cut leaves the old
// file or the new one, whole. Flushing file by file would cost a disk flush
// per file; instead finished replacements wait in a fixed queue, and one
// flush of the folder's file system settles a whole batch before their
// renames. An output given up is dropped through its own handle or its own
// temporary name, never through the name it was meant for, which another
// run may have filled meanwhile.
#include <cstdio>
#include <cstring>

#include "platform/file_system.h"
#include "platform/output_primitives.h"

namespace {

// Room for an output name (64 bytes of name and ".bmp") and its NUL.
constexpr std::size_t kNameCapacity = 72;
constexpr std::size_t kTemporaryCapacity = kTemporaryNameBytes + 1;
static_assert(kTemporaryNameBytes + 1 > kNameCapacity - 3,
              "a temporary name must be longer than any output name");

enum class Way {
  kUnnamed,    // no name until LinkOutput gives it one
  kTemporary,  // under `temporary` until renamed
  kInPlace,    // Windows, in a folder too long for a temporary name: made under its own name
};

struct CurrentOutput {
  HANDLE file = INVALID_HANDLE_VALUE;
  Way way = Way::kUnnamed;
  bool replaces = false;  // a file stood under the name when the output was made
  char name[kNameCapacity];
  unsigned count = 0;  // kTemporary: which of the run's temporaries
  char temporary[kTemporaryCapacity];
};

// A replacement waiting for its batch: its name and its temporary's count.
struct Waiting {
  char name[kNameCapacity];
  unsigned count;
};

struct Publication {
  bool folder_open = false;
  bool unnamed_unsupported = false;  // the folder's file system refused once: not asked again
  unsigned count = 0;                // temporaries made by this run
  unsigned process = 0;              // with the clock at the folder's opening, in every temporary name
  unsigned long long clock = 0;
  CurrentOutput current;
  Waiting waiting[kReplacementBatch];
  std::size_t waiting_count = 0;
  std::size_t published = 0;  // of the waiting, how many PublishNextReplacement has handled
  std::uint64_t waiting_bytes = 0;
  DWORD flush_error = NO_ERROR;
  char publishing[kTemporaryCapacity];  // the temporary name PublishNextReplacement reports
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

// A new temporary of this run: another run's, or a leftover of a stopped
// one, holds the same name only by a freak of the clock, and a few tries
// with the next counts settle it.
HANDLE CreateTemporary(CurrentOutput& output, DWORD* error) {
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 8 && file == INVALID_HANDLE_VALUE; ++tries) {
    output.count = ++g_publication.count;
    ComposeTemporaryName(output.count, output.temporary);
    file = CreateNamedOutput(output.temporary, error);
    if (file == INVALID_HANDLE_VALUE && *error != ERROR_ALREADY_EXISTS) break;
  }
  return file;
}

// A temporary name for the unnamed output, so that it can wait for its rename.
bool LinkTemporary(CurrentOutput& output, DWORD* error) {
  for (int tries = 0; tries < 8; ++tries) {
    output.count = ++g_publication.count;
    ComposeTemporaryName(output.count, output.temporary);
    bool exists = false;
    if (LinkOutput(output.file, output.temporary, &exists, error)) return true;
    if (!exists) return false;
  }
  return false;
}

void Wait(const CurrentOutput& output) {
  Waiting& waiting = g_publication.waiting[g_publication.waiting_count++];
  std::memcpy(waiting.name, output.name, sizeof waiting.name);
  waiting.count = output.count;
}

// Drops the current output; says which temporary is left when that fails.
OutputFinish Drop(CurrentOutput& output, DWORD error) {
  OutputFinish finish{error, NO_ERROR, nullptr};
  const char* temporary = output.way == Way::kTemporary ? output.temporary : nullptr;
  if (!DropOutput(output.file, temporary, &finish.leftover_error)) finish.leftover = temporary;
  return finish;
}

// A closed temporary that must not stay: removed by its own name.
OutputFinish RemoveTemporary(const CurrentOutput& output, DWORD error) {
  OutputFinish finish{error, NO_ERROR, nullptr};
  if (!RemoveOwnName(output.temporary, &finish.leftover_error)) finish.leftover = output.temporary;
  return finish;
}

// A whole output that is to take the place of a file: its bytes go to the
// disk with its batch, and its rename waits for that.
OutputFinish FinishReplacement(CurrentOutput& output) {
  if (output.way == Way::kUnnamed) {
    DWORD error = NO_ERROR;
    if (!LinkTemporary(output, &error)) return Drop(output, error);
    output.way = Way::kTemporary;
  }
  DWORD error = BeginFlush(output.file);
  if (error != NO_ERROR) return Drop(output, error);
  DWORD high = 0;
  const DWORD low = GetFileSize(output.file, &high);
  if (low != INVALID_FILE_SIZE || GetLastError() == NO_ERROR) {
    g_publication.waiting_bytes += static_cast<std::uint64_t>(high) << 32 | low;
  }
  if (!CloseHandle(output.file)) return RemoveTemporary(output, GetLastError());
  Wait(output);
  return {NO_ERROR, NO_ERROR, nullptr};
}

// A new name, published without replacing anything. When the name appeared
// meanwhile (another run made it), a whole output replaces it as an old file;
// any other keeps away from it.
OutputFinish FinishNewName(CurrentOutput& output, OutputFate fate) {
  DWORD error = NO_ERROR;
  bool exists = false;
  if (output.way == Way::kUnnamed) {
    // Named before it is closed: closing an unnamed file ends it.
    if (LinkOutput(output.file, output.name, &exists, &error)) {
      if (!CloseHandle(output.file)) return {GetLastError(), NO_ERROR, nullptr};
      return {NO_ERROR, NO_ERROR, nullptr};
    }
    if (!exists || fate != OutputFate::kKeep) return Drop(output, exists ? NO_ERROR : error);
    return FinishReplacement(output);
  }
  if (output.way == Way::kInPlace) {
    if (!CloseHandle(output.file)) return {GetLastError(), NO_ERROR, nullptr};
    return {NO_ERROR, NO_ERROR, nullptr};
  }
  if (!CloseHandle(output.file)) return RemoveTemporary(output, GetLastError());
  if (RenameToNewName(output.temporary, output.name, &exists, &error)) {
    return {NO_ERROR, NO_ERROR, nullptr};
  }
  if (!exists || fate != OutputFate::kKeep) return RemoveTemporary(output, exists ? NO_ERROR : error);
  error = FlushClosedOutput(output.temporary);
  if (error != NO_ERROR) return RemoveTemporary(output, error);
  Wait(output);
  return {NO_ERROR, NO_ERROR, nullptr};
}

}  // namespace

bool OpenOutputFolder(const char* folder, DWORD* error) {
  CloseOutputFolder();
  if (!OpenFolderForOutputs(folder, error)) return false;
  g_publication.folder_open = true;
  TemporaryNameSeed(&g_publication.process, &g_publication.clock);
  return true;
}

void CloseOutputFolder() {
  if (g_publication.folder_open) CloseFolderForOutputs();
  g_publication.folder_open = false;
  g_publication.unnamed_unsupported = false;
  g_publication.waiting_count = 0;
  g_publication.waiting_bytes = 0;
  g_publication.published = 0;
  g_publication.current.file = INVALID_HANDLE_VALUE;
}

HANDLE CreateOutputFile(const char* name, HANDLE archive, OutputRefusal* refusal) {
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
  NameKind kind = NameKind::kAbsent;
  if (!LookAtName(name, archive, &kind, refusal->long_name, &refusal->error)) {
    return INVALID_HANDLE_VALUE;
  }
  switch (kind) {
    case NameKind::kAbsent: output.replaces = false; break;
    case NameKind::kFile: output.replaces = true; break;
    case NameKind::kLinkToFolder: refusal->error = kErrorLinkToFolder; return INVALID_HANDLE_VALUE;
    case NameKind::kFolder: refusal->error = kErrorNameIsFolder; return INVALID_HANDLE_VALUE;
    case NameKind::kOther: refusal->error = kErrorNotRegularFile; return INVALID_HANDLE_VALUE;
    case NameKind::kArchive: refusal->error = kErrorOutputIsArchive; return INVALID_HANDLE_VALUE;
    case NameKind::kShortAlias: refusal->error = kErrorShortName; return INVALID_HANDLE_VALUE;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  output.way = Way::kUnnamed;
  // A replacement gets a temporary name at once, as it will need one to
  // wait for its rename.
  if (!output.replaces && !g_publication.unnamed_unsupported) {
    file = CreateUnnamedOutput(&refusal->error);
    if (file == INVALID_HANDLE_VALUE && refusal->error == ERROR_NOT_SUPPORTED) {
      g_publication.unnamed_unsupported = true;
    } else if (file == INVALID_HANDLE_VALUE) {
      return file;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    output.way = Way::kTemporary;
    file = CreateTemporary(output, &refusal->error);
    if (file == INVALID_HANDLE_VALUE && !output.replaces &&
        refusal->error == ERROR_FILENAME_EXCED_RANGE) {
      // The output name fits where a temporary one does not: a new name is
      // made in place, as it was before outputs were published, and an
      // output given up is removed through its own handle.
      output.way = Way::kInPlace;
      file = CreateNamedOutput(name, &refusal->error);
    }
    if (file == INVALID_HANDLE_VALUE) {
      refusal->replacing = output.replaces;
      return file;
    }
  }
  output.file = file;
  return file;
}

OutputFinish FinishOutputFile(HANDLE output_file, OutputFate fate) {
  CurrentOutput& output = g_publication.current;
  if (output_file == INVALID_HANDLE_VALUE || output_file != output.file) {
    return {ERROR_INVALID_HANDLE, NO_ERROR, nullptr};
  }
  // The queue has room for this one: the driver publishes a full queue first.
  const bool room = g_publication.waiting_count < kReplacementBatch;
  OutputFinish finish;
  if (fate == OutputFate::kDiscard || (output.replaces && fate != OutputFate::kKeep) || !room) {
    finish = Drop(output, room ? NO_ERROR : ERROR_INVALID_HANDLE);
  } else if (output.replaces) {
    finish = FinishReplacement(output);
  } else {
    finish = FinishNewName(output, fate);
  }
  // A leftover's name stays in `output` until the next output is made.
  output.file = INVALID_HANDLE_VALUE;
  return finish;
}

bool ReplacementBatchFull() {
  return g_publication.waiting_count >= kReplacementBatch ||
         g_publication.waiting_bytes >= kReplacementBatchBytes;
}

bool PublishNextReplacement(ReplaceReport* report) {
  if (g_publication.published >= g_publication.waiting_count) {
    g_publication.waiting_count = 0;
    g_publication.waiting_bytes = 0;
    g_publication.published = 0;
    return false;
  }
  if (g_publication.published == 0) g_publication.flush_error = FlushFolder();
  const Waiting& waiting = g_publication.waiting[g_publication.published++];
  ComposeTemporaryName(waiting.count, g_publication.publishing);
  *report = {ReplaceOutcome::kReplaced, NO_ERROR, NO_ERROR, waiting.name, g_publication.publishing};
  if (g_publication.flush_error != NO_ERROR) {
    // Bytes that may not be on the disk never take the place of a whole file.
    report->error = g_publication.flush_error;
    report->outcome = RemoveOwnName(g_publication.publishing, &report->leftover_error)
                          ? ReplaceOutcome::kDropped
                          : ReplaceOutcome::kLeftBehind;
  } else if (!RenameOverName(g_publication.publishing, waiting.name, &report->error)) {
    // The entry is whole: it stays where it is, and the report names it.
    report->outcome = ReplaceOutcome::kKeptAside;
  }
  return true;
}
