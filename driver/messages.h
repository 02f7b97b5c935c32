// Everything the tool prints, in one place. Per-entry lines and the summary
// go to standard output; usage and every problem go to standard error, one
// line each. Standard error is a text stream, where "\n" ends a line the
// platform's way; standard output takes bytes as they are, so its lines end
// with UNZRQ_LINE_END.
#pragma once

#include "platform/console.h"

#define UNZRQ_DEFAULT_OUTPUT_FOLDER "velkard"
inline constexpr const char kDefaultOutputFolder[] = UNZRQ_DEFAULT_OUTPUT_FOLDER;

inline constexpr const char kUsageLine[] = "Usage: %s InputFile.zrq [OutputDir]\n";
inline constexpr const char kUsageInputLine[] =
    "     where: InputFile is a valid ZRQ archive file\n";
inline constexpr const char kUsageOutputLine[] =
    "            OutputDir is an optional output folder. \"" UNZRQ_DEFAULT_OUTPUT_FOLDER
    "\" by default\n\n";

inline constexpr const char kEntryLine[] = "File: (0x%08X) Type:%X %s " UNZRQ_LINE_END;
inline constexpr const char kSummaryLine[] = "Done: %d files processed." UNZRQ_LINE_END;

// The codes the run returns: CODE(constant, value).
#define UNZRQ_EXIT_CODES(CODE)      \
  CODE(kExitSuccess, 0)             \
  CODE(kExitCannotCreateFolder, -1) \
  CODE(kExitCannotOpenArchive, -2)  \
  CODE(kExitCannotReadArchive, -3)  \
  CODE(kExitCannotOpenScanning, -4) \
  CODE(kExitDamaged, -5)

