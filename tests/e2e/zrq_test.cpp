// zrq, the companion program, judged against unzrq itself: what zrq packs
// unzrq unpacks to the very files it was packed from; what `zrq test` and
// `zrq list` say of an archive, damaged or hostile, is what unzrq says and
// does with it; what `zrq cat` prints is the file unzrq writes. Then zrq's
// own command line and the refusals of `create`, as table rows.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <tuple>

#include "e2e_case.h"
#include "tool_under_test.h"
#include "zrq_archives.h"

namespace {

#define SKIP_WITHOUT_ZRQ() \
  if (Tool().zrq_path.empty()) GTEST_SKIP() << "the suite was given no zrq (--zrq)"

// The files under `folder` in a snapshot of a case folder, by name.
FileTree FilesIn(const FileTree& snapshot, const std::string& folder) {
  FileTree files;
  const std::string prefix = "run/" + folder + "/";
  for (const auto& [path, node] : snapshot) {
    if (path.starts_with(prefix)) files[path.substr(prefix.size())] = node;
  }
  return files;
}

TEST(ZrqRoundTrip, UnzrqOutputPacksBackToTheSameFiles) {
  SKIP_WITHOUT_ZRQ();
  const CaseFolder folder({{"archive.zrq", File(Archive({.entries = EveryKind()}))}});
  ExpectExit(RunTool({"archive.zrq", "unpacked"}, folder.working()), 0, "");
  const FileTree unpacked = FilesIn(folder.Snapshot(), "unpacked");
  ASSERT_EQ(unpacked.size(), EveryKind().size());

  // A folder, with and without --images, and the same files named one by one.
  std::vector<std::string> one_by_one = {"create", "--images", "by_name.zrq"};
  for (const auto& [name, node] : unpacked) one_by_one.push_back("unpacked/" + name);
  const std::vector<std::vector<std::string>> creates = {
      {"create", "--images", "images.zrq", "unpacked"},
      {"create", "plain.zrq", "unpacked"},
      one_by_one};
  for (const std::vector<std::string>& create : creates) {
    const std::string& archive = create[create[1] == "--images" ? 2 : 1];
    SCOPED_TRACE(archive);
    const ChildResult packed = RunZrq(create, folder.working());
    EXPECT_EQ(packed.exit_status, 0) << packed.err;
    EXPECT_EQ(packed.err, "");
    ExpectExit(RunTool({archive, archive + ".out"}, folder.working()), 0, "");
    EXPECT_EQ(DescribeTreeDifference(unpacked, FilesIn(folder.Snapshot(), archive + ".out")), "");
    const ChildResult tested = RunZrq({"test", archive}, folder.working());
    ExpectExit(tested, 0, "");
  }
  // Sorted names make the same archive whichever way the files are named.
  EXPECT_EQ(ReadFileBytes(folder / "images.zrq"), ReadFileBytes(folder / "by_name.zrq"));
  // With --images every bitmap is a sized image again; without, a plain entry.
  const ChildResult listed = RunZrq({"list", "--json", "images.zrq"}, folder.working());
  EXPECT_NE(listed.out.find("\"type\": 5,"), std::string::npos) << listed.out;
}

// The names `zrq list` says unzrq writes: the output name of every line not
// marked skipped, the header aside. Names in these archives hold no space.
std::set<std::string> ListedOutputs(const std::string& out) {
  std::set<std::string> names;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with(" Index ")) continue;
    const std::size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos || line.ends_with(" (skipped)")) continue;
    const std::string rest = line.substr(arrow + 4);
    names.insert(rest.substr(0, rest.find(' ')));
  }
  return names;
}

