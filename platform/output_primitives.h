// The few things each system does for the publication of outputs
// (platform/publication.cpp), given by platform/posix/files.cpp and
// platform/windows/files.cpp. Every name here is a name in the output folder
// that the folder's opening opened; none of these calls decides anything the
// other system's could decide differently.
//
// They are reached through one table, so that the tests can stand in for any
// of them: a file system that refuses a call, a flush that fails, a name that
// changes between two calls. Every fallback publication.cpp takes is then a
// row of a test table on every build, whatever file system the test runs on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_system.h"

// What stands under a name, looked at without opening it for writing and
// without following a link.
enum class NameKind {
  kAbsent,
  kFile,          // a file, or a link to anything but a folder: replaced as a name
  kLinkToFolder,  // a link to a folder: Windows cannot replace it with a file
  kFolder,
  kOther,         // a device, a pipe, a socket: someone's, not an old output
  kArchive,       // the very file the archive handle has open
  kShortAlias,    // Windows: only another file's short 8.3 alias (its name in *long_name)
};

// Room for a temporary name and its NUL.
inline constexpr std::size_t kTemporaryCapacity = kTemporaryNameBytes + 1;

// How many replacements are flushed at once by one flush_files call. A
// batch of more is flushed with the whole file system where that can be
// trusted: many small files are written out far faster together than one
// by one, while a few large ones, flushed alone, never wait for what other
// programs write to the same disk.
inline constexpr std::size_t kFlushWindow = 64;

struct OutputPrimitives {
  // Opens and closes the folder every call below works in.
  bool (*open_folder)(const char* folder, DWORD* error);
  void (*close_folder)();

  // Looks at `name`. On a failure other than absence, kAbsent is not
  // claimed: false with the reason in *error.
  bool (*look_at_name)(const char* name, HANDLE archive, NameKind* kind, char* long_name,
                       DWORD* error);

  // Creates `name` afresh, never through a link, failing with
  // ERROR_ALREADY_EXISTS when anything stands there.
  HANDLE (*create_named)(const char* name, DWORD* error);

  // Renames `from` over `to`, replacing what stands there in one step.
  bool (*rename_over)(const char* from, const char* to, DWORD* error);

  // Removes `name` (only ever one of the run's own temporaries).
  bool (*remove_own_name)(const char* name, DWORD* error);

  // Gives up `output`, made under the temporary name `temporary`, and closes
  // it: removed through its handle where the system allows, else by that
  // name. False with the reason when it could not be removed.
  bool (*drop_output)(HANDLE output, const char* temporary, DWORD* error);

  // Called for a replacement before it is closed: starts the writing of its
  // bytes to the disk, or writes them there at once. `alone`: its batch may
  // still be flushed file by file (it holds no more than a window so far).
  DWORD (*start_flush)(HANDLE output, bool alone);

  // Makes the bytes of the closed temporaries `names[0..count)` durable,
  // each on its own, and puts each one's result in errors[i]. Returns
  // ERROR_NOT_SUPPORTED, touching nothing, where it cannot flush several at
  // once: publication then calls flush_file for each.
  DWORD (*flush_files)(const char (*names)[kTemporaryCapacity], std::size_t count, DWORD* errors);
  // Makes the bytes of one closed temporary durable.
  DWORD (*flush_file)(const char* name);
  // Makes every byte written to the folder's file system durable at once,
  // by way of the closed temporary `name`. ERROR_NOT_SUPPORTED, touching
  // nothing, where no such call can be trusted to report a failed write
  // (or there is none): publication then flushes file by file.
  DWORD (*flush_file_system)(const char* name);

  // Whether the folder's file system has room for `bytes` more. True where
  // that cannot be told.
  bool (*has_room)(std::uint64_t bytes);

  // Numbers that make a temporary name of this run unlike any other's.
  void (*temporary_name_seed)(unsigned* process, unsigned long long* clock);
};

// This system's calls.
extern const OutputPrimitives kSystemOutputPrimitives;

// Makes publication use `primitives` (the tests' stand-ins), or the system's
// again with nullptr. Only while no output folder is open.
void UseOutputPrimitives(const OutputPrimitives* primitives);