// Every report on standard error, with the exit code of the run it ends or
// belongs to: REPORT(constant, exit code, format). The README's and the
// manual page's tables must say the same (tests/docs checks them against
// this list), so a new report is one line here and a row in each of them.
#define UNZRQ_REPORTS(REPORT)                                                                      \
  /* Failures that stop the run before the walk. */                                                \
  REPORT(kCannotCreateFolder, kExitCannotCreateFolder, "Couldn't create output folder \"%s\"\n")   \
  REPORT(kCannotOpenFolder, kExitCannotCreateFolder, "Couldn't open output folder \"%s\": %s\n")   \
  REPORT(kCannotOpenArchive, kExitCannotOpenArchive, "Couldn't open archive file: \"%s\"\n")       \
  REPORT(kCannotReadHeader, kExitCannotReadArchive, "Error: Failed to read archive header.\n")     \
  REPORT(kCannotReadSize, kExitCannotReadArchive,                                                  \
         "Error: Failed to read the archive's size: %s.\n")                                        \
  REPORT(kCannotOpenScanning, kExitCannotOpenScanning,                                             \
         "Error: Failed to open scanning file pointer.\n")                                         \
  /* Problems met during the walk: the walk goes on (a directory that cannot */                    \
  /* be read ends it) and the run ends with kExitDamaged. Reasons from the */                      \
  /* system follow a colon or stand in parentheses. */                                             \
  REPORT(kCountTruncated, kExitDamaged,                                                            \
         "Error: Directory is truncated: the archive ends before the entry count at 0x%08X.\n")    \
  REPORT(kCountReadFailed, kExitDamaged, "Error: Failed to read the entry count at 0x%08X: %s.\n") \
  REPORT(kRecordsTruncated, kExitDamaged,                                                          \
         "Error: Directory is truncated: the archive ends after %u of %u records.\n")              \
  REPORT(kRecordReadFailed, kExitDamaged,                                                          \
         "Error: Failed to read the directory after %u of %u records: %s.\n")                      \
  REPORT(kUnsafeName, kExitDamaged,                                                                \
         "Error: Skipped \"%s\": the name cannot be used as a file name.\n")                       \
  REPORT(kPayloadMoveFailed, kExitDamaged,                                                         \
         "Error: Skipped \"%s\": moving to its payload at 0x%08X failed (%s).\n")                  \
  REPORT(kPathTooLong, kExitDamaged, "Error: Skipped \"%s\": the output path is too long.\n")      \
  REPORT(kWouldReplaceArchive, kExitDamaged,                                                       \
         "Error: Skipped \"%s\": the output file would replace the archive itself.\n")             \
  REPORT(kImageTooLarge, kExitDamaged,                                                             \
         "Error: Skipped \"%s\": a %u x %u image is larger than the archive can hold.\n")          \
  REPORT(kImageSizeReadFailed, kExitDamaged,                                                       \
         "Error: Skipped \"%s\": reading its image size failed (%s).\n")                           \
  REPORT(kCannotCreateFile, kExitDamaged, "Couldn't create output file \"%s\": %s\n")              \
  REPORT(kCannotWriteFile, kExitDamaged, "Couldn't write output file \"%s\": %s\n")                \
  REPORT(kCannotCreateReplacement, kExitDamaged,                                                   \
         "Couldn't replace output file \"%s\": replacing needs a new file in its folder, which "   \
         "could not be made (%s)\n")                                                               \
  REPORT(kReplacementKeptAside, kExitDamaged,                                                      \
         "Couldn't replace output file \"%s\": %s; the entry is kept whole as \"%s\"\n")           \
  REPORT(kLeftoverNotRemoved, kExitDamaged, "Couldn't remove temporary file \"%s\": %s\n")         \
  REPORT(kReplacementNotOwn, kExitDamaged,                                                         \
         "Couldn't replace output file \"%s\": another file stands under its temporary name "      \
         "\"%s\" (%s); neither is renamed or removed\n")                                           \
  REPORT(kShortNameOfAnother, kExitDamaged,                                                        \
         "Error: Skipped \"%s\": the name is the short name of \"%s\", another file in the "       \
         "folder.\n")                                                                              \
  REPORT(kEntryTruncated, kExitDamaged,                                                            \
         "Error: \"%s\" is truncated: the archive ends inside its payload.\n")                     \
  REPORT(kEntryReadFailed, kExitDamaged,                                                           \
         "Error: \"%s\" is incomplete: reading the archive failed after %u of %u bytes (%s); "     \
         "the rest is missing.\n")                                                                 \
  REPORT(kBitmapReadFailed, kExitDamaged,                                                          \
         "Error: \"%s\" is incomplete: reading the archive failed (%s); pixels not read are "      \
         "black.\n")                                                                               \
  REPORT(kEntryDamaged, kExitDamaged,                                                              \
         "Error: \"%s\" is damaged: too short for its image header.\n")                            \
  REPORT(kImageSizeChanged, kExitDamaged,                                                          \
         "Error: \"%s\" is empty: its image size could not be read again (%s).\n")                 \
  REPORT(kCannotWriteOutput, kExitDamaged, "Error: Failed to write to standard output.\n")

// The constants the driver prints and returns, one per entry of the lists.
#define UNZRQ_EXIT_CODE_CONSTANT(name, value) inline constexpr int name = value;
UNZRQ_EXIT_CODES(UNZRQ_EXIT_CODE_CONSTANT)

#define UNZRQ_REPORT_CONSTANT(name, exit_code, format) inline constexpr char name[] = format;
UNZRQ_REPORTS(UNZRQ_REPORT_CONSTANT)

// The same lists as tables, for code that goes through all of them.
struct ExitCodeEntry {
  const char* name;
  int value;
};
#define UNZRQ_EXIT_CODE_ENTRY(name, value) {#name, name},
inline constexpr ExitCodeEntry kExitCodes[] = {UNZRQ_EXIT_CODES(UNZRQ_EXIT_CODE_ENTRY)};

