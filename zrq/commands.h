// What zrq's commands share: each is a function of its own file with one call
// shape, run by the dispatch in zrq/zrq.cpp, and shows its arguments and
// paths in messages the same way. A new command is a file here and one row of
// the dispatch's table.
#pragma once

// A command's run: `program` and `command` as given (for the usage), then
// the `count` arguments after the command's name. Returns the exit code;
// arguments of the wrong number or form end in WrongArguments.
using Command = int(const char* program, const char* command, int count, char** arguments);

Command ListCommand;     // zrq/list.cpp: list [--json] ARCHIVE
Command TestCommand;     // zrq/list.cpp: test ARCHIVE
Command CatCommand;      // zrq/cat.cpp: cat ARCHIVE NAME
Command CreateCommand;   // zrq/create.cpp: create [--images] ARCHIVE FILE|FOLDER...
Command ExtractCommand;  // zrq/extract.cpp: extract ARCHIVE [-C FOLDER] [--keep] [PATTERN...]
Command MountCommand;    // zrq/mount.cpp: mount [-f|--foreground] ARCHIVE MOUNTPOINT
Command UnmountCommand;  // zrq/mount.cpp: unmount MOUNTPOINT

// Tells that the command's arguments are wrong, with the usage; returns the
// usage's exit code.
int WrongArguments(const char* program, const char* command);

// An argument or path fit for a message, cut at 4 * kOutputPathCapacity
// bytes; two can be shown at once (`slot` 0 and 1), each valid until the
// next call for its slot.
const char* Shown(const char* text, int slot = 0);
