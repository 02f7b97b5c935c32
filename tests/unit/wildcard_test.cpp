// The wildcards of zrq extract, matched alike on every build.
#include "zrq/wildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct WildcardCase {
  std::string pattern;
  std::string name;
  bool matches;
};

void ExpectCases(const WildcardCase* begin, const WildcardCase* end) {
  for (const WildcardCase* c = begin; c != end; ++c) {
    EXPECT_EQ(MatchesWildcard(c->pattern.c_str(), c->name.c_str()), c->matches)
        << "pattern \"" << c->pattern << "\", name \"" << c->name << "\"";
  }
}

TEST(Wildcard, StarsQuestionMarksAndPlainCharacters) {
  const WildcardCase cases[] = {
      {"menu.lua", "menu.lua", true},
      {"menu.lua", "menu.Lua", false},
      {"menu.lua", "menu.lua2", false},
      {"menu.lua", "amenu.lua", false},
      {"*", "", true},
      {"*", "anything", true},
      {"", "", true},
      {"", "a", false},
      {"*.lua", "menu.lua", true},
      {"*.lua", ".lua", true},
      {"*.lua", "menu.lua.bak", false},
      {"*.lua", "menu_LUA", false},
      {"m*u*", "menu", true},
      {"m*u*", "mango", false},
      {"*a*b*c*", "xxaxxbxxcxx", true},
      {"*a*b*c*", "xxcxxbxxaxx", false},
      {"a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
      {"**x", "x", true},
      {"*?", "", false},
      {"?", "a", true},
      {"?", "", false},
      {"??", "a", false},
      {"???.bmp", "abc.bmp", true},
      {"a?c", "a/c", true},
      {".*", ".hidden", true},
      {"*", ".hidden", true},
      {"ab*", "a", false},
  };
  ExpectCases(std::begin(cases), std::end(cases));
}

TEST(Wildcard, BracketsRangesAndNegation) {
  const WildcardCase cases[] = {
      {"[abc]", "b", true},    {"[abc]", "d", false},      {"[a-c]x", "bx", true},
      {"[a-c]x", "dx", false}, {"[!a-c]", "d", true},      {"[!a-c]", "b", false},
      {"[^a-c]", "d", true},   {"[^a-c]", "a", false},     {"[]]", "]", true},
      {"[]a]", "a", true},     {"[!]]", "]", false},       {"[!]]", "x", true},
      {"[a-]", "-", true},     {"[-a]", "-", true},        {"[a-]", "b", false},
      {"[z-a]", "m", false},   {"[0-9][0-9]", "42", true}, {"level[0-9]", "levelx", false},
      {"[", "[", true},        {"[ab", "[ab", true},       {"[ab", "a", false},
      {"[!]", "[!]", true},    {"[*]", "*", true},         {"[*]", "a", false},
      {"[?]", "?", true},      {"[.]lua", ".lua", true},   {"[a-c-e]", "d", false},
  };
  ExpectCases(std::begin(cases), std::end(cases));
}

TEST(Wildcard, BackslashTakesTheNextCharacterAsItself) {
  const WildcardCase cases[] = {
      {"\\*", "*", true},       {"\\*", "a", false},      {"\\?", "?", true},
      {"\\?", "a", false},      {"a\\[b]", "a[b]", true}, {"[\\]]", "]", true},
      {"[a\\-c]", "b", false},  {"[a\\-c]", "-", true},   {"\\a", "a", true},
      {"end\\", "end\\", true}, {"*\\*", "x*", true},     {"*\\*", "x", false},
  };
  ExpectCases(std::begin(cases), std::end(cases));
}

// UTF-8 names take one ? per letter; names in a one-byte code page (the
// .exe's) one per byte, as their letters are.
TEST(Wildcard, ACharacterIsAUtf8SequenceOrAByte) {
  const WildcardCase cases[] = {
      {"caf?", "caf\xC3\xA9", true},  // U+00E9, two bytes
      {"caf??", "caf\xC3\xA9", false},
      {"caf?", "caf\xE9", true},                  // the same letter in the Western code page
      {"?", "\xE2\x82\xAC", true},                // U+20AC, three bytes
      {"?", "\xF0\x9F\x98\x80", true},            // U+1F600, four bytes
      {"??", "\xC0\xAF", true},                   // an overlong form is two bytes
      {"???", "\xED\xA0\x80", true},              // a surrogate is three bytes
      {"?", "\xE2\x82", false},                   // a sequence cut short
      {"[\xC3\xA0-\xC3\xBF]", "\xC3\xA9", true},  // a range of code points
      {"[\xC3\xA0-\xC3\xBF]", "e", false},
      {"[!\xC3\xA9]", "\xC3\xA9", false},
      {"[\xE0-\xFF]", "\xE9", true},  // a range of code-page bytes
      {"*\xC3\xA9", "\xC3\xA9t\xC3\xA9", true},
      {"\xC3\xA9*", "\xC3\xA9t\xC3\xA9", true},
      {"*\xA9", "\xC3\xA9", false},  // no match inside a letter
  };
  ExpectCases(std::begin(cases), std::end(cases));
}

}  // namespace
