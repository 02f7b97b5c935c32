#include "archive/archive_format.h"

#include <cstring>

namespace {

ReadResult ReadExactly(HANDLE archive, unsigned char* bytes, DWORD length) {
  DWORD delivered = 0;
  if (!ReadFile(archive, bytes, length, &delivered, nullptr)) return ReadResult::kFailed;
  return delivered == length ? ReadResult::kComplete : ReadResult::kShort;
}

}  // namespace

void CopyEntryName(const DirectoryEntry& record, EntryName name) {
  std::memcpy(name, record.name(), DirectoryEntry::kNameBytes);
  name[DirectoryEntry::kNameBytes] = '\0';
}

bool ReadArchiveHeader(HANDLE archive, ArchiveHeader* header) {
  SetFilePointer(archive, 0, nullptr, FILE_BEGIN);
  return ReadExactly(archive, header->bytes, ArchiveHeader::kBytes) != ReadResult::kFailed;
}

ReadResult ReadEntryCount(HANDLE archive, std::uint32_t directory_offset,
                          std::uint32_t* entry_count) {
  unsigned char count_bytes[kEntryCountBytes] = {};
  if (SetFilePointer(archive, static_cast<LONG>(directory_offset), nullptr, FILE_BEGIN) ==
          INVALID_SET_FILE_POINTER &&
      GetLastError() != NO_ERROR) {
    return ReadResult::kFailed;
  }
  const ReadResult result = ReadExactly(archive, count_bytes, kEntryCountBytes);
  *entry_count = LoadLittleEndian32(count_bytes);
  return result;
}

ReadResult ReadDirectoryEntry(HANDLE archive, DirectoryEntry* record) {
  return ReadExactly(archive, record->bytes, DirectoryEntry::kBytes);
}
