// The few things each system does for the publication of outputs
// (publication/publication.cpp), given by platform/posix/files.cpp and
// platform/windows/files.cpp. Every name here is a name in the output folder
// that the folder's opening opened. These calls only do, and report what
// they found: how often to try again, what a failure means, which flush to
// trust and how much room to keep are decided in publication/.
//
// They are reached through one table, so that the tests can stand in for any
// of them: a file system that refuses a call, a flush that fails, a name that
// changes between two calls. Every fallback publication takes is then a row
// of a test table on every build, whatever file system the test runs on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/file_system.h"
#include "publication/publication.h"

// What stands under a name, looked at without opening it for writing and
// without following a link.
enum class NameKind {
  kAbsent,
  kFile,          // a file, or a link to anything but a folder: replaced as a name
  kLinkToFolder,  // a link to a folder: Windows cannot replace it with a file
  kFolder,
  kOther,       // a device, a pipe, a socket: someone's, not an old output
  kArchive,     // the very file the archive handle has open
  kShortAlias,  // Windows: only another file's short 8.3 alias (its name in *long_name)
};

// A temporary file of this run, from its creation to its rename: the file
// itself while the run holds it open, and always its identity, which tells
// it apart from anything someone puts under its name later.
// Trivial, so that a queue of them costs no page until it is used.
struct HeldFile {
  std::intptr_t open;  // the system's descriptor or handle, -1 once let go
  std::uint64_t volume;
  std::uint64_t identity;
  // A file let go may be removed and its identity given to a new one (an
  // inode number used again): what tells them apart besides, the time of
  // the file's last change (POSIX) or of its creation (Windows).
  std::uint64_t stamp;
};
inline constexpr HeldFile kNotHeld = {-1, 0, 0, 0};

// How make_durable makes the bytes of a batch durable.
enum class Durability {
  kFileSystem,  // one flush of the whole file system under the first file, by its descriptor
  kTogether,    // each file's own bytes, all of them at once
  kOneByOne,    // each file's own bytes, one file after the other
};

// The file system under the output folder, as far as the system tells.
enum class FileSystemKind { kUnknown, kExt4, kXfs, kBtrfs, kFuse, kOther };
struct FileSystemFacts {
  FileSystemKind kind = FileSystemKind::kUnknown;
  unsigned kernel_major = 0;  // 0 where there is no such kernel
  unsigned kernel_minor = 0;
};

// What keeps a file from being renamed over where files carry a read-only
// flag of their own, and which file it was seen on.
struct ReadOnlyMark {
  bool read_only = false;
  DWORD attributes = 0;
  DWORD names = 1;  // how many names the file has
  std::uint64_t volume = 0;
  std::uint64_t identity = 0;
};

// Codes the publication tells apart, as each system spells them.
#ifdef _WIN32
inline constexpr DWORD kErrorTooManyOpenFiles = ERROR_TOO_MANY_OPEN_FILES;
inline constexpr DWORD kErrorQuotaExceeded =
    1295;  // ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64 leaves out
inline constexpr DWORD kErrorWriteFailed = ERROR_WRITE_FAULT;
inline constexpr DWORD kErrorSharingViolation = ERROR_SHARING_VIOLATION;
inline constexpr DWORD kErrorLockViolation = ERROR_LOCK_VIOLATION;
inline constexpr DWORD kReadOnlyAttribute = FILE_ATTRIBUTE_READONLY;
#else
inline constexpr DWORD kErrorTooManyOpenFiles = ErrorFromErrno(EMFILE);
inline constexpr DWORD kErrorQuotaExceeded = ErrorFromErrno(EDQUOT);
inline constexpr DWORD kErrorWriteFailed = ErrorFromErrno(EIO);
// No call here gives these, nor marks a file so (renames_wait_for_others).
inline constexpr DWORD kErrorSharingViolation = 0x2001FF01u;
inline constexpr DWORD kErrorLockViolation = 0x2001FF02u;
inline constexpr DWORD kReadOnlyAttribute = 0x00000001u;
#endif

// Room for a temporary name and its NUL.
inline constexpr std::size_t kTemporaryCapacity = kTemporaryNameBytes + 1;

// How many files one make_durable call takes together at most.
inline constexpr std::size_t kFlushWindow = 64;

