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
// control characters become \xNN so that a hostile name cannot break the
// line or drive the terminal.
void EscapeForMessage(const char* name, char* out, std::size_t capacity);
