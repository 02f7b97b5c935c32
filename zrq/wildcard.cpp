// The matcher walks the name once, remembering the last * it passed: when
// the rest fails to match, that * takes one character more and the match
// goes on from there. An earlier * never needs to take more, as whatever it
// could give the later one can give as well, so the work stays within the
// product of the two lengths, without recursion.
#include "zrq/wildcard.h"

#include <cstddef>
#include <cstdint>

namespace {

// The bytes of the character at `text`: a well-formed UTF-8 sequence (no
// overlong form, no surrogate, nothing past U+10FFFF), or one byte.
std::size_t CharacterBytes(const char* text) {
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (length == 1) return 1;
  const unsigned char second = static_cast<unsigned char>(text[1]);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
    return 1;
  }
  for (std::size_t k = 1; k < length; ++k) {
    // A NUL ends the check here as well: it is no continuation byte.
    if ((static_cast<unsigned char>(text[k]) & 0xC0) != 0x80) return 1;
  }
  return length;
}

// The character's value for ranges: its code point, or a lone byte's value.
std::uint32_t CharacterValue(const char* text, std::size_t bytes) {
  const unsigned char lead = static_cast<unsigned char>(text[0]);
  if (bytes == 1) return lead;
  std::uint32_t value = lead & (0x7Fu >> bytes);
  for (std::size_t k = 1; k < bytes; ++k) {
    value = value << 6 | (static_cast<unsigned char>(text[k]) & 0x3Fu);
  }
  return value;
}

// One character of a pattern, an escaped one taken as itself.
struct PatternCharacter {
  std::uint32_t value;
  std::size_t bytes;  // of the pattern, the backslash included
};

PatternCharacter ReadPatternCharacter(const char* pattern) {
  const std::size_t escape = pattern[0] == '\\' && pattern[1] != '\0' ? 1 : 0;
  const std::size_t bytes = CharacterBytes(pattern + escape);
  return {CharacterValue(pattern + escape, bytes), escape + bytes};
}

// A bracket expression at `pattern` (its '['). Returns the pattern's bytes it
// takes, 0 when it has no closing ']' (the '[' is then a plain character);
// *member tells whether `value` is one of the set.
std::size_t MatchBracket(const char* pattern, std::uint32_t value, bool* member) {
  std::size_t at = 1;
  const bool negated = pattern[at] == '!' || pattern[at] == '^';
  if (negated) ++at;
  bool found = false;
  bool first = true;
  while (pattern[at] != '\0' && (first || pattern[at] != ']')) {
    first = false;
    const PatternCharacter low = ReadPatternCharacter(pattern + at);
    at += low.bytes;
    std::uint32_t high = low.value;
    // A '-' before the closing ']' is a member, not a range.
    if (pattern[at] == '-' && pattern[at + 1] != ']' && pattern[at + 1] != '\0') {
      const PatternCharacter end = ReadPatternCharacter(pattern + at + 1);
      at += 1 + end.bytes;
      high = end.value;
    }
    if (value >= low.value && value <= high) found = true;
  }
  if (pattern[at] != ']') return 0;
  *member = found != negated;
  return at + 1;
}

}  // namespace

bool MatchesWildcard(const char* pattern, const char* name) {
  const char* star = nullptr;       // just behind the last * passed
  const char* star_name = nullptr;  // where the name stood when the match resumed from it
  const char* p = pattern;
  const char* n = name;
  while (*n != '\0') {
    if (*p == '*') {
      while (*p == '*') ++p;
      star = p;
      star_name = n;
      continue;
    }
    const std::size_t name_bytes = CharacterBytes(n);
    bool matched = false;
    std::size_t pattern_bytes = 0;
    if (*p == '?') {
      matched = true;
      pattern_bytes = 1;
    } else if (*p == '[') {
      pattern_bytes = MatchBracket(p, CharacterValue(n, name_bytes), &matched);
    }
    if (pattern_bytes == 0 && *p != '\0') {
      // A plain character, or an escaped one, or a '[' that opens no set:
      // the same bytes in the name.
      const std::size_t escape = p[0] == '\\' && p[1] != '\0' ? 1 : 0;
      pattern_bytes = escape + CharacterBytes(p + escape);
      matched = pattern_bytes - escape == name_bytes;
      for (std::size_t k = 0; matched && k < name_bytes; ++k) matched = p[escape + k] == n[k];
    }
    if (matched) {
      p += pattern_bytes;
      n += name_bytes;
      continue;
    }
    if (star == nullptr) return false;
    // The last * takes one character more.
    star_name += CharacterBytes(star_name);
    p = star;
    n = star_name;
  }
  while (*p == '*') ++p;
  return *p == '\0';
}
