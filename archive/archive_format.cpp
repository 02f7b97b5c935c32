#include "archive/archive_format.h"

bool ReadArchiveHeader(HANDLE archive, ArchiveHeader* header) {
  SetFilePointer(archive, 0, nullptr, FILE_BEGIN);
  DWORD delivered = 0;
  return ReadFile(archive, header->bytes, ArchiveHeader::kBytes, &delivered, nullptr) != FALSE;
}