// Composes the temporary name numbered `number` into `name`
// (kTemporaryCapacity bytes), with no call that a signal could interrupt
// badly.
using TemporaryNameComposer = void (*)(unsigned number, char* name);

// The run's temporaries that a stop removes: the names `compose` gives for
// the numbers [first, next). Read whole by a signal handler (or the
// console's handler thread) whatever the run is doing.
struct LiveTemporaries {
  std::atomic<TemporaryNameComposer> compose{nullptr};
  std::atomic<unsigned> first{0};
  std::atomic<unsigned> next{0};
};

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

  // Renames `from` over `to`, replacing what stands there in one step. One
  // try: the reason of a refusal is returned as the system gave it.
  bool (*rename_over)(const char* from, const char* to, DWORD* error);

  // Removes `name` (only ever one of the run's own temporaries).
  bool (*remove_own_name)(const char* name, DWORD* error);

  // Gives up `output`, made under the temporary name `temporary`, and closes
  // it: removed through its handle where the system allows, else by that
  // name. False with the reason when it could not be removed.
  bool (*drop_output)(HANDLE output, const char* temporary, DWORD* error);

  // Starts the writing of an open output's bytes, without waiting for it.
  // The system's own code when it cannot or the write failed.
  DWORD (*start_write_back)(HANDLE output);

  // Takes a finished output from its handle, which is gone afterwards, and
  // records the file's identity in *held; the file stays open in held->open
  // when `keep_open`. False with the reason (the close's, or that of the
  // look at its identity) when that failed; the handle is gone then too.
  bool (*hold)(HANDLE output, bool keep_open, HeldFile* held, DWORD* error);

  // Opens the temporary `name` again for a file let go before: without
  // following a link and without waiting for a partner on a pipe. Only a
  // regular file with held's identity is taken (else kErrorNotOwnTemporary).
  bool (*open_held)(const char* name, HeldFile* held, DWORD* error);

  // Whether `name` still stands for held's file, looked at without opening
  // it. False with the reason when it cannot be looked at.
  bool (*is_held_file)(const char* name, const HeldFile& held, bool* same, DWORD* error);

  // Closes held's open file, keeping its identity. The close's reason when
  // it failed (a file system that writes back late tells a lost write there).
  DWORD (*let_go)(HeldFile* held);

  // Makes the bytes of the open files `files[0..count)` durable, as `how`
  // says, each file's result in errors[i]. kTogether with more than
  // kFlushWindow files, or where the system cannot flush several at once,
  // returns ERROR_NOT_SUPPORTED and touches nothing. kFileSystem flushes
  // the file system under files[0] (its result in errors[0]) where the
  // system has such a call, else each file's own bytes.
  DWORD (*make_durable)(HeldFile* files, std::size_t count, Durability how, DWORD* errors);

  // What the system tells of the output folder's file system.
  void (*describe_file_system)(FileSystemFacts* facts);

  // How many files the run may hold open at once, all of them counted.
  std::size_t (*open_files_allowed)();

  // The bytes free for the run on the folder's file system. False where
  // that cannot be told.
  bool (*free_space)(std::uint64_t* bytes);

  // The read-only flag of the file under `name`, looked at without following
  // a link. False when nothing can be looked at there.
  bool (*read_only_mark)(const char* name, ReadOnlyMark* mark);
  // Sets the file under `name` to `attributes` if it is still mark's file.
  bool (*set_attributes)(const char* name, const ReadOnlyMark& mark, DWORD attributes);

  // Waits `milliseconds` before a call is tried again.
  void (*pause)(unsigned milliseconds);

  // Numbers that make a temporary name of this run unlike any other's.
  void (*temporary_name_seed)(unsigned* process, unsigned long long* clock);

  // From now on, a stop of the run (SIGINT, SIGTERM, SIGHUP; a console's
  // Ctrl-C or close) removes the temporaries `live` names, in the folder,
  // and then stops the run as the stop asks. Each call after the first
  // changes nothing.
  void (*remove_on_stop)(const LiveTemporaries* live);

  // Whether a file held open by another program, or flagged read-only,
  // refuses to be renamed over for as long as that lasts.
  bool renames_wait_for_others;
};

// This system's calls.
extern const OutputPrimitives kSystemOutputPrimitives;

// Makes publication use `primitives` (the tests' stand-ins), or the system's
// again with nullptr. Only while no output folder is open.
void UseOutputPrimitives(const OutputPrimitives* primitives);
