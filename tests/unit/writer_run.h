// Runs one writer as the driver does, over real files: the archive bytes in a
// file, the scanning handle standing at the payload, a fresh output file.
#pragma once

#include <cstdint>

#include "archive_builder.h"
#include "writers/entry_writer.h"

struct WriterRun {
  EntryResult result;  // as the writer returned it
  Bytes output;
  DWORD scanning_position;  // where the writer left the scanning handle
};

WriterRun RunWriter(EntryWriter* writer, const Bytes& archive, std::uint32_t payload_offset,
                    std::uint32_t size);

// `archive` is `before` filler bytes, `payload`, then `after` filler bytes:
// the payload never starts at the file's start nor ends at its end unless asked.
Bytes Surround(std::uint32_t before, const Bytes& payload, std::uint32_t after);

const char* OutcomeName(EntryOutcome outcome);
