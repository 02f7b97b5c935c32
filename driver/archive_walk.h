// The one walk over an archive's directory that unzrq, zrq test, zrq list and
// zrq cat share: the archive opened twice with unzrq's messages and exit
// codes, the count and the records read from the first to the last, and each
// entry named and judged before anything is made for it. Every problem is
// told with unzrq's own message, so that what zrq says of an archive is what
// unzrq does with it.
#pragma once

#include <cstdint>

#include "archive/archive_format.h"
#include "driver/output_names.h"
#include "platform/file_system.h"
#include "writers/entry_writer.h"

// The archive as a walk reads it. The directory handle never moves during the
// walk, so the next record is always the next 80 bytes; the scanning handle is
// moved to each payload in turn and is the one the writers read from. Both
// are closed when it goes.
struct OpenedArchive {
  HANDLE directory = INVALID_HANDLE_VALUE;
  HANDLE scanning = INVALID_HANDLE_VALUE;
  std::uint32_t directory_offset = 0;
  std::uint64_t bytes = 0;  // the archive's size at the start: it bounds every image
  OpenedArchive() = default;
  OpenedArchive(const OpenedArchive&) = delete;
  OpenedArchive& operator=(const OpenedArchive&) = delete;
  ~OpenedArchive();
};

// Opens the archive at `path` twice and reads its header and size, telling
// any failure with unzrq's message. Returns kExitSuccess or the exit code to
// end with.
int OpenArchiveForWalk(const char* path, OpenedArchive& archive);

// Room for every byte of a name escaped as \xNN.
using ShownName = char[4 * DirectoryEntry::kNameBytes + 1];

// One entry at a time, overwritten by every record: the record, its names and
// what its output would be.
struct WalkedEntry {
  DirectoryEntry record;
  EntryName stored;                          // the name as stored, NUL-terminated
  ShownName shown;                           // the stored name fit for one line of a message
  OutputName file_name;                      // the name the output file gets
  OutputPlan plan;                           // the writer and what it reads
  char shown_path[4 * kOutputPathCapacity];  // the output path fit for a message (JudgeEntry)
  EntryResult foreseen;                      // what the writer would make of it (JudgeEntry)
};

// The record's names and output plan, decided from its name and type alone.
void NameEntry(WalkedEntry& entry);

// Moves the scanning handle to the entry's payload; tells when it cannot.
bool MoveToPayload(const OpenedArchive& archive, const WalkedEntry& entry);

// Judges the named entry as unzrq does before it creates the output: the
// output name, the output path in `folder`, the payload reached and what the
// writer would make of it (foreseen, by the archive's size at the start).
// False, told, when nothing is to be made for it (an unsafe name, a path too
// long, a payload out of reach, an image too large or its size unreadable);
// otherwise the scanning handle stands at the payload's first byte and
// entry.foreseen says whether the output would be whole, which is not told
// here: a writer tells it when it meets it.
bool JudgeEntry(const OpenedArchive& archive, const char* folder, WalkedEntry& entry);

// Called for each record in directory order, its record read into `entry`;
// returns false when something was told about it.
using EntryVisitor = bool(const OpenedArchive& archive, std::uint32_t index, WalkedEntry& entry,
                          void* context);

// Reads the count and every record, handing each to `visit`. Returns the
// number of records read; *damaged is set when the directory ends or fails
// early (told here) or a visit returned false.
std::uint32_t WalkArchive(const OpenedArchive& archive, WalkedEntry& entry, EntryVisitor* visit,
                          void* context, bool* damaged);
