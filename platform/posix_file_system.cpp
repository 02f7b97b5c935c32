#include "platform/file_system.h"

#include <cstring>

// Any byte but NUL and "/" makes a name here, and those two are refused before
// this is asked; stored names (63 bytes at most) are far below NAME_MAX.
bool FileSystemAcceptsName(const char* /*name*/) { return true; }

const char* SpellFolderForJoining(const char* folder, char* buffer) {
  const std::size_t length = std::strlen(folder);
  // Too long for any output path: every entry is refused as such anyway.
  if (length + 1 > kOutputPathCapacity) return folder;
  std::memcpy(buffer, folder, length + 1);
  // "out/" joins as "out/name", not "out//name"; "/" as "/name".
  if (length > 0 && folder[length - 1] == '/') buffer[length - 1] = '\0';
  return buffer;
}

// CreateFileA here opens regular files only.
HANDLE OpenArchive(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}
