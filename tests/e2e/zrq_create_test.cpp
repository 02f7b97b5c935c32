// zrq create as a user meets it: it never destroys a file (a file under
// ARCHIVE that is no sound archive is kept unless forced, the archive is
// never packed into itself, nor the tools' own temporary files, a link stays
// a link, a stopped run leaves nothing), it packs no name that unzrq on
// either system would lose unless told to, and the modder's round trip
// (unpack, edit pictures and a script in other programs, pack, unpack) gives
// back the edited files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <tuple>

#include "e2e_case.h"
#include "tool_under_test.h"

namespace {

#define SKIP_WITHOUT_ZRQ() \
  if (Tool().zrq_path.empty()) GTEST_SKIP() << "the suite was given no zrq (--zrq)"

const std::string kNotCreated = "Error: \"x.zrq\" was not created.\n";

std::string Packed(std::size_t entries, const std::string& archive, const Bytes& bytes) {
  return "Packed " + std::to_string(entries) + (entries == 1 ? " entry" : " entries") + " into \"" +
         archive + "\" (" + std::to_string(bytes.size()) + " bytes).\n";
}

Bytes OneFileArchive(const std::string& name, const std::string& text, std::uint32_t type = 3) {
  return Archive({.entries = {{.name = name, .type = type, .payload = Text(text)}}});
}

TEST(ZrqCreateNeverDestroys, RefusalsAndSkips) {
  SKIP_WITHOUT_ZRQ();
  const Bytes script_archive = OneFileArchive("config_Lua", "show_menu()\n", 1);
  const Bytes a_archive = OneFileArchive("a", "abc");
  const Bytes two = Archive(
      {.entries = {{.name = "a", .payload = Text("abc")}, {.name = "b", .payload = Text("bcd")}}});
  const Bytes hostile = OneFileArchive("../up", "u");
  const std::string leftover =
      ".unzrq-partial-0000abcd-00000001-0000000000000000-left-by-a-stopped-run";
  const std::vector<E2eCase> cases = {
      {.name = "arguments the wrong way round: a script is no archive, and is kept",
       .args = {"create", "menu.lua", "config.Lua"},
       .err = "Error: Cannot replace \"menu.lua\": it is no ZRQ archive (its header points at no "
              "whole directory); --force replaces it.\nError: \"menu.lua\" was not created.\n",
       .exit_code = -8,
       .before = {{"menu.lua", File("print(1)\n")}, {"config.Lua", File("show_menu()\n")}},
       .zrq = true},
      {.name = "--force replaces it all the same",
       .args = {"create", "--force", "menu.lua", "config.Lua"},
       .out = Packed(1, "menu.lua", script_archive),
       .after = {{"menu.lua", File(script_archive)}},
       .before = {{"menu.lua", File("print(1)\n")}, {"config.Lua", File("show_menu()\n")}},
       .zrq = true},
      {.name = "options in any order before ARCHIVE, and -- before an ARCHIVE named like one",
       .args = {"create", "--force", "--images", "--", "--images", "config.Lua"},
       .out = Packed(1, "--images", script_archive),
       .after = {{"--images", File(script_archive)}},
       .before = {{"--images", File("print(1)\n")}, {"config.Lua", File("show_menu()\n")}},
       .zrq = true},
      {.name = "a sound archive is replaced without --force",
       .args = {"create", "x.zrq", "in"},
       .out = Packed(2, "x.zrq", two),
       .after = {{"x.zrq", File(two)}},
       .before = {{"x.zrq", File(a_archive)}, {"in/a", File("abc")}, {"in/b", File("bcd")}},
       .zrq = true},
      {.name = "an empty file is an empty archive, as unzrq reads it",
       .args = {"create", "x.zrq", "in/a"},
       .out = Packed(1, "x.zrq", a_archive),
       .after = {{"x.zrq", File(a_archive)}},
       .before = {{"x.zrq", File("")}, {"in/a", File("abc")}},
       .zrq = true},
      {.name = "an archive zrq test fails is no sound archive",
       .args = {"create", "x.zrq", "in/a"},
       .err = "Error: Cannot replace \"x.zrq\": it is no sound ZRQ archive (unzrq would not write "
              "its entry 0, \"../up\", whole); --force replaces it.\n" +
              kNotCreated,
       .exit_code = -8,
       .before = {{"x.zrq", File(hostile)}, {"in/a", File("abc")}},
       .zrq = true},
      {.name = "a folder under ARCHIVE, even with --force",
       .args = {"create", "--force", "x.zrq", "in/a"},
       .err = "Error: Cannot replace \"x.zrq\": it is a folder, a device or a pipe, not a file.\n" +
              kNotCreated,
       .exit_code = -8,
       .before = {{"x.zrq/inside", File("kept")}, {"in/a", File("abc")}},
       .zrq = true},
      {.name = "ARCHIVE inside the input folder is not packed into itself",
       .args = {"create", "in/x.zrq", "in"},
       .out = Packed(1, "in/x.zrq", a_archive),
       .err = "Note: \"" + OutputPath("in", "x.zrq") + "\" is the archive itself; not packed.\n",
       .after = {{"in/x.zrq", File(a_archive)}},
       .before = {{"in/x.zrq", File(two)}, {"in/a", File("abc")}},
       .zrq = true},
      {.name = "ARCHIVE among the inputs",
       .args = {"create", "x.zrq", "x.zrq", "in/a"},
       .out = Packed(1, "x.zrq", a_archive),
       .err = "Note: \"x.zrq\" is the archive itself; not packed.\n",
       .after = {{"x.zrq", File(a_archive)}},
       .before = {{"x.zrq", File(two)}, {"in/a", File("abc")}},
       .zrq = true},
      {.name = "a leftover of a stopped unzrq in the folder is not packed",
       .args = {"create", "x.zrq", "in"},
       .out = Packed(1, "x.zrq", a_archive),
       .err = "Note: \"" + OutputPath("in", leftover) +
              "\" is a temporary file of unzrq or zrq; not packed.\n",
       .after = {{"x.zrq", File(a_archive)}},
       .before = {{"in/a", File("abc")}, {"in/" + leftover, File("half")}},
       .zrq = true},
      {.name = "nor one of a stopped create",
       .args = {"create", "x.zrq", "in"},
       .out = Packed(1, "x.zrq", a_archive),
       .err = "Note: \"" + OutputPath("in", "old.zrq.zrq-partial-00001234") +
              "\" is a temporary file of unzrq or zrq; not packed.\n",
       .after = {{"x.zrq", File(a_archive)}},
       .before = {{"in/a", File("abc")}, {"in/old.zrq.zrq-partial-00001234", File("half")}},
       .zrq = true},
      {.name = "a link that leads nowhere is left as it is",
       .args = {"create", "--force", "x.zrq", "in/a"},
       .err = "Error: Cannot replace \"x.zrq\": it is a link that leads to no file (No such file "
              "or directory); the link is left as it is.\n" +
              kNotCreated,
       .exit_code = -8,
       .before = {{"x.zrq", Link("gone.zrq")}, {"in/a", File("abc")}},
       .legs = Legs::kLinuxOnly,
       .zrq = true},
      {.name = "one file named twice",
       .args = {"create", "x.zrq", "in/a", "in/a"},
       .err = "Error: Cannot pack \"in/a\": it would be unpacked as \"a\", as \"in/a\" would "
              "(letter case aside).\n" +
              kNotCreated,
       .exit_code = -8,
       .before = {{"in/a", File("abc")}},
       .zrq = true}};
  RunCases(cases);
}

// ARCHIVE given as a link: the file it leads to is replaced, and the link
// stays a link to it.
TEST(ZrqCreateNeverDestroys, ArchiveAsALinkReplacesItsTarget) {
  SKIP_WITHOUT_ZRQ();
  // Wine shows the .exe a Linux symbolic link as the file it leads to; the
  // .exe knows a Windows link by its reparse point, which wine has none of.
  if (OnWindows()) GTEST_SKIP() << "wine shows no Linux link to the .exe as a link";
  const Bytes a_archive = OneFileArchive("a", "abc");
  const CaseFolder folder({{"store/real.zrq", File(OneFileArchive("old", "old"))},
                           {"link.zrq", Link("store/real.zrq")},
                           {"in/a", File("abc")}});
  const std::string real = std::filesystem::canonical(folder / "store/real.zrq").string();
  const ChildResult packed = RunZrq({"create", "link.zrq", "in"}, folder.working());
  ExpectExit(packed, 0,
             "Note: \"link.zrq\" is a link: the archive replaces the file it leads to, \"" + real +
                 "\", and the link stays.\n");
  EXPECT_EQ(packed.out, Packed(1, "link.zrq", a_archive));
  ExpectSameTree(InWorkingFolder({{"store/real.zrq", File(a_archive)},
                                  {"link.zrq", Link("store/real.zrq")},
                                  {"in/a", File("abc")}}),
                 folder.Snapshot());
}

// The archive reached under other names among the inputs (a second hard
// link, a symbolic link) is the archive all the same: not packed.
TEST(ZrqCreateNeverDestroys, TheArchiveUnderAnotherNameIsNotPacked) {
  SKIP_WITHOUT_ZRQ();
  const Bytes old_archive = OneFileArchive("old", "old");
  const Bytes a_archive = OneFileArchive("a", "abc");
  const CaseFolder folder(
      {{"x.zrq", File(old_archive)}, {"in/a", File("abc")}, {"in/soft", Link("../x.zrq")}});
  std::filesystem::create_hard_link(folder / "x.zrq", folder / "in/hard");
  const ChildResult packed = RunZrq({"create", "x.zrq", "in"}, folder.working());
  EXPECT_EQ(packed.exit_status, 0);
  // Told in the order the folder lists them.
  const std::string hard = ConsoleLines("Note: \"" + OutputPath("in", "hard") +
                                        "\" is the archive itself; not packed.\n");
  const std::string soft = ConsoleLines("Note: \"" + OutputPath("in", "soft") +
                                        "\" is the archive itself; not packed.\n");
  EXPECT_TRUE(packed.err == hard + soft || packed.err == soft + hard) << packed.err;
  EXPECT_EQ(packed.out, ConsoleLines(Packed(1, "x.zrq", a_archive)));
  EXPECT_EQ(ReadFileBytes(folder / "x.zrq"), a_archive);
}

// Offsets past 2147483647 are misread by readers that move by signed 32-bit
// distances: refused before anything is written. Sparse inputs, so that
// nothing that large is written.
TEST(ZrqCreateNeverDestroys, NoOffsetPast2GiB) {
  SKIP_WITHOUT_ZRQ();
  const CaseFolder folder({{"in/big", File("")}, {"in/small", File("")}});
  ASSERT_EQ(truncate((folder / "in/big").c_str(), (1ll << 31) - 8), 0);
  ExpectExit(RunZrq({"create", "x.zrq", "in"}, folder.working()), -8,
             "Error: Cannot create \"x.zrq\": its directory would start at byte 2147483648, and "
             "readers that move by signed 32-bit distances misread offsets past 2147483647.\n" +
                 kNotCreated);
  EXPECT_FALSE(std::filesystem::exists(folder / "x.zrq"));
}

// Each name unzrq on one system or the other would not write, or would
// write over another: refused by default with the reason, packed with
// --host-names, which says so. The names are made on Linux.
TEST(ZrqCreateNames, EitherSystemsLossRefusedUnlessHostNames) {
  SKIP_WITHOUT_ZRQ();
  if (OnWindows()) GTEST_SKIP() << "these names cannot be made on Windows";
  const std::string device = "unzrq on Windows would not write it, as \"";
  // {file name, refusal}
  const std::vector<std::pair<std::string, std::string>> names = {
      {"CON.txt", device + "CON.txt\" names a device there.\n"},
      {"nul", device + "nul\" names a device there.\n"},
      {"COM1.log", device + "COM1.log\" names a device there.\n"},
      {"trail.", device + "trail.\" ends in a point or a space.\n"},
      {"sp ", device + "sp \" ends in a point or a space.\n"},
      {"a:b", device + "a:b\" holds ':'.\n"},
      {"q?", device + "q?\" holds '?'.\n"}};
  for (const auto& [name, refusal] : names) {
    SCOPED_TRACE(name);
    const Bytes archive = OneFileArchive(name, "x");
    std::string refused = "Error: Cannot pack \"in/" + name + "\": ";
    refused += refusal;
    refused += "Note: --host-names packs the names that only this system keeps.\n";
    refused += kNotCreated;
    RunCases({{.name = name + " refused",
               .args = {"create", "x.zrq", "in"},
               .err = refused,
               .exit_code = -8,
               .before = {{"in/" + name, File("x")}},
               .zrq = true},
              {.name = name + " packed with --host-names",
               .args = {"create", "--host-names", "x.zrq", "in"},
               .out = Packed(1, "x.zrq", archive),
               .err = "Note: \"in/" + name +
                      "\" is packed for this system only: unzrq on Windows will not write it.\n",
               .after = {{"x.zrq", File(archive)}},
               .before = {{"in/" + name, File("x")}},
               .zrq = true}});
  }
  // é and É in Windows' Western code page: two files here, one there.
  const std::string lower = "\xE9t\xE9";
  const std::string upper = "\xC9T\xC9";
  const Bytes both = Archive(
      {.entries = {{.name = upper, .payload = Text("1")}, {.name = lower, .payload = Text("2")}}});
  // A name shaped as a short alias beside a name that gets one.
  const Bytes alias = Archive({.entries = {{.name = "LONGFI~1.TXT", .payload = Text("1")},
                                           {.name = "longfilename.txt", .payload = Text("2")}}});
  RunCases(
      {{.name = "letters that differ only in case under Windows",
        .args = {"create", "x.zrq", "in"},
        .err = "Error: Cannot pack \"in/" + lower + "\": it would be unpacked as \"" + lower +
               "\", as \"in/" + upper + "\" would (letter case aside).\n" + kNotCreated,
        .exit_code = -8,
        .before = {{"in/" + lower, File("2")}, {"in/" + upper, File("1")}},
        .zrq = true},
       {.name = "both packed with --host-names",
        .args = {"create", "--host-names", "x.zrq", "in"},
        .out = Packed(2, "x.zrq", both),
        .err = "Note: \"in/" + lower +
               "\" is packed for this system only: unzrq on Windows would unpack it and \"in/" +
               upper + "\" to one file.\n",
        .after = {{"x.zrq", File(both)}},
        .before = {{"in/" + lower, File("2")}, {"in/" + upper, File("1")}},
        .zrq = true},
       {.name = "a short alias's shape beside a long name",
        .args = {"create", "x.zrq", "in"},
        .err = "Error: Cannot pack \"in/LONGFI~1.TXT\": unzrq on Windows may find "
               "\"LONGFI~1.TXT\" taken as the short name of \"longfilename.txt\".\n"
               "Note: --host-names packs the names that only this system keeps.\n" +
               kNotCreated,
        .exit_code = -8,
        .before = {{"in/LONGFI~1.TXT", File("1")}, {"in/longfilename.txt", File("2")}},
        .zrq = true},
       {.name = "packed with --host-names",
        .args = {"create", "--host-names", "x.zrq", "in"},
        .out = Packed(2, "x.zrq", alias),
        .err = "Note: \"in/LONGFI~1.TXT\" is packed for this system only: unzrq on Windows may "
               "find \"LONGFI~1.TXT\" taken as the short name of \"longfilename.txt\".\n",
        .after = {{"x.zrq", File(alias)}},
        .before = {{"in/LONGFI~1.TXT", File("1")}, {"in/longfilename.txt", File("2")}},
        .zrq = true}});
}

// Runs zrq (the Linux build) in `folder` with its standard error a pipe
// already full, so that its first note holds it; once its temporary file is
// there and it is held, sends it `signal_number`. True when it was held and
// died of that signal.
bool StopWhileWriting(const std::string& folder, const std::vector<std::string>& args,
                      int signal_number) {
  int err_pipe[2];
  if (pipe(err_pipe) != 0) return false;
  fcntl(err_pipe[1], F_SETPIPE_SZ, 4096);
  fcntl(err_pipe[1], F_SETFL, O_NONBLOCK);
  const char fill[512] = {};
  while (write(err_pipe[1], fill, sizeof fill) > 0) {
  }
  fcntl(err_pipe[1], F_SETFL, 0);
  // Run as RunZrq runs it: directly, or through the build's launcher (wine).
  std::vector<std::string> argv = Tool().launcher;
  const std::string program = argv.empty() ? Tool().zrq_path : argv.front();
  argv.push_back(argv.empty() ? "zrq" : Tool().zrq_path);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> raw;
  raw.reserve(argv.size() + 1);
  for (std::string& arg : argv) raw.push_back(arg.data());
  raw.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(folder.c_str()) != 0) _exit(127);
    dup2(err_pipe[1], STDERR_FILENO);
    execv(program.c_str(), raw.data());
    _exit(127);
  }
  close(err_pipe[1]);
  bool temporary = false;
  for (int waited = 0; waited < 2000 && !temporary; ++waited) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      temporary =
          temporary || entry.path().filename().string().find("zrq-partial-") != std::string::npos;
    }
    if (!temporary) usleep(5000);
  }
  // Held at its note: its state is a sleep on the full pipe.
  usleep(200000);
  kill(pid, signal_number);
  // Its standard error drained from now on: a run that goes on writing
  // there on its way out must not hang. Killed after 20 seconds.
  fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
  int status = 0;
  bool ended = false;
  for (int waited = 0; waited < 2000 && !ended; ++waited) {
    char drained[4096];
    while (read(err_pipe[0], drained, sizeof drained) > 0) {
    }
    ended = waitpid(pid, &status, WNOHANG) == pid;
    if (!ended) usleep(10000);
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(err_pipe[0]);
  // Under wine Ctrl-C ends the process with an exit status of its own.
  return temporary && ended &&
         (OnWindows() || (WIFSIGNALED(status) && WTERMSIG(status) == signal_number));
}

