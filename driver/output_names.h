// How a stored entry name becomes the name of its output file.
#pragma once

#include <cstddef>

// Type 1 only: when the text after the name's last underscore is WAV, LUA,
// MSM or MP3 in any letter case, that underscore becomes a point, so
// "intro_WAV" is written as "intro.WAV". Changes `name` in place.
void RestoreExtension(char* name);

// False for a name that must never reach the file system as a path: empty,
// "." or "..", holding a path separator or a control character, or refused by
// this platform's file system. Such an entry is skipped, never written
// somewhere else.
bool IsSafeOutputName(const char* name);

// Copies `name` into `out` (of `capacity` bytes) for a one-line message:
// every byte a terminal may act on becomes \xNN, so that a hostile name cannot
// break the line or drive the terminal. Those are the C0 controls, DEL, and
// both bytes of a C1 control written as UTF-8 (C2 80 to C2 9F, so C2 9B is
// shown as \xC2\x9B); every other byte, printable UTF-8 included, is kept.
void EscapeForMessage(const char* name, char* out, std::size_t capacity);
