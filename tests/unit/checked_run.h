// A whole run of the tool whose every promise for any archive must hold
// (fuzz/promises.h); a broken one fails the test with the tool's report.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "archive_builder.h"
#include "fuzz/promises.h"

inline PromiseCheck CheckedRun(PromiseChecker& checker, const Bytes& archive,
                               const std::string& label) {
  PromiseCheck check =
      checker.Check(archive.data(), archive.size(), ArchivePlace::kBesideTheFolder);
  EXPECT_TRUE(check.broken.empty()) << label << "\n" << DescribeBrokenPromises(check);
  return check;
}