// A create stopped by a signal while it writes leaves no temporary file and
// the old archive as it was. It is held at its first note on standard
// error, told as the entry it concerns is packed, with a large input still
// to come.
TEST(ZrqCreateNeverDestroys, StoppedBySignalLeavesNothing) {
  SKIP_WITHOUT_ZRQ();
  // Wine turns SIGINT into the console's Ctrl-C; an emulator passes signals on
  // as it likes.
  if (!OnWindows() && !Tool().launcher.empty()) GTEST_SKIP() << "signals go to an emulator";
  // A picture whose rounded pixel is told as it is packed, before the large input.
  Bytes off_colour = ExpectedBitmap(3, 2, PatternPixels(6, 21));
  off_colour[54] ^= 1;
  std::vector<int> signals = {SIGINT, SIGTERM, SIGHUP};
  if (OnWindows()) signals = {SIGINT};
  for (const int signal_number : signals) {
    SCOPED_TRACE(signal_number);
    const Bytes old_archive = OneFileArchive("old", "old");
    const CaseFolder folder(
        {{"x.zrq", File(old_archive)}, {"in/a.bmp", File(off_colour)}, {"in/z", File("")}});
    ASSERT_EQ(truncate((folder / "in/z").c_str(), 32ll << 20), 0);
    EXPECT_TRUE(
        StopWhileWriting(folder.working(), {"create", "--images", "x.zrq", "in"}, signal_number));
    ExpectSameTree(InWorkingFolder({{"x.zrq", File(old_archive)},
                                    {"in/a.bmp", File(off_colour)},
                                    {"in/z", File(Bytes(32u << 20, 0))}}),
                   folder.Snapshot());
  }
}

