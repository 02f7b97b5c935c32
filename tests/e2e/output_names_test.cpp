// Output naming: the extension restored for type 1, names that coincide,
// name lengths, and the names that must never become a path.
#include <gtest/gtest.h>

#include <algorithm>

#include "e2e_case.h"
#include "tool_under_test.h"

namespace {

// One entry per archive: on Windows "intro.WAV" and "intro.wav" are one file.
E2eCase OneNamedEntry(const std::string& stored, std::uint32_t type, const std::string& written) {
  return {
      .name = std::to_string(type) + " " + stored + " -> " + written,
      .archive = Archive({.entries = {{.name = stored, .type = type, .payload = Text(stored)}}}),
      .args = {"archive.zrq"},
      .out = FileLine(static_cast<std::uint32_t>(stored.size()), type, stored) + DoneLine(1),
      .after = {{"velkard/" + written, File(stored)}}};
}

std::string Unsafe(const std::string& shown) {
  return "Error: Skipped \"" + shown + "\": the name cannot be used as a file name.\n";
}

std::string TooLong(const std::string& shown) {
  return "Error: Skipped \"" + shown + "\": the output path is too long.\n";
}

// Which types get their extension restored; the renaming's own edge cases
// are the unit table's (RestoreExtension in tests/unit).
TEST(OutputNames, OnlyTypeOneRestoresTheExtension) {
  const Bytes image = SizedImagePayload(1, 1, {0xFFFF});
  const Bytes bitmap = ExpectedBitmap(1, 1, {0xFFFF});
  RunCases({
      OneNamedEntry("intro_WAV", 1, "intro.WAV"),
      OneNamedEntry("intro_WAV", 3, "intro_WAV"),
      OneNamedEntry("intro_WAV", 9, "intro_WAV"),
      OneNamedEntry("intro_WAV", 0x101, "intro_WAV"),
      {.name = "an image named like a sound keeps its underscore",
       .archive = Archive({.entries = {{.name = "pic_WAV", .type = 5, .payload = image},
                                       {.name = "tile_MP3", .type = 2, .payload = Bytes(72, 0)},
                                       {.name = "icon_lua", .type = 4, .payload = Bytes(72, 0)}}}),
       .args = {"archive.zrq"},
       .out = FileLine(78, 5, "pic_WAV") + FileLine(72, 2, "tile_MP3") +
              FileLine(72, 4, "icon_lua") + DoneLine(3),
       .after = {{"velkard/pic_WAV.bmp", File(bitmap)},
                 {"velkard/tile_MP3.bmp", File(BitmapHeaders(32, 0))},
                 {"velkard/icon_lua.bmp", File(BitmapHeaders(32, 0))}}},
  });
}

TEST(OutputNames, CoincidingNamesAndLengths) {
  const std::string name63(63, 'n');
  const std::string name64 = "no-NUL-" + std::string(57, 'z');
  RunCases({
      {.name = "two records with one name: the later wins",
       .archive =
           Archive({.entries = {{.name = "same", .type = 3, .payload = Text("the first, longer")},
                                {.name = "same", .type = 3, .payload = Text("second")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(17, 3, "same") + FileLine(6, 3, "same") + DoneLine(2),
       .after = {{"velkard/same", File("second")}}},
      {.name = "a restored name meets a stored one: the later wins",
       .archive =
           Archive({.entries = {{.name = "clash_WAV", .type = 1, .payload = Text("restored")},
                                {.name = "clash.WAV", .type = 3, .payload = Text("stored")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(8, 1, "clash_WAV") + FileLine(6, 3, "clash.WAV") + DoneLine(2),
       .after = {{"velkard/clash.WAV", File("stored")}}},
      {.name = "a raw entry named like an image's bitmap replaces it",
       .archive = Archive({.entries = {{.name = "pic", .type = 2, .payload = Bytes(72, 0)},
                                       {.name = "pic.bmp", .type = 3, .payload = Text("raw")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(72, 2, "pic") + FileLine(3, 3, "pic.bmp") + DoneLine(2),
       .after = {{"velkard/pic.bmp", File("raw")}}},
      {.name = "63 characters and a NUL: the whole name",
       .archive = Archive({.entries = {{.name = name63, .type = 3, .payload = Text("63")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(2, 3, name63) + DoneLine(1),
       .after = {{"velkard/" + name63, File("63")}}},
      {.name = "64 bytes without a NUL: the 64 bytes are the name",
       .archive =
           Archive({.entries = {{.name = name64, .type = 3, .payload = Text("64")},
                                {.name = name64 + "_WAV", .type = 1, .payload = Text("cut")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(2, 3, name64) + FileLine(3, 1, name64) + DoneLine(2),
       .after = {{"velkard/" + name64, File("cut")}}},
  });
}

// Names that differ only in letter case are one file on Windows: the later
// entry replaces the earlier, as for equal names. Which spelling the file
// keeps is the file system's affair, so the Windows leg checks what each file
// holds, not its spelling. A short 8.3 name is skipped rather than written
// into the long-named file it stands for. LONG~BYJ.TXT is the short name wine gives longfilename_one.txt;
// Windows itself would give LONGFI~1.TXT.
TEST(OutputNames, NamesTheFileSystemTakesAsOne) {
  const ArchiveLayout layout{
      .entries = {{.name = "Readme", .type = 3, .payload = Text("earlier")},
                  {.name = "README", .type = 3, .payload = Text("later")},
                  {.name = "longfilename_one.txt", .type = 3, .payload = Text("long")},
                  {.name = "LONG~BYJ.TXT", .type = 3, .payload = Text("short")}}};
  const std::string out = FileLine(7, 3, "Readme") + FileLine(5, 3, "README") +
                          FileLine(4, 3, "longfilename_one.txt") + FileLine(5, 3, "LONG~BYJ.TXT") +
                          DoneLine(4);
  if (!OnWindows()) {
    RunCase({.name = "Linux: four names, four files",
             .archive = Archive(layout),
             .args = {"archive.zrq"},
             .out = out,
             .after = {{"velkard/Readme", File("earlier")},
                       {"velkard/README", File("later")},
                       {"velkard/longfilename_one.txt", File("long")},
                       {"velkard/LONG~BYJ.TXT", File("short")}}});
    return;
  }
  const CaseFolder folder({{"archive.zrq", File(Archive(layout))}});
  const ChildResult result = RunTool({"archive.zrq"}, folder.working());
  // A short alias never writes into the file it stands for.
  ExpectExit(result, -5,
             "Error: Skipped \"LONG~BYJ.TXT\": the name is the short name of "
             "\"longfilename_one.txt\", another file in the folder.\n");
  EXPECT_EQ(result.out, ConsoleLines(out));
  // Each file under the name of its group: the first spelling of each.
  FileTree groups;
  for (const auto& [path, node] : folder.Snapshot()) {
    std::string group = path;
    if (path == "run/velkard/README") group = "run/velkard/Readme";
    if (path == "run/velkard/LONG~BYJ.TXT") group = "run/velkard/longfilename_one.txt";
    EXPECT_EQ(groups.count(group), 0u) << "two files for " << group;
    groups[group] = node;
  }
  ExpectSameTree(InWorkingFolder({{"archive.zrq", File(Archive(layout))},
                                  {"velkard/Readme", File("later")},
                                  {"velkard/longfilename_one.txt", File("long")}}),
                 groups);
}

TEST(OutputNames, NamesThatAreNoFileNameAreSkipped) {
  const std::vector<std::string> unsafe = {
      "..", ".", "", "a/b", "../escape", "../../escape", "a\\b", "..\\escape", "tab\there",
      "bell\x01", "del\x7F", "line\nfeed",
      // Into a pipe the "File:" line keeps the bytes, on every build (the
      // line feed above too, where Windows ends the line with CR LF); only
      // messages escape them, and a C1 control (U+009B in UTF-8) with them.
      "\x1b]0;pwned\x07\x1b[2J",
      // Two literals, as "\x9B2J" would be one escape.
      "csi\xC2\x9B"  // NOLINT(bugprone-suspicious-missing-comma)
      "2J\x07"};
  const std::vector<std::string> shown = {"..",
                                          ".",
                                          "",
                                          "a/b",
                                          "../escape",
                                          "../../escape",
                                          "a\\b",
                                          "..\\escape",
                                          "tab\\x09here",
                                          "bell\\x01",
                                          "del\\x7F",
                                          "line\\x0Afeed",
                                          "\\x1B]0;pwned\\x07\\x1B[2J",
                                          "csi\\xC2\\x9B2J\\x07"};
  ArchiveLayout layout{.entries = {{.name = "good1", .type = 3, .payload = Text("g1")}}};
  std::string out = ListedLine(2, 3, "good1");
  std::string err;
  for (std::size_t i = 0; i < unsafe.size(); ++i) {
    // Half of them type 1: its renaming must not turn a refused name into a path.
    const std::uint32_t type = i % 2 == 0 ? 3 : 1;
    layout.entries.push_back({.name = unsafe[i], .type = type, .payload = Text("bad")});
    out += ListedLine(3, type, unsafe[i]);
    err += Unsafe(shown[i]);
  }
  layout.entries.push_back({.name = "good2_WAV", .type = 1, .payload = Text("g2")});
  out +=
      ListedLine(2, 1, "good2_WAV") + ConsoleLines(DoneLine(static_cast<int>(unsafe.size()) + 2));
  // The folder exists, and holds a subfolder "a", so that "a/b" would succeed if it were tried.
  FileTree files = {{"archive.zrq", File(Archive(layout))}, {"velkard/a", Folder()}};
  const CaseFolder folder(files);
  const ChildResult run = RunTool({"archive.zrq"}, folder.working());
  ExpectExit(run, -5, err);
  EXPECT_EQ(run.out, out) << "standard output";
  files["velkard/good1"] = File("g1");
  files["velkard/good2.WAV"] = File("g2");
  ExpectSameTree(InWorkingFolder(files), folder.Snapshot());
}

// On a terminal (a Windows console on the .exe's leg) the "File:" line shows
// what a terminal would act on as \xNN: C0 controls, DEL and C1 controls
// written as UTF-8. Messages escape the same on standard error, a pipe here.
TEST(OutputNames, OnATerminalNamesCannotDriveIt) {
  RunCases({
      {.name = "C0 and C1 controls escaped on the terminal and in messages",
       .archive = Archive(
           {.entries = {{.name = "\x1b]0;pwned\x07\x1b[2J", .type = 3, .payload = Text("bad")},
                        // Too large to write, so that its file name never stays to
                        // meet a code page.
                        {.name = "csi\xC2\x9B"
                                 "2J",
                         .type = 5,
                         .payload = SizedImagePayload(100000, 100000, {})},
                        {.name = "plain", .type = 3, .payload = Text("fine")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(3, 3, "\\x1B]0;pwned\\x07\\x1B[2J") + FileLine(76, 5, "csi\\xC2\\x9B2J") +
              FileLine(4, 3, "plain") + DoneLine(3),
       .err = Unsafe("\\x1B]0;pwned\\x07\\x1B[2J") +
              "Error: Skipped \"csi\\xC2\\x9B2J\": a 100000 x 100000 image is larger than the "
              "archive can hold.\n",
       .exit_code = -5,
       .after = {{"velkard/plain", File("fine")}},
       .standard_output = StandardOutput::kTerminal},
  });
}

TEST(OutputNames, NamesOnlyWindowsRefuses) {
  const std::vector<std::string> names = {"CON", "con.txt", "nul",   "COM1",  "LPT9.log", "AUX ",
                                          "a:b", "what?",   "star*", "pipe|", "dot.",     "space "};
  ArchiveLayout layout;
  std::string out;
  std::string err;
  FileTree on_linux;
  for (const std::string& name : names) {
    layout.entries.push_back({.name = name, .type = 3, .payload = Text(name)});
    out += FileLine(static_cast<std::uint32_t>(name.size()), 3, name);
    err += Unsafe(name);
    on_linux["velkard/" + name] = File(name);
  }
  layout.entries.push_back({.name = "fine", .type = 3, .payload = Text("ok")});
  out += FileLine(2, 3, "fine") + DoneLine(static_cast<int>(names.size()) + 1);
  on_linux["velkard/fine"] = File("ok");
  RunCases({
      {.name = "Linux: every one of them is a file name",
       .archive = Archive(layout),
       .args = {"archive.zrq"},
       .out = out,
       .after = on_linux,
       .legs = Legs::kLinuxOnly},
      {.name = "Windows: devices, reserved characters, trailing dot or space are skipped",
       .archive = Archive(layout),
       .args = {"archive.zrq"},
       .out = out,
       .err = err,
       .exit_code = -5,
       .after = {{"velkard/fine", File("ok")}},
       .legs = Legs::kWindowsOnly},
  });
}

// The name to judge is the one the file is created under, suffix included:
// "x." is no Windows file name, but "x..bmp" is.
TEST(OutputNames, ImageNamesAreJudgedWithTheirSuffix) {
  const Bytes sprite = ExpectedBitmap(32, 1, std::vector<std::uint16_t>(32, 0x1234));
  const Bytes sprite_payload = FixedWidthImagePayload(std::vector<std::uint16_t>(32, 0x1234));
  const Bytes dot = SizedImagePayload(1, 1, {0x4321});
  const auto sprite_line = [&](const std::string& name) {
    return FileLine(static_cast<std::uint32_t>(sprite_payload.size()), 2, name);
  };
  RunCases({
      {.name = "type 2 \"x.\" becomes x..bmp",
       .archive = Archive({.entries = {{.name = "x.", .type = 2, .payload = sprite_payload}}}),
       .args = {"archive.zrq"},
       .out = sprite_line("x.") + DoneLine(1),
       .after = {{"velkard/x..bmp", File(sprite)}}},
      {.name = "type 5 \"y \" becomes \"y .bmp\"",
       .archive = Archive({.entries = {{.name = "y ", .type = 5, .payload = dot}}}),
       .args = {"archive.zrq"},
       .out = FileLine(static_cast<std::uint32_t>(dot.size()), 5, "y ") + DoneLine(1),
       .after = {{"velkard/y .bmp", File(ExpectedBitmap(1, 1, {0x4321}))}}},
      // CON.bmp is still the console on Windows.
      {.name = "type 2 \"CON\": a device name whatever the suffix",
       .archive = Archive({.entries = {{.name = "CON", .type = 2, .payload = sprite_payload}}}),
       .args = {"archive.zrq"},
       .out = sprite_line("CON") + DoneLine(1),
       .err = Unsafe("CON"),
       .exit_code = -5,
       .after = {{"velkard", Folder()}},
       .legs = Legs::kWindowsOnly},
      // The restored extension counts too: "nul.WAV" is the null device on
      // Windows, where the entry would vanish without a word.
      {.name = "type 1 \"nul_WAV\" is judged as nul.WAV: a device on Windows",
       .archive = Archive({.entries = {{.name = "nul_WAV", .type = 1, .payload = Text("sound")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(5, 1, "nul_WAV") + DoneLine(1),
       .err = Unsafe("nul_WAV"),
       .exit_code = -5,
       .after = {{"velkard", Folder()}},
       .legs = Legs::kWindowsOnly},
      {.name = "type 1 \"nul_WAV\" is an ordinary nul.WAV on Linux",
       .archive = Archive({.entries = {{.name = "nul_WAV", .type = 1, .payload = Text("sound")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(5, 1, "nul_WAV") + DoneLine(1),
       .after = {{"velkard/nul.WAV", File("sound")}},
       .legs = Legs::kLinuxOnly},
  });
}

TEST(OutputNames, BytesAboveAsciiOnLinux) {
  const std::string latin1 = "caf\xE9";
  const std::string utf8 = "\xC3\xA9t\xC3\xA9_WAV";
  RunCases({
      {.name = "names are bytes, with no conversion",
       .archive = Archive({.entries = {{.name = latin1, .type = 3, .payload = Text("latin-1")},
                                       {.name = utf8, .type = 1, .payload = Text("utf-8")}}}),
       .args = {"archive.zrq"},
       .out = FileLine(7, 3, latin1) + FileLine(5, 1, utf8) + DoneLine(2),
       .after = {{"velkard/" + latin1, File("latin-1")},
                 {"velkard/\xC3\xA9t\xC3\xA9.WAV", File("utf-8")}},
       .legs = Legs::kLinuxOnly},
  });
}

// Under wine the name passes through the code page on its way to the Unix
// file system, so only the bytes written and the silence are checked here.
TEST(OutputNames, BytesAboveAsciiOnWindows) {
  if (!OnWindows()) GTEST_SKIP() << "BytesAboveAsciiOnLinux checks the exact name";
  const ScratchDir temporary;
  const std::string& root = temporary.path();
  CreateTree(
      root,
      {{"archive.zrq",
        File(Archive({.entries = {{.name = "caf\xE9", .type = 3, .payload = Text("latin-1")}}}))}});
  const ChildResult result = RunTool({"archive.zrq"}, root);
  EXPECT_EQ(result.failure, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_TRUE(result.out.starts_with("File: (0x00000007) Type:3 caf")) << result.out;
  EXPECT_TRUE(result.out.ends_with(" \r\nDone: 1 files processed.\r\n")) << result.out;
  FileTree files = SnapshotTree(root);
  files.erase("archive.zrq");
  files.erase("velkard");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files.begin()->first.starts_with("velkard/caf")) << files.begin()->first;
  EXPECT_EQ(files.begin()->second, File("latin-1"));
}

// The limit is the platform's: 4096 bytes with the NUL on Linux, where a
// folder that deep needs nesting; 260 on Windows, the tool's path buffer.
TEST(OutputNames, OutputPathTooLong) {
  std::string deep;  // 4040 characters: 20 levels of 200, then one of 20
  for (int level = 0; level < 20; ++level) deep += std::string(200, 'd') + "/";
  deep += std::string(20, 'e');
  const std::string wide(200, 'w');

  // Name lengths that put the path just inside and just outside the limit.
  auto table = [](const std::string& folder, std::size_t limit) {
    const std::size_t fits = limit - 1 - folder.size() - 1;  // folder + separator + name + NUL
    const std::string raw_fits(fits, 'r');
    const std::string raw_long(fits + 1, 'R');
    const std::string bitmap_fits(fits - 4, 'b');  // ".bmp" counts
    const std::string bitmap_long(fits - 3, 'B');
    const Bytes empty_image(72, 0);
    E2eCase test_case{
        .archive = Archive({.entries = {{.name = "a", .type = 3, .payload = Text("short")},
                                        {.name = raw_fits, .type = 3, .payload = Text("fits")},
                                        {.name = raw_long, .type = 3, .payload = Text("long")},
                                        {.name = bitmap_fits, .type = 2, .payload = empty_image},
                                        {.name = bitmap_long, .type = 4, .payload = empty_image}}}),
        .args = {"archive.zrq", folder},
        .out = FileLine(5, 3, "a") + FileLine(4, 3, raw_fits) + FileLine(4, 3, raw_long) +
               FileLine(72, 2, bitmap_fits) + FileLine(72, 4, bitmap_long) + DoneLine(5),
        .err = TooLong(raw_long) + TooLong(bitmap_long),
        .exit_code = -5,
        .after = {{folder + "/a", File("short")},
                  {folder + "/" + raw_fits, File("fits")},
                  {folder + "/" + bitmap_fits + ".bmp", File(BitmapHeaders(32, 0))}}};
    return test_case;
  };
  E2eCase on_linux = table(deep, 4096);
  on_linux.name = "Linux: a folder 4040 characters deep";
  on_linux.before = {{deep, Folder()}};
  on_linux.legs = Legs::kLinuxOnly;
  E2eCase on_windows = table(wide, 260);
  on_windows.name = "Windows: a folder name of 200 characters";
  on_windows.legs = Legs::kWindowsOnly;
  RunCases({on_linux, on_windows});
}

TEST(OutputNames, TheArchiveIsNeverAnOutput) {
  const std::string replace = "\": the output file would replace the archive itself.\n";
  RunCases({
      {.name = "an entry named like the archive, unpacked next to it",
       .archive = Archive({.entries = {{.name = "archive.zrq", .type = 3, .payload = Text("evil")},
                                       {.name = "other", .type = 3, .payload = Text("fine")}}}),
       .args = {"archive.zrq", "."},
       .out = FileLine(4, 3, "archive.zrq") + FileLine(4, 3, "other") + DoneLine(2),
       .err = "Error: Skipped \"archive.zrq" + replace,
       .exit_code = -5,
       .after = {{"other", File("fine")}}},
      {.name = "the same folder reached by another path",
       .archive =
           Archive({.entries = {{.name = "archive.zrq", .type = 3, .payload = Text("evil")}}}),
       .args = {"archive.zrq", "../run"},
       .out = FileLine(4, 3, "archive.zrq") + DoneLine(1),
       .err = "Error: Skipped \"archive.zrq" + replace,
       .exit_code = -5},
      {.name = "Windows: the archive's name in other letter case is the archive",
       .archive =
           Archive({.entries = {{.name = "ARCHIVE.ZRQ", .type = 3, .payload = Text("evil")}}}),
       .args = {"archive.zrq", "."},
       .out = FileLine(4, 3, "ARCHIVE.ZRQ") + DoneLine(1),
       .err = "Error: Skipped \"ARCHIVE.ZRQ" + replace,
       .exit_code = -5,
       .legs = Legs::kWindowsOnly},
      {.name = "Linux: the archive's name in other letter case is another file",
       .archive =
           Archive({.entries = {{.name = "ARCHIVE.ZRQ", .type = 3, .payload = Text("fine")}}}),
       .args = {"archive.zrq", "."},
       .out = FileLine(4, 3, "ARCHIVE.ZRQ") + DoneLine(1),
       .after = {{"ARCHIVE.ZRQ", File("fine")}},
       .legs = Legs::kLinuxOnly},
      {.name = "an image whose bitmap name is the archive's",
       .archive = Archive(
           {.entries = {{.name = "pic", .type = 5, .payload = SizedImagePayload(1, 1, {0xFFFF})}}}),
       .args = {"pic.bmp", "."},
       .out = FileLine(78, 5, "pic") + DoneLine(1),
       .err = "Error: Skipped \"pic" + replace,
       .exit_code = -5,
       .archive_name = "pic.bmp"},
      {.name = "a restored type-1 name that is the archive's",
       .archive = Archive({.entries = {{.name = "game_lua", .type = 1, .payload = Text("evil")}}}),
       .args = {"game.lua", "."},
       .out = FileLine(4, 1, "game_lua") + DoneLine(1),
       .err = "Error: Skipped \"game_lua" + replace,
       .exit_code = -5,
       .archive_name = "game.lua"},
  });
}

}  // namespace