TEST(ZrqAgreement, TestAndListSayWhatUnzrqDoes) {
  SKIP_WITHOUT_ZRQ();
  for (const auto& [name, bytes] : DamagedAndHostile()) {
    SCOPED_TRACE(name);
    const CaseFolder folder({{"archive.zrq", File(bytes)}});
    const ChildResult unpacked = RunTool({"archive.zrq"}, folder.working());
    const std::set<std::string> written = [&] {
      std::set<std::string> names;
      for (const auto& [file, node] : FilesIn(folder.Snapshot(), "velkard")) names.insert(file);
      return names;
    }();
    const ChildResult tested = RunZrq({"test", "archive.zrq"}, folder.working());
    EXPECT_EQ(tested.exit_status, unpacked.exit_status);
    EXPECT_EQ(tested.err, unpacked.err);
    const ChildResult listed = RunZrq({"list", "archive.zrq"}, folder.working());
    EXPECT_EQ(listed.exit_status, unpacked.exit_status);
    EXPECT_EQ(listed.err, unpacked.err);
    EXPECT_EQ(ListedOutputs(listed.out), written) << listed.out;
  }
}

// With no pattern, extract is unzrq's run: the same lines, messages, exit
// code and files, given unzrq's folder.
TEST(ZrqAgreement, ExtractWithoutPatternsIsUnzrq) {
  SKIP_WITHOUT_ZRQ();
  for (const auto& [name, bytes] : DamagedAndHostile()) {
    SCOPED_TRACE(name);
    const CaseFolder by_unzrq({{"archive.zrq", File(bytes)}});
    const ChildResult unpacked = RunTool({"archive.zrq"}, by_unzrq.working());
    const CaseFolder by_zrq({{"archive.zrq", File(bytes)}});
    const ChildResult extracted =
        RunZrq({"extract", "archive.zrq", "-C", "velkard"}, by_zrq.working());
    EXPECT_EQ(extracted.exit_status, unpacked.exit_status);
    EXPECT_EQ(extracted.out, unpacked.out);
    EXPECT_EQ(extracted.err, unpacked.err);
    ExpectSameTree(by_unzrq.Snapshot(), by_zrq.Snapshot());
  }
}

TEST(ZrqCat, EachEntryIsTheFileUnzrqWrites) {
  SKIP_WITHOUT_ZRQ();
  std::vector<TestEntry> entries = EveryKind();
  // The last entry of a name is the file unzrq leaves.
  entries.push_back({.name = "readme.txt", .type = 3, .payload = Text("the later one")});
  const CaseFolder folder({{"archive.zrq", File(Archive({.entries = entries}))}});
  ExpectExit(RunTool({"archive.zrq"}, folder.working()), 0, "");
  for (const auto& [name, node] : FilesIn(folder.Snapshot(), "velkard")) {
    SCOPED_TRACE(name);
    const ChildResult printed = RunZrq({"cat", "archive.zrq", name}, folder.working());
    ExpectExit(printed, 0, "");
    EXPECT_TRUE(printed.out == std::string(node.bytes.begin(), node.bytes.end()));
  }
  // By the stored name as well.
  const ChildResult by_stored = RunZrq({"cat", "archive.zrq", "intro_WAV"}, folder.working());
  ExpectExit(by_stored, 0, "");
  const Bytes intro = ReadFileBytes(folder / "velkard/intro.WAV");
  EXPECT_TRUE(by_stored.out == std::string(intro.begin(), intro.end()));

  // An entry the archive ends inside: the bytes unzrq writes of it, and its message.
  const CaseFolder cut({{"cut.zrq", File(Archive({.entries = {{.name = "cut",
                                                               .payload = {},
                                                               .has_offset = true,
                                                               .offset = 4,
                                                               .has_size = true,
                                                               .size = 1000}}}))}});
  const ChildResult unpacked = RunTool({"cut.zrq"}, cut.working());
  const ChildResult partial = RunZrq({"cat", "cut.zrq", "cut"}, cut.working());
  EXPECT_EQ(partial.exit_status, ExitStatus(-5));
  EXPECT_EQ(partial.err, ConsoleLines("Error: \"cut\" is truncated: the archive ends inside its "
                                      "payload.\n"));
  EXPECT_EQ(partial.err, unpacked.err);
  const Bytes written = ReadFileBytes(cut / "velkard/cut");
  EXPECT_TRUE(partial.out == std::string(written.begin(), written.end()));
}

// A bitmap file as unzrq writes it, with one byte changed if `poke` is set.
Bytes Bitmap(std::uint32_t width, std::uint32_t height, std::size_t poke = 0) {
  Bytes bytes = ExpectedBitmap(width, height, PatternPixels(std::size_t{width} * height, 21));
  if (poke != 0) bytes[poke] ^= 1;
  return bytes;
}