// Bitmaps as other programs leave them: header fields unzrq never writes
// (here the resolution), padding that is not zero, a colour 16-bit colour
// does not hold, each packed, the last with its note; a PNG file where the
// build has no PNG reader is refused clearly.
TEST(ZrqCreateImages, PicturesOtherProgramsWrite) {
  SKIP_WITHOUT_ZRQ();
  const std::vector<std::uint16_t> pixels = PatternPixels(6, 21);
  const Bytes bitmap = ExpectedBitmap(3, 2, pixels);
  const Bytes archive =
      Archive({.entries = {{.name = "p", .type = 5, .payload = SizedImagePayload(3, 2, pixels)}}});
  const auto poked = [&bitmap](std::size_t at) {
    Bytes bytes = bitmap;
    bytes[at] ^= 1;
    return bytes;
  };
  const std::string path = OutputPath("in", "p.bmp");
  RunCases(
      {{.name = "a resolution unzrq never writes",
        .args = {"create", "--images", "x.zrq", "in"},
        .out = Packed(1, "x.zrq", archive),
        .after = {{"x.zrq", File(archive)}},
        .before = {{"in/p.bmp", File(poked(38))}},
        .zrq = true},
       {.name = "padding that is not zero",
        .args = {"create", "--images", "x.zrq", "in"},
        .out = Packed(1, "x.zrq", archive),
        .after = {{"x.zrq", File(archive)}},
        .before = {{"in/p.bmp", File(poked(54 + 9))}},
        .zrq = true},
       {.name = "a blue one step off: rounded back, and told",
        .args = {"create", "--images", "x.zrq", "in"},
        .out = Packed(1, "x.zrq", archive),
        .err = "Note: \"" + path + "\": 1 of 6 pixels rounded to 16-bit colour.\n",
        .after = {{"x.zrq", File(archive)}},
        .before = {{"in/p.bmp", File(poked(54))}},
        .zrq = true},
       {.name = "a PNG file where the build reads none",
        .args = {"create", "--images", "x.zrq", "in"},
        .err = "Error: Cannot pack \"" + OutputPath("in", "p.png") +
               "\" as an image: it is a PNG file, and this zrq was built without a PNG reader.\n" +
               kNotCreated,
        .exit_code = -8,
        .before = {{"in/p.png", File(Concat(Text("\x89PNG\r\n\x1a\n"), Bytes(40, 0)))}},
        .legs = Legs::kWindowsOnly,
        .zrq = true}});
}

