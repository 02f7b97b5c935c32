#include "driver/output_names.h"

#include <cstdio>
#include <cstring>

#include "platform/file_system.h"

namespace {

bool IsControlCharacter(unsigned char c) { return c < 0x20 || c == 0x7F; }

// U+0080 to U+009F written as UTF-8, C2 80 to C2 9F: the C1 controls, which a
// terminal may act on as it does on ESC (U+009B opens a control sequence).
// `c` is NUL-terminated, so c[1] can be read whenever c[0] is not NUL.
bool StartsUtf8C1Control(const char* c) {
  const unsigned char second = static_cast<unsigned char>(c[1]);
  return static_cast<unsigned char>(c[0]) == 0xC2 && second >= 0x80 && second <= 0x9F;
}

bool EqualsIgnoringAsciiCase(const char* text, const char* upper) {
  for (; *text != '\0' && *upper != '\0'; ++text, ++upper) {
    char c = *text;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != *upper) return false;
  }
  return *text == '\0' && *upper == '\0';
}

}  // namespace

OutputPlan PlanOutput(std::uint32_t type, const char* stored, OutputName file_name) {
  std::memcpy(file_name, stored, std::strlen(stored) + 1);
  switch (type) {
    case kTypeRenamedRaw:
      RestoreExtension(file_name);
      return {CopyRaw, PayloadLayout::kRaw};
    case kTypeFixedWidthImage:
    case kTypeFixedWidthImageAlt:
      std::strcat(file_name, kBitmapSuffix);
      return {ConvertFixedWidthImage, PayloadLayout::kFixedWidthImage};
    case kTypeSizedImage:
      std::strcat(file_name, kBitmapSuffix);
      return {ConvertSizedImage, PayloadLayout::kSizedImage};
    default:  // type 3 and every unknown type: the payload as it is
      return {CopyRaw, PayloadLayout::kRaw};
  }
}

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

std::size_t EscapeForMessageFrom(const char* name, std::size_t from, char* out,
                                 std::size_t capacity) {
  std::size_t used = 0;
  std::size_t i = from;
  for (; name[i] != '\0'; ++i) {
    const unsigned char byte = static_cast<unsigned char>(name[i]);
    // Both bytes of a C1 control are escaped: a lone C2 left on the screen
    // would only be a broken character.
    const bool escape = IsControlCharacter(byte) || StartsUtf8C1Control(name + i) ||
                        (i > 0 && StartsUtf8C1Control(name + i - 1));
    if (used + (escape ? 4 : 1) >= capacity) break;
    if (escape) {
      (void)std::snprintf(out + used, capacity - used, "\\x%02X", byte);  // room checked above
      used += 4;
    } else {
      out[used++] = name[i];
    }
  }
  out[used] = '\0';
  return i;
}

void EscapeForMessage(const char* name, char* out, std::size_t capacity) {
  (void)EscapeForMessageFrom(name, 0, out, capacity);
}
