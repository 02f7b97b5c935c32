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

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 open devices whatever their extension
// ("nul.txt" is still the null device), so they can never be output names
// there.
bool IsWindowsDeviceName(const char* name) {
  std::size_t stem = std::strcspn(name, ".");
  while (stem > 0 && name[stem - 1] == ' ') --stem;
  char upper[8] = {};
  if (stem < 3 || stem > 7) return false;
  for (std::size_t i = 0; i < stem; ++i) upper[i] = UpperAscii(name[i]);
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (std::strcmp(upper, device) == 0) return true;
  }
  if (stem == 4 && (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0)) {
    const unsigned char digit = static_cast<unsigned char>(upper[3]);
    // Windows also reserves the superscript digits 1, 2 and 3 of the ANSI code page.
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
  }
  return false;
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
    case kTypeRenamedRaw: RestoreExtension(file_name); return {CopyRaw, PayloadLayout::kRaw};
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
  return !kHostKeepsWindowsNames || WindowsKeepsName(name);
}

bool WindowsKeepsName(const char* name) {
  // A colon would address a drive or an alternate data stream; the others are
  // wildcards or quoting that CreateFileA refuses.
  if (std::strpbrk(name, "<>:\"|?*") != nullptr) return false;
  // Windows strips trailing dots and spaces, so "a." would land on "a".
  const std::size_t length = std::strlen(name);
  if (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) return false;
  return !IsWindowsDeviceName(name);
}

unsigned char FoldAsWindows(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 'A');
  // The Western code page's small letters whose capitals it also holds:
  // a file system that ignores letter case takes each pair for one name.
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<unsigned char>(c - 0x20);
  switch (c) {
    case 0x9A: return 0x8A;  // s and S with caron
    case 0x9C: return 0x8C;  // oe ligature
    case 0x9E: return 0x8E;  // z and Z with caron
    case 0xFF: return 0x9F;  // y and Y with diaeresis
    default: return c;
  }
}

namespace {

// Whether `name` fits the old 8.3 form: one to eight bytes, then optionally a
// point and one to three more, no second point, no space, nothing the old
// form forbids. Letter case is not judged: a name differing from its alias
// only in case is a case question, which CompareFoldedAsWindows answers.
bool FitsEightDotThree(const char* name) {
  const char* point = std::strchr(name, '.');
  const std::size_t stem =
      point == nullptr ? std::strlen(name) : static_cast<std::size_t>(point - name);
  const std::size_t extension = point == nullptr ? 0 : std::strlen(point + 1);
  if (stem == 0 || stem > 8 || (point != nullptr && (extension == 0 || extension > 3))) {
    return false;
  }
  if (point != nullptr && std::strchr(point + 1, '.') != nullptr) return false;
  return std::strpbrk(name, " +,;=[]") == nullptr;
}

}  // namespace

bool WindowsGivesShortAlias(const char* name) { return !FitsEightDotThree(name); }

bool MayBeWindowsShortAlias(const char* name) {
  if (!FitsEightDotThree(name)) return false;
  const char* tilde = std::strchr(name, '~');
  const char* point = std::strchr(name, '.');
  return tilde != nullptr && (point == nullptr || tilde < point) && tilde[1] != '\0' &&
         tilde[1] != '.';
}

int CompareFoldedAsWindows(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const unsigned char x = FoldAsWindows(static_cast<unsigned char>(*a));
    const unsigned char y = FoldAsWindows(static_cast<unsigned char>(*b));
    if (x != y || x == '\0') return x < y ? -1 : (x > y ? 1 : 0);
  }
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
