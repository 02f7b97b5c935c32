// What `create` judges before it writes anything, so that it never destroys
// a file and never packs what unzrq could not give back: whether a file
// standing under ARCHIVE is a sound archive (only such a file is replaced
// unless the user forces it), where the archive goes when ARCHIVE is a link,
// which inputs are the archive itself or the tools' own temporary files, and
// which names unzrq on either system would not keep. Every judgement here is
// read-only and silent; create tells what they find.
#pragma once

#include <cstdint>

#include "archive/archive_format.h"
#include "platform/file_system.h"
#include "platform/zrq_files.h"

// What stands under ARCHIVE before the run.
enum class ArchiveStanding {
  kAbsent,       // nothing: the archive is new
  kSound,        // a ZRQ archive whose every entry unzrq would write whole
  kNoDirectory,  // the header points at no whole directory: no ZRQ archive
  kEntryFails,   // entry `index` (`name`) would be skipped or written incomplete
  kUnreadable,   // it could not be looked at, opened or read: `error`
  kNotFile,      // a folder, a device or a pipe, which no archive replaces
  kLinkBroken,   // a link that leads to nothing: `error`
};

struct ArchiveTarget {
  ArchiveStanding standing;
  DWORD error;
  std::uint32_t index;
  EntryName name;
  // ARCHIVE is a link: the archive replaces the file the link leads to,
  // `path`, and the link stays a link.
  bool through_link;
  char path[kOutputPathCapacity];  // where the archive is made and renamed to
  bool identified;                 // `identity` is the file standing there
  FileIdentity identity;
};

// Looks at ARCHIVE as `zrq test` would: the header, the count, every record
// and, for each entry, its name and what unzrq's writer would make of its
// payload, foreseen without reading it. Stops at the first fault.
void JudgeArchiveTarget(const char* archive, ArchiveTarget* target);

// Whether the file open as `input` is the file standing under ARCHIVE, by
// identity, whatever name it was reached by. False when either cannot be
// told, which only a failing system leaves.
bool IsArchiveItself(const ArchiveTarget& target, HANDLE input);

// Whether `name` is one the tools give their own temporary files, which a
// stopped run may leave behind: unzrq's ".unzrq-partial-..." and create's
// "ARCHIVE.zrq-partial-...".
bool IsToolsTemporaryName(const char* name);

// How unzrq, on this system or on the other, would lose an output name.
enum class NameLoss {
  kNone,              // both write it
  kEverywhere,        // unzrq here skips it
  kWindowsDevice,     // a device's name there (CON.txt, nul, COM1.log)
  kWindowsCharacter,  // it holds a character Windows refuses in names (`*character`)
  kWindowsTrailing,   // it ends in a point or a space, which Windows strips
};
NameLoss JudgeNameOnBothSystems(const char* name, char* character);