struct ReportEntry {
  const char* name;
  const char* format;  // as printed, with printf conversions
  int exit_code;
};
#define UNZRQ_REPORT_ENTRY(name, exit_code, format) {#name, name, exit_code},
inline constexpr ReportEntry kReports[] = {UNZRQ_REPORTS(UNZRQ_REPORT_ENTRY)};

// --- zrq, the companion program: list, test, cat and create -------------
// It shares the reports above wherever it meets the same problem (an archive
// that cannot be opened or read, every problem of the walk), with the same
// exit codes, so that `zrq test` says what unzrq would say. What only zrq
// meets is here, in lists of its own that its manual page shows.

inline constexpr const char kZrqUsage[] =
    "Usage: %s list [--json] ARCHIVE\n"
    "       %s test ARCHIVE\n"
    "       %s cat ARCHIVE NAME\n"
    "       %s create [--images] [--force] [--host-names] ARCHIVE FILE|FOLDER...\n"
    "       %s extract ARCHIVE [-C FOLDER] [--keep] [PATTERN...]\n"
    "       %s mount [-f|--foreground] ARCHIVE MOUNTPOINT\n"
    "       %s unmount MOUNTPOINT\n"
    "       %s --help | --version\n";
inline constexpr const char kZrqVersionLine[] = "zrq %s" UNZRQ_LINE_END;

// `zrq list`, for people (scripts read `list --json`): a header, then per
// record its index, type and size in decimal, an image's width x height,
// stored name -> output name, and what unzrq would do with it when it would
// not write it whole; then the count of records and their bytes.
inline constexpr const char kZrqListHeader[] =
    " Index  Type        Size  Image        Name -> Output" UNZRQ_LINE_END;
inline constexpr const char kZrqListLine[] = "%6u  %4u  %10u  %-11s  %s -> %s";
inline constexpr const char kZrqListImage[] = "%ux%u";
inline constexpr const char kZrqListSkipped[] = " (skipped)";
inline constexpr const char kZrqListIncomplete[] = " (incomplete)";
inline constexpr const char kZrqListEnd[] = UNZRQ_LINE_END;
inline constexpr const char kZrqListTotal[] = "%u %s, %llu %s" UNZRQ_LINE_END;
// Each word singular, then plural.
inline constexpr const char* kZrqListEntryWords[] = {"entry", "entries"};
inline constexpr const char* kZrqListByteWords[] = {"byte", "bytes"};
inline constexpr const char kZrqTestPassed[] =
    "Tested %u records: every entry would be written whole." UNZRQ_LINE_END;
inline constexpr const char kZrqTestFailed[] =
    "Tested %u records: %u would be skipped or written incomplete." UNZRQ_LINE_END;
inline constexpr const char kZrqTestDirectoryDamaged[] =
    "Tested %u records of a damaged directory: %u would be skipped or written "
    "incomplete." UNZRQ_LINE_END;
inline constexpr const char kZrqCreated[] =
    "Packed %u entries into \"%s\" (%llu bytes)." UNZRQ_LINE_END;
inline constexpr const char kZrqCreatedOne[] =
    "Packed 1 entry into \"%s\" (%llu bytes)." UNZRQ_LINE_END;

// zrq's own codes, beside kExitSuccess to kExitDamaged: CODE(constant, value).
#define ZRQ_EXIT_CODES(CODE)    \
  CODE(kZrqExitUsage, -6)       \
  CODE(kZrqExitNoSuchEntry, -7) \
  CODE(kZrqExitNotCreated, -8)  \
  CODE(kZrqExitNotMounted, -9)

