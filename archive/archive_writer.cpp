// The writing half of the format (archive/archive_format.h), for zrq create.
#include <cstring>

#include "archive/archive_format.h"
#include "platform/file_system.h"
#include "writers/write_all.h"

void FillDirectoryEntry(DirectoryEntry* record, const char* name, std::uint32_t size,
                        std::uint32_t type) {
  std::memset(record->bytes, 0, sizeof record->bytes);
  for (unsigned i = 0; i + 1 < DirectoryEntry::kNameBytes && name[i] != '\0'; ++i) {
    record->bytes[DirectoryEntry::kNameAt + i] = static_cast<unsigned char>(name[i]);
  }
  StoreLittleEndian32(record->bytes + DirectoryEntry::kSizeAt, size);
  StoreLittleEndian32(record->bytes + DirectoryEntry::kTypeAt, type);
}

void SetEntryOffset(DirectoryEntry* record, std::uint32_t offset) {
  StoreLittleEndian32(record->bytes + DirectoryEntry::kOffsetAt, offset);
}

namespace {

// The records in large pieces.
unsigned char g_records[1024 * DirectoryEntry::kBytes];

bool WriteRecordsGathered(ArchiveWriter* writer, DWORD* error) {
  if (writer->gathered == 0) return true;
  const DWORD length = static_cast<DWORD>(writer->gathered);
  writer->gathered = 0;
  return WriteArchiveBytes(writer, g_records, length, error);
}

}  // namespace

bool StartArchive(ArchiveWriter* writer, HANDLE file, DWORD* error) {
  *writer = {file, 0, 0, 0};
  const unsigned char header[ArchiveHeader::kBytes] = {};
  return WriteArchiveBytes(writer, header, sizeof header, error);
}

bool WriteArchiveBytes(ArchiveWriter* writer, const void* bytes, DWORD length, DWORD* error) {
  if (!WriteAll(writer->file, bytes, length, error)) return false;
  writer->position += length;
  return true;
}

bool StartDirectory(ArchiveWriter* writer, std::uint32_t entry_count, DWORD* error) {
  writer->directory_offset = writer->position;
  unsigned char count[kEntryCountBytes];
  StoreLittleEndian32(count, entry_count);
  return WriteArchiveBytes(writer, count, sizeof count, error);
}

bool WriteDirectoryEntry(ArchiveWriter* writer, const DirectoryEntry& record, DWORD* error) {
  std::memcpy(g_records + writer->gathered, record.bytes, DirectoryEntry::kBytes);
  writer->gathered += DirectoryEntry::kBytes;
  return writer->gathered < sizeof g_records || WriteRecordsGathered(writer, error);
}

bool FinishArchive(ArchiveWriter* writer, DWORD* error) {
  if (!WriteRecordsGathered(writer, error)) return false;
  unsigned char pointer[4];
  StoreLittleEndian32(pointer, static_cast<std::uint32_t>(writer->directory_offset));
  const std::uint64_t end = writer->position;
  if (!MoveToOffset(writer->file, 4, error) ||
      !WriteAll(writer->file, pointer, sizeof pointer, error)) {
    return false;
  }
  // The header's pointer is written over bytes already counted.
  writer->position = end;
  return true;
}
