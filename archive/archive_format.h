// Layout of a ZRQ archive, read and written: an 8-byte header at offset 0
// that points at the directory; the directory, a 32-bit entry count followed
// by that many 80-byte records; and the payloads the records point at. All
// integers are 32-bit unsigned little-endian and all offsets absolute. Records
// are kept as the bytes read from the file or to be written to it, with one
// accessor per field. The reader serves unzrq and zrq's list, test and cat;
// the writer, zrq create: payloads from the header on, then the directory,
// then the header's pointer to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/little_endian.h"
#include "platform/win32_files.h"

struct ArchiveHeader {
  static constexpr unsigned kBytes = 8;
  unsigned char bytes[kBytes];

  // Bytes 0-3 are never interpreted: there is no magic number.
  std::uint32_t directory_offset() const { return LoadLittleEndian32(bytes + 4); }
};

// Size of the count that opens the directory.
inline constexpr unsigned kEntryCountBytes = 4;

// Every offset is a 32-bit field, so no byte of an archive lies past
// UINT32_MAX: the reader reaches any offset a field holds, and the writer
// makes no archive larger.
inline constexpr std::uint64_t kLargestArchiveBytes = UINT32_MAX;
// Readers that move through an archive by signed 32-bit distances from its
// start misread any offset past INT32_MAX, so the writer makes none: the
// directory's, which every payload precedes, is the largest it writes.
inline constexpr std::uint64_t kLargestPortableOffset = INT32_MAX;

// Type codes that are written other than as the payload under the stored
// name; type 3, like every value not listed, is copied raw under its name.
enum EntryType : std::uint32_t {
  kTypeRenamedRaw = 1,          // raw bytes; a last "_WAV"-style suffix becomes ".WAV"
  kTypeFixedWidthImage = 2,     // 72-byte prefix, then RGB565 rows 32 pixels wide
  kTypeFixedWidthImageAlt = 4,  // same layout as type 2
  kTypeSizedImage = 5,          // width and height in a 76-byte prefix, then RGB565 rows
};

struct DirectoryEntry {
  static constexpr unsigned kBytes = 80;
  // Where each field starts; bytes 72-75 are never interpreted.
  static constexpr unsigned kNameAt = 0;
  static constexpr unsigned kNameBytes = 64;
  static constexpr unsigned kOffsetAt = 64;
  static constexpr unsigned kSizeAt = 68;
  static constexpr unsigned kTypeAt = 76;
  unsigned char bytes[kBytes];

  // The stored name: up to its first NUL, or all 64 bytes when there is none.
  const unsigned char* name() const { return bytes + kNameAt; }
  std::uint32_t offset() const { return LoadLittleEndian32(bytes + kOffsetAt); }
  std::uint32_t size() const { return LoadLittleEndian32(bytes + kSizeAt); }
  std::uint32_t type() const { return LoadLittleEndian32(bytes + kTypeAt); }
};

// A record for the writer: the name (shorter than 64 bytes), the payload's
// size and the type, the rest zero; the offset is set once the payload's
// place is known (SetEntryOffset).
void FillDirectoryEntry(DirectoryEntry* record, const char* name, std::uint32_t size,
                        std::uint32_t type);
void SetEntryOffset(DirectoryEntry* record, std::uint32_t offset);

// A stored name with its terminating NUL: a name that fills all 64 bytes
// without one is those 64 bytes.
using EntryName = char[DirectoryEntry::kNameBytes + 1];

// The record's name, NUL-terminated.
void CopyEntryName(const DirectoryEntry& record, EntryName name);

// What became of a read: every byte asked for arrived; the file ended first
// (the bytes that exist arrived); or the system refused the read (a bad
// sector, a dropped network share), so what lies behind is unknown. The last
// two are told apart because only the second means the archive is damaged.
enum class ReadResult { kComplete, kShort, kFailed };

// Moves `archive` to offset 0 and reads the header into `header`, which the
// caller has zero-filled: a file shorter than 8 bytes leaves zeros behind the
// bytes it has. False only when the read call itself fails.
bool ReadArchiveHeader(HANDLE archive, ArchiveHeader* header);

// Moves `archive` to the directory, wherever below 4 GiB it lies, and reads
// the entry count; a count cut short keeps the bytes that exist as its
// low-order bytes. The handle then stands at the first record. When the move
// or the read is refused, *error holds the system's reason.
ReadResult ReadEntryCount(HANDLE archive, std::uint32_t directory_offset,
                          std::uint32_t* entry_count, DWORD* error);

// Reads the next record from where `archive` stands. A record cut short or
// refused is not to be used: its bytes are partly stale. When the read is
// refused, *error holds the system's reason.
ReadResult ReadDirectoryEntry(HANDLE archive, DirectoryEntry* record, DWORD* error);

// An archive being written, from its first byte on, in one pass but for the
// header's pointer: StartArchive, the payloads (WriteArchiveBytes, or any
// write to `file` counted into `position`), one WriteDirectoryEntry for each
// record in directory order after StartDirectory, then FinishArchive. One
// archive is written at a time: the records gather in one fixed buffer.
struct ArchiveWriter {
  HANDLE file;
  std::uint64_t position;  // where the next byte goes; the archive's length at the end
  std::uint64_t directory_offset;
  std::size_t gathered;  // bytes of records waiting in the buffer
};

// Writes the header, its pointer zero until FinishArchive, at the start of
// `file`, which is new and empty. Each call below: false with the system's
// reason in *error when a write or move fails.
bool StartArchive(ArchiveWriter* writer, HANDLE file, DWORD* error);
// Writes payload bytes where the archive stands.
bool WriteArchiveBytes(ArchiveWriter* writer, const void* bytes, DWORD length, DWORD* error);
// Ends the payloads: the directory starts here, with its count.
bool StartDirectory(ArchiveWriter* writer, std::uint32_t entry_count, DWORD* error);
// The next record (its offset set), written in large pieces.
bool WriteDirectoryEntry(ArchiveWriter* writer, const DirectoryEntry& record, DWORD* error);
// Writes the records still waiting and points the header at the directory;
// the file stands at its end afterwards.
bool FinishArchive(ArchiveWriter* writer, DWORD* error);