// zrq's own reports: REPORT(constant, exit code, format). A refusal of
// `create` is told for every input it concerns; then kZrqNotCreated ends the
// run, with nothing written.
#define ZRQ_REPORTS(REPORT)                                                                        \
  REPORT(kZrqUnknownCommand, kZrqExitUsage, "Error: Unknown command \"%s\".\n")                    \
  REPORT(kZrqWrongArguments, kZrqExitUsage, "Error: Wrong arguments for \"%s\".\n")                \
  REPORT(kZrqNoSuchEntry, kZrqExitNoSuchEntry,                                                     \
         "Error: No entry of the archive is named \"%s\".\n")                                      \
  REPORT(kZrqNoEntryMatches, kZrqExitNoSuchEntry,                                                  \
         "Error: No entry of the archive matches \"%s\".\n")                                       \
  /* Not a problem: extract --keep found the name taken and wrote nothing. */                      \
  REPORT(kZrqKeptExisting, kExitSuccess,                                                           \
         "Kept \"%s\": it exists, and --keep leaves it as it is.\n")                               \
  REPORT(kZrqCannotWriteStandardOutput, kExitDamaged,                                              \
         "Error: Failed to write \"%s\" to standard output: %s.\n")                                \
  REPORT(kZrqCannotOpenInput, kZrqExitNotCreated, "Error: Cannot pack \"%s\": %s.\n")              \
  REPORT(kZrqCannotListFolder, kZrqExitNotCreated,                                                 \
         "Error: Cannot pack \"%s\": listing the folder failed (%s).\n")                           \
  REPORT(kZrqInputIsFolder, kZrqExitNotCreated,                                                    \
         "Error: Cannot pack \"%s\": it is a folder, and an entry holds no folder.\n")             \
  REPORT(kZrqInputTooLarge, kZrqExitNotCreated,                                                    \
         "Error: Cannot pack \"%s\": it holds %llu bytes, an entry 4294967295 at most.\n")         \
  REPORT(kZrqNameTooLong, kZrqExitNotCreated,                                                      \
         "Error: Cannot pack \"%s\": its entry name \"%s\" is longer than 63 bytes.\n")            \
  REPORT(kZrqNameUnusable, kZrqExitNotCreated,                                                     \
         "Error: Cannot pack \"%s\": its name cannot be used as a file name.\n")                   \
  REPORT(kZrqNameNotRestorable, kZrqExitNotCreated,                                                \
         "Error: Cannot pack \"%s\": no entry would be unpacked under its name.\n")                \
  REPORT(kZrqNamesCollide, kZrqExitNotCreated,                                                     \
         "Error: Cannot pack \"%s\": it would be unpacked as \"%s\", as \"%s\" would (letter "     \
         "case aside).\n")                                                                         \
  REPORT(kZrqImageUnknown, kZrqExitNotCreated,                                                     \
         "Error: Cannot pack \"%s\" as an image: it is neither a BMP nor a PNG file.\n")           \
  REPORT(kZrqImageNoPng, kZrqExitNotCreated,                                                       \
         "Error: Cannot pack \"%s\" as an image: it is a PNG file, and this zrq was built "        \
         "without a PNG reader.\n")                                                                \
  REPORT(kZrqImageField, kZrqExitNotCreated,                                                       \
         "Error: Cannot pack \"%s\" as an image: its %s is %lld (%s), which zrq does not "         \
         "read.\n")                                                                                \
  REPORT(kZrqImageOffsetPastEnd, kZrqExitNotCreated,                                               \
         "Error: Cannot pack \"%s\" as an image: its %s %lld points past the end of the file "     \
         "(%llu bytes).\n")                                                                        \
  REPORT(kZrqImageEndsInside, kZrqExitNotCreated,                                                  \
         "Error: Cannot pack \"%s\" as an image: the file ends after %llu bytes, inside its "      \
         "%s.\n")                                                                                  \
  REPORT(kZrqImageBitFields, kZrqExitNotCreated,                                                   \
         "Error: Cannot pack \"%s\" as an image: its bit fields (red %08X, green %08X, blue "      \
         "%08X) are not masks zrq reads.\n")                                                       \
  REPORT(kZrqImageRowsPastEnd, kZrqExitNotCreated,                                                 \
         "Error: Cannot pack \"%s\" as an image: %u x %u pixels of %u bits need %llu bytes "       \
         "from byte %llu, and the file ends after %llu.\n")                                        \
  REPORT(kZrqImagePaletteIndex, kZrqExitNotCreated,                                                \
         "Error: Cannot pack \"%s\" as an image: row %u, column %u holds palette index %lld, "     \
         "past its %u colours.\n")                                                                 \
  REPORT(kZrqImageTooLarge, kZrqExitNotCreated,                                                    \
         "Error: Cannot pack \"%s\" as an image: %u x %u pixels need an entry of %llu bytes, "     \
         "4294967295 at most.\n")                                                                  \
  REPORT(kZrqImageDecoder, kZrqExitNotCreated,                                                     \
         "Error: Cannot pack \"%s\" as an image: the PNG decoder refused it (%s).\n")              \
  REPORT(kZrqInputChanged, kZrqExitNotCreated,                                                     \
         "Error: Cannot pack \"%s\": it changed while the archive was written.\n")                 \
  REPORT(kZrqCannotReadInput, kZrqExitNotCreated,                                                  \
         "Error: Cannot pack \"%s\": reading it failed (%s).\n")                                   \
  REPORT(kZrqArchiveTooLarge, kZrqExitNotCreated,                                                  \
         "Error: Cannot create \"%s\": it would hold %llu bytes, and its offsets reach "           \
         "4294967295 at most.\n")                                                                  \
  REPORT(kZrqCannotCreateArchive, kZrqExitNotCreated, "Couldn't create archive file \"%s\": %s\n") \
  REPORT(kZrqCannotWriteArchive, kZrqExitNotCreated, "Couldn't write archive file \"%s\": %s\n")   \
  REPORT(kZrqArchivePast2GiB, kZrqExitNotCreated,                                                  \
         "Error: Cannot create \"%s\": its directory would start at byte %llu, and readers that "  \
         "move by signed 32-bit distances misread offsets past 2147483647.\n")                     \
  REPORT(kZrqNotAnArchive, kZrqExitNotCreated,                                                     \
         "Error: Cannot replace \"%s\": it is no ZRQ archive (its header points at no whole "      \
         "directory); --force replaces it.\n")                                                     \
  REPORT(kZrqArchiveEntryFails, kZrqExitNotCreated,                                                \
         "Error: Cannot replace \"%s\": it is no sound ZRQ archive (unzrq would not write its "    \
         "entry %u, \"%s\", whole); --force replaces it.\n")                                       \
  REPORT(kZrqArchiveUnreadable, kZrqExitNotCreated,                                                \
         "Error: Cannot replace \"%s\": it could not be read to tell whether it is an archive "    \
         "(%s); --force replaces it.\n")                                                           \
  REPORT(kZrqArchiveNotFile, kZrqExitNotCreated,                                                   \
         "Error: Cannot replace \"%s\": it is a folder, a device or a pipe, not a file.\n")        \
  REPORT(                                                                                          \
      kZrqArchiveLinkBroken, kZrqExitNotCreated,                                                   \
      "Error: Cannot replace \"%s\": it is a link that leads to no file (%s); the link is left "   \
      "as it is.\n")                                                                               \
  REPORT(                                                                                          \
      kZrqArchiveThroughLink, kExitSuccess,                                                        \
      "Note: \"%s\" is a link: the archive replaces the file it leads to, \"%s\", and the link "   \
      "stays.\n")                                                                                  \
  REPORT(kZrqImageRounded, kExitSuccess,                                                           \
         "Note: \"%s\": %llu of %llu pixels rounded to 16-bit colour.\n")                          \
  REPORT(kZrqSkippedArchive, kExitSuccess, "Note: \"%s\" is the archive itself; not packed.\n")    \
  REPORT(kZrqSkippedTemporary, kExitSuccess,                                                       \
         "Note: \"%s\" is a temporary file of unzrq or zrq; not packed.\n")                        \
  REPORT(kZrqNameWindowsDevice, kZrqExitNotCreated,                                                \
         "Error: Cannot pack \"%s\": unzrq on Windows would not write it, as \"%s\" names a "      \
         "device there.\n")                                                                        \
  REPORT(                                                                                          \
      kZrqNameWindowsCharacter, kZrqExitNotCreated,                                                \
      "Error: Cannot pack \"%s\": unzrq on Windows would not write it, as \"%s\" holds '%s'.\n")   \
  REPORT(kZrqNameWindowsTrailing, kZrqExitNotCreated,                                              \
         "Error: Cannot pack \"%s\": unzrq on Windows would not write it, as \"%s\" ends in a "    \
         "point or a space.\n")                                                                    \
  REPORT(kZrqNameShortAlias, kZrqExitNotCreated,                                                   \
         "Error: Cannot pack \"%s\": unzrq on Windows may find \"%s\" taken as the short name of " \
         "\"%s\".\n")                                                                              \
  REPORT(kZrqHostNamesHint, kZrqExitNotCreated,                                                    \
         "Note: --host-names packs the names that only this system keeps.\n")                      \
  REPORT(kZrqHostNameLost, kExitSuccess,                                                           \
         "Note: \"%s\" is packed for this system only: unzrq on Windows will not write it.\n")     \
  REPORT(                                                                                          \
      kZrqHostNameFolds, kExitSuccess,                                                             \
      "Note: \"%s\" is packed for this system only: unzrq on Windows would unpack it and \"%s\" "  \
      "to one file.\n")                                                                            \
  REPORT(kZrqHostNameAlias, kExitSuccess,                                                          \
         "Note: \"%s\" is packed for this system only: unzrq on Windows may find \"%s\" taken as " \
         "the short name of \"%s\".\n")                                                            \
  REPORT(kZrqNotCreated, kZrqExitNotCreated, "Error: \"%s\" was not created.\n")                   \
  /* mount and unmount; the mount's own log while it serves (standard error */                     \
  /* in the foreground, the system log in the background) */                                       \
  REPORT(kZrqMountWithoutFuse, kZrqExitNotMounted,                                                 \
         "Error: \"%s\" is not available: this zrq was built without FUSE.\n")                     \
  REPORT(kZrqMountOnWindows, kZrqExitNotMounted, "Error: \"%s\" is not available on Windows.\n")   \
  REPORT(kZrqCannotMount, kZrqExitNotMounted, "Error: Cannot mount \"%s\" on \"%s\": %s.\n")       \
  REPORT(kZrqCannotUnmount, kZrqExitNotMounted, "Error: Cannot unmount \"%s\": %s.\n")             \
  REPORT(kZrqArchiveChanged, kExitDamaged,                                                         \
         "Error: \"%s\" changed under the mount (%s): every read fails from now on.\n")            \
  REPORT(kZrqMountReadFailed, kExitDamaged, "Error: Reading \"%s\" from the archive failed (%s).\n")

// The constants and tables of zrq's lists, made as unzrq's are.
ZRQ_EXIT_CODES(UNZRQ_EXIT_CODE_CONSTANT)
ZRQ_REPORTS(UNZRQ_REPORT_CONSTANT)
inline constexpr ExitCodeEntry kZrqExitCodes[] = {ZRQ_EXIT_CODES(UNZRQ_EXIT_CODE_ENTRY)};
inline constexpr ReportEntry kZrqReports[] = {ZRQ_REPORTS(UNZRQ_REPORT_ENTRY)};
#undef UNZRQ_EXIT_CODE_CONSTANT
#undef UNZRQ_REPORT_CONSTANT
#undef UNZRQ_EXIT_CODE_ENTRY
#undef UNZRQ_REPORT_ENTRY
