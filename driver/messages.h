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

// Failures that stop the run before the walk.
inline constexpr const char kCannotCreateFolder[] = "Couldn't create output folder \"%s\"\n";
inline constexpr const char kCannotOpenArchive[] = "Couldn't open archive file: \"%s\"\n";
inline constexpr const char kCannotReadHeader[] = "Error: Failed to read archive header.\n";
inline constexpr const char kCannotOpenScanning[] =
    "Error: Failed to open scanning file pointer.\n";

inline constexpr const char kCannotReadSize[] = "Error: Failed to read the archive's size: %s.\n";

// Problems met during the walk: the walk goes on (a directory that cannot be
// read ends it) and the run ends with kExitDamaged. Reasons from the system
// follow a colon or stand in parentheses.
inline constexpr const char kCountTruncated[] =
    "Error: Directory is truncated: the archive ends before the entry count at 0x%08X.\n";
inline constexpr const char kCountReadFailed[] =
    "Error: Failed to read the entry count at 0x%08X: %s.\n";
inline constexpr const char kRecordsTruncated[] =
    "Error: Directory is truncated: the archive ends after %u of %u records.\n";
inline constexpr const char kRecordReadFailed[] =
    "Error: Failed to read the directory after %u of %u records: %s.\n";
inline constexpr const char kUnsafeName[] =
    "Error: Skipped \"%s\": the name cannot be used as a file name.\n";
inline constexpr const char kPayloadMoveFailed[] =
    "Error: Skipped \"%s\": moving to its payload at 0x%08X failed (%s).\n";
inline constexpr const char kPathTooLong[] =
    "Error: Skipped \"%s\": the output path is too long.\n";
inline constexpr const char kWouldReplaceArchive[] =
    "Error: Skipped \"%s\": the output file would replace the archive itself.\n";
inline constexpr const char kImageTooLarge[] =
    "Error: Skipped \"%s\": a %u x %u image is larger than the archive can hold.\n";
inline constexpr const char kImageSizeReadFailed[] =
    "Error: Skipped \"%s\": reading its image size failed (%s).\n";
inline constexpr const char kCannotCreateFile[] = "Couldn't create output file \"%s\": %s\n";
inline constexpr const char kCannotWriteFile[] = "Couldn't write output file \"%s\": %s\n";
inline constexpr const char kCannotCreateReplacement[] =
    "Couldn't replace output file \"%s\": replacing needs a new file in its folder, which "
    "could not be made (%s)\n";
inline constexpr const char kReplacementKeptAside[] =
    "Couldn't replace output file \"%s\": %s; the entry is kept whole as \"%s\"\n";
inline constexpr const char kLeftoverNotRemoved[] =
    "Couldn't remove temporary file \"%s\": %s\n";
inline constexpr const char kShortNameOfAnother[] =
    "Error: Skipped \"%s\": the name is the short name of \"%s\", another file in the folder.\n";
inline constexpr const char kEntryTruncated[] =
    "Error: \"%s\" is truncated: the archive ends inside its payload.\n";
inline constexpr const char kEntryReadFailed[] =
    "Error: \"%s\" is incomplete: reading the archive failed after %u of %u bytes (%s); "
    "the rest is missing.\n";
inline constexpr const char kBitmapReadFailed[] =
    "Error: \"%s\" is incomplete: reading the archive failed (%s); pixels not read are black.\n";
inline constexpr const char kEntryDamaged[] =
    "Error: \"%s\" is damaged: too short for its image header.\n";
inline constexpr const char kCannotWriteOutput[] = "Error: Failed to write to standard output.\n";

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitCannotCreateFolder = -1;
inline constexpr int kExitCannotOpenArchive = -2;
inline constexpr int kExitBadHeader = -3;
inline constexpr int kExitCannotOpenScanning = -4;
inline constexpr int kExitDamaged = -5;