// `bytes` with the byte at `at` set to `value`.
Bytes Poked(Bytes bytes, std::size_t at, unsigned char value) {
  bytes[at] = value;
  return bytes;
}

// A bitmap header that claims 65535 x 65535 pixels, in a file of 100 bytes.
Bytes HugeHeader() {
  Bytes bytes = Slice(Bitmap(1, 1), 0, 54);
  for (const std::size_t at : {18, 22}) {
    bytes[at] = 0xFF;
    bytes[at + 1] = 0xFF;
  }
  bytes.resize(100, 0);
  return bytes;
}

TEST(ZrqCommandLine, UsageListCatAndCreate) {
  SKIP_WITHOUT_ZRQ();
  const std::vector<TestEntry> two = {
      {.name = "song_mp3", .type = 1, .payload = Text("MP3")},
      {.name = "pic", .type = 5, .payload = SizedImagePayload(3, 2, PatternPixels(6, 21))}};
  const Bytes two_archive = Archive({.entries = two});
  const std::string two_bytes = std::to_string(two_archive.size());
  const std::string long_name(60, 'n');
  std::vector<E2eCase> cases = {
      {.name = "no arguments: the usage, 0", .err = ZrqUsage(), .zrq = true},
      {.name = "--help on standard output", .args = {"--help"}, .out = ZrqUsage(), .zrq = true},
      // The version of the build, which `project()` sets for both programs.
      {.name = "--version", .args = {"--version"}, .out = "zrq " UNZRQ_VERSION "\n", .zrq = true},
      {.name = "an unknown command",
       .args = {"unpack", "a.zrq"},
       .err = "Error: Unknown command \"unpack\".\n" + ZrqUsage(),
       .exit_code = -6,
       .zrq = true},
      {.name = "cat without a name",
       .archive = two_archive,
       .args = {"cat", "archive.zrq"},
       .err = "Error: Wrong arguments for \"cat\".\n" + ZrqUsage(),
       .exit_code = -6,
       .zrq = true},
      {.name = "list: a header, index, type, decimal size, the image's size, names, a total",
       .archive = two_archive,
       .args = {"list", "archive.zrq"},
       .out = " Index  Type        Size  Image        Name -> Output\n"
              "     0     1           3               song_mp3 -> song.mp3\n"
              "     1     5          88  3x2          pic -> pic.bmp\n"
              "2 entries, 91 bytes\n",
       .zrq = true},
      {.name = "list: one entry of one byte, an empty archive",
       .archive = Archive({.entries = {{.name = "b", .type = 3, .payload = Text("1")}}}),
       .args = {"list", "archive.zrq"},
       .out = " Index  Type        Size  Image        Name -> Output\n"
              "     0     3           1               b -> b\n"
              "1 entry, 1 byte\n",
       .zrq = true},
      {.name = "list of an empty archive",
       .archive = Bytes{},
       .args = {"list", "archive.zrq"},
       .out = " Index  Type        Size  Image        Name -> Output\n"
              "0 entries, 0 bytes\n",
       .zrq = true},
      {.name = "list --json without an archive: the usage",
       .archive = two_archive,
       .args = {"list", "--json"},
       .err = "Error: Wrong arguments for \"list\".\n" + ZrqUsage(),
       .exit_code = -6,
       .zrq = true},
      {.name = "list --json",
       .archive = two_archive,
       .args = {"list", "--json", "archive.zrq"},
       .out = "{\"entries\": [\n"
              "    {\"index\": 0, \"type\": 1, \"size\": 3, \"offset\": 8, \"name\": \"song_mp3\", "
              "\"name_bytes\": \"736F6E675F6D7033\", \"output\": \"song.mp3\", \"fate\": "
              "\"written\"},\n"
              "    {\"index\": 1, \"type\": 5, \"size\": 88, \"offset\": 11, \"name\": \"pic\", "
              "\"name_bytes\": \"706963\", \"output\": \"pic.bmp\", \"width\": 3, \"height\": 2, "
              "\"fate\": \"written\"}\n"
              "], \"records\": 2, \"failing\": 0, \"damaged\": false}\n",
       .zrq = true},
      {.name = "test of a sound archive",
       .archive = two_archive,
       .args = {"test", "archive.zrq"},
       .out = "Tested 2 records: every entry would be written whole.\n",
       .zrq = true},
      {.name = "test of an archive with a damaged entry",
       .archive = Archive({.entries = {two[0],
                                       {.name = "cut",
                                        .payload = {},
                                        .has_offset = true,
                                        .offset = 9,
                                        .has_size = true,
                                        .size = 500}}}),
       .args = {"test", "archive.zrq"},
       .out = "Tested 2 records: 1 would be skipped or written incomplete.\n",
       .err = "Error: \"cut\" is truncated: the archive ends inside its payload.\n",
       .exit_code = -5,
       .zrq = true},
      {.name = "test of an archive whose directory is cut",
       .archive = Slice(two_archive, 0, two_archive.size() - 1),
       .args = {"test", "archive.zrq"},
       .out =
           "Tested 1 records of a damaged directory: 0 would be skipped or written incomplete.\n",
       .err = "Error: Directory is truncated: the archive ends after 1 of 2 records.\n",
       .exit_code = -5,
       .zrq = true},
      {.name = "test of a missing archive: unzrq's message and code",
       .args = {"test", "missing.zrq"},
       .err = "Couldn't open archive file: \"missing.zrq\"\n",
       .exit_code = -2,
       .zrq = true},
      {.name = "cat of a name no entry has",
       .archive = two_archive,
       .args = {"cat", "archive.zrq", "song_MP3"},
       .err = "Error: No entry of the archive is named \"song_MP3\".\n",
       .exit_code = -7,
       .zrq = true},
      {.name = "list on a terminal: names escaped as in unzrq's lines and messages",
       .archive = Archive({.entries = {{.name = "t\x1B]0;x\x07", .payload = Text("1")},
                                       {.name = "csi\xC2\x9B"
                                                "2J",
                                        .payload = Text("2")}}}),
       .args = {"list", "archive.zrq"},
       .out =
           " Index  Type        Size  Image        Name -> Output\n"
           "     0     3           1               t\\x1B]0;x\\x07 -> t\\x1B]0;x\\x07 (skipped)\n"
           "     1     3           1               csi\\xC2\\x9B2J -> csi\\xC2\\x9B2J\n"
           "2 entries, 2 bytes\n",
       .err = "Error: Skipped \"t\\x1B]0;x\\x07\": the name cannot be used as a file name.\n",
       .exit_code = -5,
       .standard_output = StandardOutput::kTerminal,
       .zrq = true},
      {.name = "list into a pipe nobody reads: told at the end, as unzrq tells it",
       .archive = two_archive,
       .args = {"list", "archive.zrq"},
       .err = "Error: Failed to write to standard output.\n",
       .exit_code = -5,
       .standard_output = StandardOutput::kReaderGone,
       .zrq = true},
      {.name = "cat into a pipe nobody reads: the entry and the system's reason",
       .archive = two_archive,
       .args = {"cat", "archive.zrq", "pic.bmp"},
       .err = "Error: Failed to write \"pic\" to standard output: " +
              SystemReason("Broken pipe", "Pipe not connected") + ".\n",
       .exit_code = -5,
       .standard_output = StandardOutput::kReaderGone,
       .zrq = true},
      {.name = "cat without standard output (>&-)",
       .archive = two_archive,
       .args = {"cat", "archive.zrq", "song.mp3"},
       .err = "Error: Failed to write \"song_mp3\" to standard output: " +
              SystemReason("Bad file descriptor", "Invalid handle") + ".\n",
       .exit_code = -5,
       .standard_output = StandardOutput::kClosed,
       .zrq = true},
      {.name = "create: exactly the archive of the files, in the order given",
       .args = {"create", "--images", "new.zrq", "in/song.mp3", "in/pic.bmp"},
       .out = "Packed 2 entries into \"new.zrq\" (" + two_bytes + " bytes).\n",
       .after = {{"new.zrq", File(two_archive)}},
       .before = {{"in/song.mp3", File("MP3")}, {"in/pic.bmp", File(Bitmap(3, 2))}},
       .zrq = true},
      {.name = "create --force replaces an old file whole",
       .args = {"create", "--force", "old.zrq", "in"},
       .out = "Packed 1 entry into \"old.zrq\" (95 bytes).\n",
       .after = {{"old.zrq",
                  File(Archive({.entries = {{.name = "a", .type = 3, .payload = Text("abc")}}}))}},
       .before = {{"old.zrq", File("old")}, {"in/a", File("abc")}},
       .zrq = true}};
  // Refusals: every reason is told, and nothing is written.
  const std::vector<std::tuple<std::string, FileTree, std::vector<std::string>, std::string>>
      refusals = {{"a name longer than an entry holds",
                   {{"in/" + long_name + ".WAV", File("x")}},
                   {"create", "x.zrq", "in"},
                   "Error: Cannot pack \"" + OutputPath("in", long_name + ".WAV") +
                       "\": its entry name \"" + long_name + "_WAV\" is longer than 63 bytes.\n"},
                  {"two names that unpack to one file, letter case aside",
                   {{"in/a.txt", File("1")}, {"other/A.TXT", File("2")}},
                   {"create", "x.zrq", "in", "other/A.TXT"},
                   "Error: Cannot pack \"other/A.TXT\": it would be unpacked as \"A.TXT\", as \"" +
                       OutputPath("in", "a.txt") + "\" would (letter case aside).\n"},
                  {"a folder in a folder",
                   {{"in/sub/a", File("1")}},
                   {"create", "x.zrq", "in"},
                   "Error: Cannot pack \"" + OutputPath("in", "sub") +
                       "\": it is a folder, and an entry holds no folder.\n"},
                  {"a compressed bitmap: the field and its value",
                   {{"in/p.bmp", File(Poked(Bitmap(3, 2), 30, 1))}},
                   {"create", "--images", "x.zrq", "in"},
                   "Error: Cannot pack \"" + OutputPath("in", "p.bmp") +
                       "\" as an image: its biCompression is 1 (RLE8), which zrq does not "
                       "read.\n"},
                  {"a header's 65535 x 65535 pixels in a file of 100 bytes",
                   {{"in/p.bmp", File(HugeHeader())}},
                   {"create", "--images", "x.zrq", "in"},
                   "Error: Cannot pack \"" + OutputPath("in", "p.bmp") +
                       "\" as an image: 65535 x 65535 pixels of 24 bits need 12884705277 bytes "
                       "from byte 54, and the file ends after 100.\n"},
                  {"a .bmp that is no picture",
                   {{"in/p.bmp", File("not a picture")}},
                   {"create", "--images", "x.zrq", "in"},
                   "Error: Cannot pack \"" + OutputPath("in", "p.bmp") +
                       "\" as an image: it is neither a BMP nor a PNG file.\n"},
                  {"an input that is not there",
                   {},
                   {"create", "x.zrq", "nothing"},
                   "Error: Cannot pack \"nothing\": " +
                       SystemReason("No such file or directory", "File not found") + ".\n"}};
  for (const auto& [name, before, args, err] : refusals) {
    cases.push_back({.name = "create refused: " + name,
                     .args = args,
                     .err = err + "Error: \"x.zrq\" was not created.\n",
                     .exit_code = -8,
                     .before = before,
                     .zrq = true});
  }
  RunCases(cases);
}

