#include "zrq/create_guards.h"

#include <cstring>

#include "driver/output_names.h"
#include "publication/publication.h"
#include "writers/entry_writer.h"

namespace {

// The two handles unzrq's walk reads with: the directory's, which only moves
// forward over the records, and the one moved to each payload.
struct ArchiveHandles {
  HANDLE directory = INVALID_HANDLE_VALUE;
  HANDLE scanning = INVALID_HANDLE_VALUE;
  ArchiveHandles() = default;
  ArchiveHandles(const ArchiveHandles&) = delete;
  ArchiveHandles& operator=(const ArchiveHandles&) = delete;
  ~ArchiveHandles() {
    if (scanning != INVALID_HANDLE_VALUE) CloseHandle(scanning);
    if (directory != INVALID_HANDLE_VALUE) CloseHandle(directory);
  }
};

void Fail(ArchiveTarget* target, ArchiveStanding standing, DWORD error) {
  target->standing = standing;
  target->error = error;
}

// The walk of `zrq test`, without its messages: each step that makes test
// fail ends the judgement with the standing that says why.
void JudgeArchiveFile(ArchiveTarget* target) {
  ArchiveHandles archive;
  archive.directory = OpenArchive(target->path);
  if (archive.directory == INVALID_HANDLE_VALUE) {
    Fail(target, ArchiveStanding::kUnreadable, GetLastError());
    return;
  }
  DWORD error = NO_ERROR;
  target->identified = IdentifyFile(archive.directory, &target->identity, &error);
  ArchiveHeader header = {};
  std::uint64_t bytes = 0;
  if (!ReadArchiveHeader(archive.directory, &header)) {
    Fail(target, ArchiveStanding::kUnreadable, GetLastError());
    return;
  }
  if (!FileBytes(archive.directory, &bytes, &error)) {
    Fail(target, ArchiveStanding::kUnreadable, error);
    return;
  }
  archive.scanning = OpenArchive(target->path);
  if (archive.scanning == INVALID_HANDLE_VALUE) {
    Fail(target, ArchiveStanding::kUnreadable, GetLastError());
    return;
  }
  std::uint32_t count = 0;
  const ReadResult counted =
      ReadEntryCount(archive.directory, header.directory_offset(), &count, &error);
  if (counted == ReadResult::kFailed) {
    Fail(target, ArchiveStanding::kUnreadable, error);
    return;
  }
  // An empty file is an empty archive, as unzrq reads it.
  if (counted == ReadResult::kShort) {
    if (bytes > 0) Fail(target, ArchiveStanding::kNoDirectory, NO_ERROR);
    return;
  }
  for (std::uint32_t index = 0; index < count; ++index) {
    DirectoryEntry record;
    const ReadResult read = ReadDirectoryEntry(archive.directory, &record, &error);
    if (read == ReadResult::kFailed) {
      Fail(target, ArchiveStanding::kUnreadable, error);
      return;
    }
    if (read == ReadResult::kShort) {
      Fail(target, ArchiveStanding::kNoDirectory, NO_ERROR);
      return;
    }
    CopyEntryName(record, target->name);
    OutputName file_name;
    const OutputPlan plan = PlanOutput(record.type(), target->name, file_name);
    bool whole =
        IsSafeOutputName(file_name) && MoveToOffset(archive.scanning, record.offset(), &error);
    if (whole) {
      whole = ForeseeEntry(plan.layout, archive.scanning, record.offset(), record.size(), bytes)
                  .outcome == EntryOutcome::kComplete;
    }
    if (!whole) {
      target->index = index;
      Fail(target, ArchiveStanding::kEntryFails, NO_ERROR);
      return;
    }
  }
}

}  // namespace

void JudgeArchiveTarget(const char* archive, ArchiveTarget* target) {
  *target = {};
  target->standing = ArchiveStanding::kSound;
  const std::size_t length = std::strlen(archive);
  if (length >= sizeof target->path) {
    Fail(target, ArchiveStanding::kUnreadable, ERROR_FILENAME_EXCED_RANGE);
    return;
  }
  std::memcpy(target->path, archive, length + 1);
  PathKind kind = PathKind::kMissing;
  DWORD error = NO_ERROR;
  if (!LookAtPath(archive, &kind, &error)) {
    Fail(target, ArchiveStanding::kUnreadable, error);
    return;
  }
  if (kind == PathKind::kLink) {
    // Renaming over the link would turn it into a file and leave the file
    // it leads to as it was; the file it leads to is replaced instead.
    target->through_link = true;
    if (!ResolveLink(archive, target->path, &error)) {
      std::memcpy(target->path, archive, length + 1);
      Fail(target, ArchiveStanding::kLinkBroken, error);
      return;
    }
    if (!LookAtPath(target->path, &kind, &error)) {
      Fail(target, ArchiveStanding::kUnreadable, error);
      return;
    }
  }
  switch (kind) {
    case PathKind::kMissing: target->standing = ArchiveStanding::kAbsent; return;
    case PathKind::kFile: JudgeArchiveFile(target); return;
    case PathKind::kLink:  // resolved, every link followed: none is left but on a failing system
    case PathKind::kFolder:
    case PathKind::kOther: Fail(target, ArchiveStanding::kNotFile, NO_ERROR); return;
  }
}

bool IsArchiveItself(const ArchiveTarget& target, HANDLE input) {
  FileIdentity identity = {};
  DWORD error = NO_ERROR;
  return target.identified && IdentifyFile(input, &identity, &error) && identity == target.identity;
}

bool IsToolsTemporaryName(const char* name) {
  return std::strncmp(name, kTemporaryNamePrefix, sizeof kTemporaryNamePrefix - 1) == 0 ||
         std::strstr(name, kArchiveTemporaryInfix) != nullptr;
}

NameLoss JudgeNameOnBothSystems(const char* name, char* character) {
  const bool windows_keeps = WindowsKeepsName(name);
  // On Windows the host's own judgement holds Windows' rules as well: the
  // name is then said to be lost there, which tells why.
  if (!IsSafeOutputName(name) && (windows_keeps || !kHostKeepsWindowsNames)) {
    return NameLoss::kEverywhere;
  }
  if (windows_keeps) return NameLoss::kNone;
  // WindowsKeepsName decides; these only say which of its rules it was.
  for (const char* c = name; *c != '\0'; ++c) {
    const char probe[] = {'x', *c, 'x', '\0'};
    if (!WindowsKeepsName(probe)) {
      *character = *c;
      return NameLoss::kWindowsCharacter;
    }
  }
  const std::size_t length = std::strlen(name);
  if (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) {
    return NameLoss::kWindowsTrailing;
  }
  return NameLoss::kWindowsDevice;
}
