// Archives the zrq cases share: one entry of every kind unzrq writes, and a
// table of damaged and hostile archives, each with a label.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "archive_builder.h"

// One entry of every kind unzrq writes: the restorable extensions and one
// that is not, plain and unknown types, an empty payload, a payload large
// enough for the kernel's own copy, fixed-width images (one with bytes after
// its last row) and sized images of odd widths, of no pixels at all, and
// large enough to be packed in several pieces.
std::vector<TestEntry> EveryKind();

// Directories cut at each edge, payloads cut inside each prefix and row,
// hostile names, payloads out of reach, a huge count, a directory past
// 2 GiB, the fuzzer's regression archives and the sample.
std::vector<std::pair<std::string, Bytes>> DamagedAndHostile();

// zrq's usage text as the zrq under test prints it.
std::string ZrqUsage();