// extract: which entries a pattern chooses (by stored or output name), where
// they go, what --keep leaves, and the patterns that match nothing.
TEST(ZrqExtract, ChosenEntriesKeptFilesAndUnmatchedPatterns) {
  SKIP_WITHOUT_ZRQ();
  const std::vector<std::uint16_t> pixels = PatternPixels(6, 31);
  const Bytes picture = SizedImagePayload(3, 2, pixels);
  const Bytes bitmap = ExpectedBitmap(3, 2, pixels);
  const Bytes archive =
      Archive({.entries = {{.name = "menu_lua", .type = 1, .payload = Text("m()")},
                           {.name = "intro_WAV", .type = 1, .payload = Text("w")},
                           {.name = "pic", .type = 5, .payload = picture},
                           {.name = "-dash", .type = 3, .payload = Text("d")},
                           {.name = "a*b", .type = 3, .payload = Text("s")}}});
  const std::string menu = FileLine(3, 1, "menu_lua");
  const std::string intro = FileLine(1, 1, "intro_WAV");
  const std::string pic = FileLine(88, 5, "pic");
  const std::string dash = FileLine(1, 3, "-dash");
  const std::string star = FileLine(1, 3, "a*b");
  const std::string kept = ": it exists, and --keep leaves it as it is.\n";
  const std::vector<E2eCase> cases = {
      {.name = "every entry, into the current folder",
       .archive = archive,
       .args = {"extract", "archive.zrq"},
       .out = menu + intro + pic + dash + star + DoneLine(5),
       .after = {{"menu.lua", File("m()")},
                 {"intro.WAV", File("w")},
                 {"pic.bmp", File(bitmap)},
                 {"-dash", File("d")},
                 {"a*b", File("s")}},
       .legs = Legs::kLinuxOnly,  // Windows refuses "a*b" as a name
       .zrq = true},
      {.name = "patterns on the output name and on the stored name, into -C's folder",
       .archive = archive,
       .args = {"extract", "archive.zrq", "-C", "mod", "*.lua", "p?c"},
       .out = menu + pic + DoneLine(2),
       .after = {{"mod/menu.lua", File("m()")}, {"mod/pic.bmp", File(bitmap)}},
       .zrq = true},
      {.name = "sets, ranges, negation; options after the patterns",
       .archive = archive,
       .args = {"extract", "archive.zrq", "[!m]*_[A-Z]AV", "[o-q]i[a-c].bmp", "-C", "mod"},
       .out = intro + pic + DoneLine(2),
       .after = {{"mod/intro.WAV", File("w")}, {"mod/pic.bmp", File(bitmap)}},
       .zrq = true},
      {.name = "a pattern that starts with a dash after --",
       .archive = archive,
       .args = {"extract", "archive.zrq", "-C", "mod", "--", "-d*"},
       .out = dash + DoneLine(1),
       .after = {{"mod/-dash", File("d")}},
       .zrq = true},
      {.name = "a backslash takes a wildcard as itself",
       .archive = archive,
       .args = {"extract", "archive.zrq", "-C", "mod", "pic", "a\\*b", "menu\\*"},
       .out = pic + star + DoneLine(2),
       .err = "Error: No entry of the archive matches \"menu\\*\".\n",
       .exit_code = -7,
       .after = {{"mod/pic.bmp", File(bitmap)}, {"mod/a*b", File("s")}},
       .legs = Legs::kLinuxOnly,  // Windows refuses "a*b" as a name
       .zrq = true},
      {.name = "patterns that match nothing: told after the walk, -7, the rest written",
       .archive = archive,
       .args = {"extract", "archive.zrq", "-C", "mod", "*.LUA", "intro*", "pic.BMP"},
       .out = intro + DoneLine(1),
       .err = "Error: No entry of the archive matches \"*.LUA\".\n"
              "Error: No entry of the archive matches \"pic.BMP\".\n",
       .exit_code = -7,
       .after = {{"mod/intro.WAV", File("w")}},
       .zrq = true},
      {.name = "--keep leaves every file there as it is, and says so",
       .archive = archive,
       .args = {"extract", "--keep", "archive.zrq", "-C", "mod", "*.lua", "*.WAV", "pic"},
       .out = menu + intro + pic + DoneLine(3),
       .err = "Kept \"" + OutputPath("mod", "menu.lua") + "\"" + kept + "Kept \"" +
              OutputPath("mod", "pic.bmp") + "\"" + kept,
       .after = {{"mod/intro.WAV", File("w")}},
       .before = {{"mod/menu.lua", File("edited()")}, {"mod/pic.bmp", Folder()}},
       .zrq = true},
      {.name = "--keep leaves a link as it is, even one that points nowhere",
       .archive = archive,
       .args = {"extract", "archive.zrq", "--keep", "-C", "mod", "*.lua", "intro*"},
       .out = menu + intro + DoneLine(2),
       .err = "Kept \"mod/menu.lua\"" + kept + "Kept \"mod/intro.WAV\"" + kept,
       .before = {{"mod/menu.lua", Link("../elsewhere.lua")},
                  {"elsewhere.lua", File("theirs")},
                  {"mod/intro.WAV", Link("nowhere")}},
       .legs = Legs::kLinuxOnly,
       .zrq = true},
      {.name = "without --keep an old file is replaced, as unzrq replaces it",
       .archive = archive,
       .args = {"extract", "archive.zrq", "-C", "mod", "menu.lua"},
       .out = menu + DoneLine(1),
       .after = {{"mod/menu.lua", File("m()")}},
       .before = {{"mod/menu.lua", File("edited()")}},
       .zrq = true},
      {.name = "a damaged archive: its problems and the unmatched pattern, -5",
       .archive = Slice(archive, 0, archive.size() - 1),
       .args = {"extract", "archive.zrq", "-C", "mod", "*", "a\\*b"},
       .out = menu + intro + pic + dash + DoneLine(4),
       .err = "Error: Directory is truncated: the archive ends after 4 of 5 records.\n"
              "Error: No entry of the archive matches \"a\\*b\".\n",
       .exit_code = -5,
       .after = {{"mod/menu.lua", File("m()")},
                 {"mod/intro.WAV", File("w")},
                 {"mod/pic.bmp", File(bitmap)},
                 {"mod/-dash", File("d")}},
       .zrq = true},
      {.name = "a missing archive: unzrq's message, no pattern judged",
       .args = {"extract", "missing.zrq", "-C", "mod", "x"},
       .err = "Couldn't open archive file: \"missing.zrq\"\n",
       .exit_code = -2,
       .after = {{"mod", Folder()}},
       .zrq = true},
      {.name = "a folder that cannot be made: unzrq's message",
       .archive = archive,
       .args = {"extract", "archive.zrq", "-C", "file", "x"},
       .err = "Couldn't create output folder \"file\"\n",
       .exit_code = -1,
       .before = {{"file", File("not a folder")}},
       .zrq = true}};
  std::vector<E2eCase> all = cases;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"extract"},
                                             {"extract", "-C", "mod"},
                                             {"extract", "archive.zrq", "-C"},
                                             {"extract", "archive.zrq", "-C", "a", "-C", "b"},
                                             {"extract", "archive.zrq", "-k"},
                                             {"extract", "--keep"}}) {
    all.push_back({.name = "wrong arguments: " + args.back(),
                   .archive = archive,
                   .args = args,
                   .err = "Error: Wrong arguments for \"extract\".\n" + ZrqUsage(),
                   .exit_code = -6,
                   .zrq = true});
  }
  RunCases(all);
}

