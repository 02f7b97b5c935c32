// The reading half of the format (archive/archive_format.h), and the name
// both halves share.
#include "archive/archive_format.h"

#include <cstring>

#include "platform/file_system.h"

namespace {

ReadResult ReadExactly(HANDLE archive, unsigned char* bytes, DWORD length, DWORD* error) {
  DWORD delivered = 0;
  if (!ReadFile(archive, bytes, length, &delivered, nullptr)) {
    *error = GetLastError();
    return ReadResult::kFailed;
  }
  return delivered == length ? ReadResult::kComplete : ReadResult::kShort;
}

}  // namespace

void CopyEntryName(const DirectoryEntry& record, EntryName name) {
  std::memcpy(name, record.name(), DirectoryEntry::kNameBytes);
  name[DirectoryEntry::kNameBytes] = '\0';
}

bool ReadArchiveHeader(HANDLE archive, ArchiveHeader* header) {
  DWORD error = NO_ERROR;
  return MoveToOffset(archive, 0, &error) &&
         ReadExactly(archive, header->bytes, ArchiveHeader::kBytes, &error) != ReadResult::kFailed;
}

ReadResult ReadEntryCount(HANDLE archive, std::uint32_t directory_offset,
                          std::uint32_t* entry_count, DWORD* error) {
  unsigned char count_bytes[kEntryCountBytes] = {};
  if (!MoveToOffset(archive, directory_offset, error)) return ReadResult::kFailed;
  const ReadResult result = ReadExactly(archive, count_bytes, kEntryCountBytes, error);
  *entry_count = LoadLittleEndian32(count_bytes);
  return result;
}

ReadResult ReadDirectoryEntry(HANDLE archive, DirectoryEntry* record, DWORD* error) {
  return ReadExactly(archive, record->bytes, DirectoryEntry::kBytes, error);
}
