// How a stored entry name becomes the name of its output file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/archive_format.h"
#include "writers/entry_writer.h"

// The output file's name: the stored name, possibly with an extension
// restored, or with ".bmp" appended.
inline constexpr const char kBitmapSuffix[] = ".bmp";
using OutputName = char[DirectoryEntry::kNameBytes + sizeof kBitmapSuffix];

// How an entry is written, as the switch on its type decides.
struct OutputPlan {
  EntryWriter* writer;
  PayloadLayout layout;  // what the writer reads, for judging an entry without writing it
  bool image() const { return layout != PayloadLayout::kRaw; }
};

// Decides, from the type alone, the output file's name and the writer: the
// one place where a type becomes a name and a writer, for unzrq, which writes
// the file, and for zrq, which lists, tests, prints or packs it. `stored` is
// the name as stored (NUL-terminated); the output name goes to `file_name`.
OutputPlan PlanOutput(std::uint32_t type, const char* stored, OutputName file_name);

// Type 1 only: when the text after the name's last underscore is WAV, LUA,
// MSM or MP3 in any letter case, that underscore becomes a point, so
// "intro_WAV" is written as "intro.WAV". Changes `name` in place.
void RestoreExtension(char* name);

// False for a name that must never reach the file system as a path: empty,
// "." or "..", holding a path separator or a control character, or refused by
// this platform's file system. Such an entry is skipped, never written
// somewhere else.
bool IsSafeOutputName(const char* name);

// False for a name that Windows would refuse or reinterpret: a device name
// such as CON or nul.txt, a colon, a wildcard or quote, a trailing point or
// space. Judged the same on every system, so that a name packed here can be
// told whether the .exe would skip it; IsSafeOutputName applies it where the
// output folder's system is Windows.
bool WindowsKeepsName(const char* name);

// A byte as a file system that ignores letter case sees it under Windows'
// Western code page: ASCII letters and the code page's small letters that
// have a capital in it fold to that capital (0xE9 to 0xC9, 0xFF to 0x9F).
unsigned char FoldAsWindows(unsigned char c);
// Compares two names as FoldAsWindows sees them: 0 when the .exe would
// write both to one file.
int CompareFoldedAsWindows(const char* a, const char* b);

// Windows gives a file whose name does not fit the old 8.3 form a second,
// short name such as LONGFI~1.TXT, made when the file is. A name of that
// shape (8.3, a tilde in its stem) may then already be taken, by whichever
// file of the folder got it as its alias, and unzrq there refuses it rather
// than write over that file.
bool WindowsGivesShortAlias(const char* name);
bool MayBeWindowsShortAlias(const char* name);

// Copies `name` into `out` (of `capacity` bytes) for a one-line message:
// every byte a terminal may act on becomes \xNN, so that a hostile name cannot
// break the line or drive the terminal. Those are the C0 controls, DEL, and
// both bytes of a C1 control written as UTF-8 (C2 80 to C2 9F, so C2 9B is
// shown as \xC2\x9B); every other byte, printable UTF-8 included, is kept.
void EscapeForMessage(const char* name, char* out, std::size_t capacity);

// EscapeForMessage from byte `from` of `name` on, as far as `out` has room
// for (each byte judged with its neighbours, as in the whole name): returns
// where the next piece starts, the terminating NUL's index once all is done.
std::size_t EscapeForMessageFrom(const char* name, std::size_t from, char* out,
                                 std::size_t capacity);
