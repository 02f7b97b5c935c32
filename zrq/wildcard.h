// Shell wildcards for choosing entries by name, the same on every system
// (the Windows C library has no matcher of its own to lean on).
#pragma once

// Whether `name` matches `pattern` as a shell matches a file name:
//   *       any run of characters, none included
//   ?       one character
//   [...]   one character of the set: single characters and ranges (a-z), the
//           set turned round by a leading ! or ^; a ] first in the set is
//           one of its members; a [ without its ] is itself
//   \c      the character c itself, whatever it is (a name never holds a
//           backslash, so nothing is lost by this on Windows)
// A character is a well-formed UTF-8 sequence or else a single byte, so that
// ? stands for an accented letter whether the name is UTF-8 or in a one-byte
// code page; ranges compare code points (a lone byte by its value). Letter
// case counts, and a leading point or a / is nothing special.
bool MatchesWildcard(const char* pattern, const char* name);