// Nothing past 4 GiB: offsets are 32-bit. Sparse files, so that nothing
// close to that size is written; refused before the archive is made.
TEST(ZrqCreate, NothingPast4GiB) {
  SKIP_WITHOUT_ZRQ();
  const CaseFolder folder({{"in/half1", File("")}, {"in/half2", File("")}, {"huge/big", File("")}});
  ASSERT_EQ(truncate((folder / "in/half1").c_str(), 1ll << 31), 0);
  ASSERT_EQ(truncate((folder / "in/half2").c_str(), 1ll << 31), 0);
  ASSERT_EQ(truncate((folder / "huge/big").c_str(), 1ll << 32), 0);
  ExpectExit(RunZrq({"create", "x.zrq", "in"}, folder.working()), -8,
             "Error: Cannot create \"x.zrq\": it would hold 4294967468 bytes, and its offsets "
             "reach 4294967295 at most.\nError: \"x.zrq\" was not created.\n");
  ExpectExit(RunZrq({"create", "x.zrq", "huge/big"}, folder.working()), -8,
             "Error: Cannot pack \"huge/big\": it holds 4294967296 bytes, an entry 4294967295 at "
             "most.\nError: \"x.zrq\" was not created.\n");
  EXPECT_FALSE(std::filesystem::exists(folder / "x.zrq"));
}

}  // namespace