// The modder's round trip: unpack, edit each picture in another program
// (Pillow: a pixel changed, saved as a 24-bit, a 32-bit and a top-down
// bitmap and as PNG) and a script, pack the folder with --images, unpack
// again: every file is the edited one, its pixels taken to 16-bit colour,
// and every untouched file the same bytes.
TEST(ZrqModderRoundTrip, EditedPicturesAndScriptComeBack) {
  SKIP_WITHOUT_ZRQ();
  const std::vector<TestEntry> entries = {
      {.name = "menu_lua", .type = 1, .payload = Text("show_menu()\n")},
      {.name = "intro_WAV", .type = 1, .payload = PatternBytes(300, 1)},
      {.name = "readme.txt", .type = 3, .payload = Text("kept as it is")},
      {.name = "card", .type = 5, .payload = SizedImagePayload(5, 3, PatternPixels(15, 2))},
      {.name = "wide", .type = 5, .payload = SizedImagePayload(7, 2, PatternPixels(14, 3))},
      {.name = "tall", .type = 5, .payload = SizedImagePayload(3, 5, PatternPixels(15, 4))},
      {.name = "icon", .type = 2, .payload = FixedWidthImagePayload(PatternPixels(64, 5))},
      {.name = "logo", .type = 5, .payload = SizedImagePayload(6, 4, PatternPixels(24, 6))}};
  const CaseFolder folder({{"game.zrq", File(Archive({.entries = entries}))}});
  ExpectExit(RunTool({"game.zrq", "edit"}, folder.working()), 0, "");
  const Bytes logo = ReadFileBytes(folder / "edit/logo.bmp");

  const auto script = [&folder](const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"python3", UNZRQ_MODDER_SCRIPT};
    argv.insert(argv.end(), args.begin(), args.end());
    const ChildResult run = RunChild(UNZRQ_PIL_PYTHON, argv, folder.working(), ChildLimits{});
    EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
  };
  script({"edit", "edit", "--png"});

  ChildResult packed = RunZrq({"create", "--images", "edited.zrq", "edit"}, folder.working());
  // A build without libpng (the cross builds: the .exe, s390x) refuses the
  // PNG clearly; the icon then goes back as a bitmap.
  const std::string no_png = "Error: Cannot pack \"" + OutputPath("edit", "icon.png") +
                             "\" as an image: it is a PNG file, and this zrq was built without a "
                             "PNG reader.\n";
  const bool png = packed.err.find(ConsoleLines(no_png)) == std::string::npos;
  if (!png) {
    ExpectExit(packed, -8, no_png + "Error: \"edited.zrq\" was not created.\n");
    script({"tobmp", "edit/icon.png"});
    packed = RunZrq({"create", "--images", "edited.zrq", "edit"}, folder.working());
  }
  EXPECT_EQ(packed.exit_status, 0) << packed.err;
  std::cout << packed.out << packed.err;
  for (const std::string name :
       {"card.bmp", "wide.bmp", "tall.bmp", png ? "icon.png" : "icon.bmp"}) {
    EXPECT_NE(packed.err.find(OutputPath("edit", name) + "\": 1 of "), std::string::npos)
        << name << ": " << packed.err;
  }
  ExpectExit(RunTool({"edited.zrq", "back"}, folder.working()), 0, "");
  script({"check", "edit", "back"});
  EXPECT_EQ(ReadFileBytes(folder / "back/logo.bmp"), logo);
}

}  // namespace
