// The name rules of both systems, judged alike on every build: zrq create
// must know on Linux which names the .exe would skip or write to one file.
#include <gtest/gtest.h>

#include <string>

#include "driver/output_names.h"

namespace {

struct WindowsNameCase {
  std::string name;
  bool kept;
};

TEST(WindowsKeepsName, RefusesDevicesReservedBytesAndTrailingPointsOrSpaces) {
  const WindowsNameCase cases[] = {
      {"CON.txt", false}, {"nul", false},    {"COM1.log", false}, {"lpt9", false},
      {"aux .c", false},  {"conin$", false}, {"COM\xB9", false},  {"trail.", false},
      {"sp ", false},     {"a:b", false},    {"q?", false},       {"w*", false},
      {"l<g", false},     {"p|q", false},    {"q\"t", false},     {"COM0", true},
      {"CONSOLE", true},  {"con_txt", true}, {"LPT", true},       {"normal.txt", true},
      {".hidden", true},  {"caf\xE9", true}, {"a b", true},       {"COM10", true},
  };
  for (const WindowsNameCase& c : cases) {
    EXPECT_EQ(WindowsKeepsName(c.name.c_str()), c.kept) << "name \"" << c.name << "\"";
  }
}

struct FoldCase {
  std::string a;
  std::string b;
  bool same;
};

TEST(CompareFoldedAsWindows, FoldsTheWesternCodePagesLetterPairs) {
  const FoldCase cases[] = {
      {"Readme.TXT", "README.txt", true},
      {"\xE9t\xE9", "\xC9T\xC9", true},  // e acute, small and capital
      {"\xFF", "\x9F", true},            // y with diaeresis
      {"\x9A\x9C\x9E", "\x8A\x8C\x8E", true},
      {"\xF7", "\xD7", false},  // division and multiplication signs are no pair
      {"\xDF", "SS", false},    // sharp s stays itself
      {"\xE9", "e", false},
      {"a", "ab", false},
  };
  for (const FoldCase& c : cases) {
    EXPECT_EQ(CompareFoldedAsWindows(c.a.c_str(), c.b.c_str()) == 0, c.same)
        << "\"" << c.a << "\" and \"" << c.b << "\"";
  }
}

struct AliasCase {
  std::string name;
  bool given;       // Windows gives it a short alias of its own
  bool may_be_one;  // it has the shape of another file's alias
};

TEST(ShortAliases, LongNamesGetOneAndTildeNamesMayBeOne) {
  const AliasCase cases[] = {
      {"LONGFI~1.TXT", false, true},     {"longfi~1.txt", false, true}, {"AB~Z", false, true},
      {"longfilename.txt", true, false}, {"a.b.c", true, false},        {"a b.txt", true, false},
      {"README.TXT", false, false},      {"x~.txt", false, false},      {"~1", false, true},
      {"NAME.HTML", true, false},        {"file~1.html", true, false},
  };
  for (const AliasCase& c : cases) {
    EXPECT_EQ(WindowsGivesShortAlias(c.name.c_str()), c.given) << "name \"" << c.name << "\"";
    EXPECT_EQ(MayBeWindowsShortAlias(c.name.c_str()), c.may_be_one) << "name \"" << c.name << "\"";
  }
}

}  // namespace
