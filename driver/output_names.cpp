#include "driver/output_names.h"

#include <cstdio>
#include <cstring>

#include "platform/file_system.h"

namespace {

bool IsControlCharacter(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool EqualsIgnoringAsciiCase(const char* text, const char* upper) {
  for (; *text != '\0' && *upper != '\0'; ++text, ++upper) {
    char c = *text;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != *upper) return false;
  }
  return *text == '\0' && *upper == '\0';
}

}  // namespace

void RestoreExtension(char* name) {
  char* underscore = std::strrchr(name, '_');
  if (underscore == nullptr) return;
  static const char* const kExtensions[] = {"WAV", "LUA", "MSM", "MP3"};
  for (const char* extension : kExtensions) {
    if (EqualsIgnoringAsciiCase(underscore + 1, extension)) {
      *underscore = '.';
      return;
    }
  }
}

bool IsSafeOutputName(const char* name) {
  if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
    return false;
  }
  // Both separators, on every platform: an archive must unpack to the same
  // files wherever it is opened, and never outside the folder.
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c == '/' || *c == '\\' || IsControlCharacter(static_cast<unsigned char>(*c))) {
      return false;
    }
  }
  return FileSystemAcceptsName(name);
}

void EscapeForMessage(const char* name, char* out, std::size_t capacity) {
  std::size_t used = 0;
  for (const char* c = name; *c != '\0'; ++c) {
    const unsigned char byte = static_cast<unsigned char>(*c);
    const bool escape = IsControlCharacter(byte);
    if (used + (escape ? 4 : 1) >= capacity) break;
    if (escape) {
      std::snprintf(out + used, capacity - used, "\\x%02X", byte);
      used += 4;
    } else {
      out[used++] = *c;
    }
  }
  out[used] = '\0';
}
