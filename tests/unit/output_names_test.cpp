// How stored names become output file names on Linux.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/output_names.h"

namespace {

struct RenameCase {
  const char* stored;
  const char* written;
};

TEST(RestoreExtension, LastUnderscoreBeforeAKnownExtensionBecomesAPoint) {
  const RenameCase cases[] = {
      {"intro_WAV", "intro.WAV"},
      {"intro_wav", "intro.wav"},  // case ignored in the test, kept in the result
      {"a_b_MP3", "a_b.MP3"},      // only the last underscore counts
      {"_LUA", ".LUA"},
      {"_WAV", ".WAV"},
      {"script_Lua", "script.Lua"},
      {"tune_msm", "tune.msm"},
      {"name_Msm", "name.Msm"},
      {"clip_mP3", "clip.mP3"},
      {"song_WAVE", "song_WAVE"},  // the whole rest must match, not a prefix
      {"song_WA", "song_WA"},
      {"menu_", "menu_"},
      {"_", "_"},
      {"x.WAV", "x.WAV"},
      {"a_WAV_b", "a_WAV_b"},  // the last underscore is followed by "b"
      {"a_WAV.bak", "a_WAV.bak"},
      {"noextension", "noextension"},
      {"", ""},
  };
  for (const RenameCase& c : cases) {
    char name[64] = {};
    (void)std::snprintf(name, sizeof name, "%s", c.stored);  // every stored name fits
    RestoreExtension(name);
    EXPECT_STREQ(name, c.written) << "stored as \"" << c.stored << "\"";
  }
}

struct SafeNameCase {
  std::string name;
  bool safe;
};

TEST(IsSafeOutputName, RefusesWhatCouldLeaveTheFolderOrBreakALine) {
  const SafeNameCase cases[] = {
      {"", false},
      {".", false},
      {"..", false},
      {"a/b", false},
      {"/abs", false},
      {"a\\b", false},  // refused on every platform, so archives unpack alike everywhere
      {"line\nbreak", false},
      {"tab\tname", false},
      {"bell\x07", false},
      {"del\x7F", false},
      {"\x1B[2J", false},
      {"...", true},
      {".hidden", true},
      {std::string(63, 'n'), true},
      {"caf\xC3\xA9", true},  // bytes above 0x7F are used as they are
      {"\xFF\x80", true},
      {"a:b", true},  // only special on Windows
      {"CON", true},
      {"trailing.", true},
      {"with space", true},
  };
  for (const SafeNameCase& c : cases) {
    EXPECT_EQ(IsSafeOutputName(c.name.c_str()), c.safe) << "name \"" << c.name << "\"";
  }
}

struct EscapeCase {
  std::string name;
  std::string shown;
};

// The edges of what is escaped; the e2e tables show it in messages and on a terminal.
TEST(EscapeForMessage, EscapesWhatATerminalActsOnAndNothingElse) {
  const EscapeCase cases[] = {
      {"plain name", "plain name"},
      {"\x01\x1F\x20\x7E\x7F", "\\x01\\x1F ~\\x7F"},
      {"\xC2\x80|\xC2\x9B|\xC2\x9F", "\\xC2\\x80|\\xC2\\x9B|\\xC2\\x9F"},  // C1 as UTF-8
      {"\xC2\x7F\xC2\xA0\xC3\xA9\xE2\x80\x9B", "\xC2\\x7F\xC2\xA0\xC3\xA9\xE2\x80\x9B"},
      {"\xC2\xC2\x9B", "\xC2\\xC2\\x9B"},  // only the C2 that starts the control
      {"\x9B\x85\xC2", "\x9B\x85\xC2"},    // not UTF-8: bytes of another code page
  };
  for (const EscapeCase& c : cases) {
    char shown[4 * 64 + 1];
    EscapeForMessage(c.name.c_str(), shown, sizeof shown);
    EXPECT_EQ(std::string(shown), c.shown) << "name \"" << c.name << "\"";
  }
}

// A long argument is shown piece by piece into a small buffer: the pieces,
// wherever they are cut (between the two bytes of a C1 control too), make
// what one escape of the whole would make.
TEST(EscapeForMessage, PiecesMakeTheWholeWhereverTheyAreCut) {
  const std::string name =
      "ab\xC2\x9B\x01"
      "cd\xC2\xC2\x85\x7F" +
      std::string(40, 'x') + "\xC2\x80";
  char whole[4 * 128 + 1];
  EscapeForMessage(name.c_str(), whole, sizeof whole);
  for (std::size_t capacity = 5; capacity < 12; ++capacity) {
    std::string joined;
    char piece[12];
    for (std::size_t from = 0; name[from] != '\0';) {
      const std::size_t next = EscapeForMessageFrom(name.c_str(), from, piece, capacity);
      ASSERT_GT(next, from) << "capacity " << capacity;
      joined += piece;
      from = next;
    }
    EXPECT_EQ(joined, whole) << "capacity " << capacity;
  }
}

}  // namespace
