// How outputs take their names, end to end: only a whole entry replaces an
// old file; what stands under a name is judged as itself, a link as a link;
// a name is never reached through another file's short alias; an image
// refused never leaves or removes a name; a failed rename keeps the entry
// and says where; the plainest file systems, a folder that may be written
// but not read, and a disk with room for one replacement at a time work as
// any other.
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "e2e_case.h"
#include "tool_under_test.h"

namespace {

TEST(Publication, OnlyAWholeEntryReplacesAnOldFile) {
  const Bytes whole = PatternBytes(100000, 21);
  const Bytes cut = Slice(whole, 0, 40000);
  RunCases({
      {.name = "an entry cut short by the archive's end leaves the old file whole",
       .archive = Archive(
           {.entries =
                {{.name = "fresh", .type = 3, .payload = Text("new")},
                 {.name = "doc", .type = 3, .payload = cut, .has_size = true, .size = 100000}},
            .directory = DirectoryPlace::kAfterHeader}),
       .args = {"archive.zrq"},
       .out = FileLine(3, 3, "fresh") + FileLine(100000, 3, "doc") + DoneLine(2),
       .err = "Error: \"doc\" is truncated: the archive ends inside its payload.\n",
       .exit_code = -5,
       .after = {{"velkard/fresh", File("new")}},
       .before = {{"velkard/doc", File(whole)}}},
      {.name = "a cut entry under a new name keeps what the archive holds",
       .archive = Archive(
           {.entries =
                {{.name = "doc", .type = 3, .payload = cut, .has_size = true, .size = 100000}},
            .directory = DirectoryPlace::kAfterHeader}),
       .args = {"archive.zrq"},
       .out = FileLine(100000, 3, "doc") + DoneLine(1),
       .err = "Error: \"doc\" is truncated: the archive ends inside its payload.\n",
       .exit_code = -5,
       .after = {{"velkard/doc", File(cut)}}},
      {.name = "a damaged image leaves the old bitmap whole",
       .archive = Archive({.entries = {{.name = "pic", .type = 2, .payload = PatternBytes(40)}}}),
       .args = {"archive.zrq"},
       .out = FileLine(40, 2, "pic") + DoneLine(1),
       .err = "Error: \"pic\" is damaged: too short for its image header.\n",
       .exit_code = -5,
       .before = {{"velkard/pic.bmp", File("an old bitmap")}}},
  });
}

// A link is judged by the name itself. Linux replaces every link; Windows
// cannot put a file in place of a link to a folder, and wine shows a link to
// anything else as what it points to.
TEST(Publication, LinksUnderOutputNames) {
  const ArchiveLayout layout = {
      .entries = {{.name = "to_dir", .type = 3, .payload = Text("d")},
                  {.name = "to_fifo", .type = 3, .payload = Text("f")},
                  {.name = "to_device", .type = 3, .payload = Text("n")},
                  {.name = "to_archive", .type = 3, .payload = Text("a")}}};
  const std::string lines = FileLine(1, 3, "to_dir") + FileLine(1, 3, "to_fifo") +
                            FileLine(1, 3, "to_device") + FileLine(1, 3, "to_archive") +
                            DoneLine(4);
  const FileTree before = {
      {"keep/dir/inside", File("stays")},       {"keep/fifo", Pipe()},
      {"velkard/to_dir", Link("../keep/dir")},  {"velkard/to_fifo", Link("../keep/fifo")},
      {"velkard/to_device", Link("/dev/null")}, {"velkard/to_archive", Link("../archive.zrq")}};
  RunCases({
      {.name = "Linux replaces each link as a name; what it points to stays",
       .archive = Archive(layout),
       .args = {"archive.zrq"},
       .out = lines,
       .after = {{"velkard/to_dir", File("d")},
                 {"velkard/to_fifo", File("f")},
                 {"velkard/to_device", File("n")},
                 {"velkard/to_archive", File("a")}},
       .before = before,
       .legs = Legs::kLinuxOnly},
      {.name = "Windows refuses a link to a folder; under wine other links show as their targets",
       .archive = Archive(layout),
       .args = {"archive.zrq"},
       .out = lines,
       .err = "Couldn't create output file \"" + OutputPath("velkard", "to_dir") +
              "\": A link to a folder stands there, and no file can replace it\n"
              "Couldn't create output file \"" +
              OutputPath("velkard", "to_fifo") + "\": Access denied\n" +
              "Couldn't create output file \"" + OutputPath("velkard", "to_device") +
              "\": Access denied\n" +
              "Error: Skipped \"to_archive\": the output file would replace the archive "
              "itself.\n",
       .exit_code = -5,
       .before = before,
       .legs = Legs::kWindowsOnly},
  });
}

// Wine gives longfilename_one.txt the short alias LONG~BYJ.TXT. Writing
// through the alias would put the entry's bytes under the long name.
TEST(Publication, AShortAliasNeverWritesIntoAnotherFile) {
  const Bytes archive =
      Archive({.entries = {{.name = "LONG~BYJ.TXT", .type = 3, .payload = Text("alias")}}});
  RunCases({
      {.name = "Windows skips a name that is only another file's short alias",
       .archive = archive,
       .args = {"archive.zrq"},
       .out = FileLine(5, 3, "LONG~BYJ.TXT") + DoneLine(1),
       .err = "Error: Skipped \"LONG~BYJ.TXT\": the name is the short name of "
              "\"longfilename_one.txt\", another file in the folder.\n",
       .exit_code = -5,
       .before = {{"velkard/longfilename_one.txt", File("long")}},
       .legs = Legs::kWindowsOnly},
      {.name = "Linux has no short names: the entry gets its own",
       .archive = archive,
       .args = {"archive.zrq"},
       .out = FileLine(5, 3, "LONG~BYJ.TXT") + DoneLine(1),
       .after = {{"velkard/LONG~BYJ.TXT", File("alias")}},
       .before = {{"velkard/longfilename_one.txt", File("long")}},
       .legs = Legs::kLinuxOnly},
  });
}

// A folder path of about 4,000 bytes: outputs are made relative to the
// opened folder, so a replacement's temporary name lengthens no path.
TEST(Publication, ALongFolderReplacesAsItCreates) {
  std::string folder = "velkard";
  while (folder.size() < 4000) folder += "/" + std::string(200, 'd');
  RunCases({
      {.name = "an old file in a folder of 4,000 bytes is replaced",
       .archive = Archive({.entries = {{.name = "old", .type = 3, .payload = Text("new")},
                                       {.name = "fresh", .type = 3, .payload = Text("too")}}}),
       .args = {"archive.zrq", folder},
       .out = FileLine(3, 3, "old") + FileLine(3, 3, "fresh") + DoneLine(2),
       .after = {{folder + "/old", File("new")}, {folder + "/fresh", File("too")}},
       .before = {{folder + "/old", File("the old file")}},
       // On Windows the whole path is bounded by 260 bytes.
       .legs = Legs::kLinuxOnly},
  });
}

// Sets or clears the immutable flag of `path`; false where the file system
// or the user's rights do not allow it.
bool SetImmutable(const std::string& path, bool immutable) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return done;
}

// An immutable old file refuses the rename over it, and an immutable folder
// refuses every new name, even to root. The first keeps the whole entry
// under its temporary name and names it; the second says that replacing
// needed a new name.
TEST(Publication, WhatTheFolderRefuses) {
  if (OnWindows()) GTEST_SKIP() << "wine cannot hold an immutable file";
  const ScratchDir temporary;
  const std::string out = temporary.path() + "/out";
  CreateTree(temporary.path(), {{"out/old", File("old")}, {"out/other", File("other")}});
  if (!SetImmutable(out + "/old", true)) GTEST_SKIP() << "no immutable files here";
  WriteFileBytes(temporary.path() + "/archive.zrq",
                 Archive({.entries = {{.name = "old", .type = 3, .payload = Text("new")}}}));
  ChildResult run = RunTool({"archive.zrq", "out"}, temporary.path());
  SetImmutable(out + "/old", false);
  EXPECT_EQ(run.exit_status, ExitStatus(-5));
  const std::string prefix =
      "Couldn't replace output file \"out/old\": Operation not permitted; "
      "the entry is kept whole as \"out/";
  ASSERT_TRUE(run.err.starts_with(prefix) && run.err.ends_with("\"\n")) << run.err;
  const std::string kept = run.err.substr(prefix.size(), run.err.size() - prefix.size() - 2);
  EXPECT_TRUE(kept.starts_with(".unzrq-partial-")) << kept;
  FileTree after = SnapshotTree(out);
  EXPECT_EQ(after["old"], File("old"));
  EXPECT_EQ(after[kept], File("new")) << kept;
  EXPECT_EQ(after.size(), 3u);

  ASSERT_TRUE(SetImmutable(out, true));
  run = RunTool({"archive.zrq", "out"}, temporary.path());
  WriteFileBytes(temporary.path() + "/archive.zrq",
                 Archive({.entries = {{.name = "new", .type = 3, .payload = Text("n")}}}));
  ChildResult fresh = RunTool({"archive.zrq", "out"}, temporary.path());
  SetImmutable(out, false);
  EXPECT_EQ(run.err,
            "Couldn't replace output file \"out/old\": replacing needs a new file in its folder, "
            "which could not be made (Operation not permitted)\n");
  EXPECT_EQ(fresh.err, "Couldn't create output file \"out/new\": Operation not permitted\n");
  EXPECT_EQ(SnapshotTree(out).size(), 3u);
}

// A run refuses an image it cannot hold before it makes anything under its
// name. While it is held at that report, the name is filled as another run
// would: the file stays, whole.
TEST(Publication, ADiscardNeverRemovesANameAnotherRunFilled) {
  if (OnWindows()) GTEST_SKIP() << "wine does not hold the .exe at a full pipe";
  const ScratchDir temporary;
  WriteFileBytes(
      temporary.path() + "/archive.zrq",
      Archive({.entries = {
                   {.name = "huge", .type = 5, .payload = SizedImagePayload(60000, 60000, {})}}}));
  ChildLimits limits;
  limits.hold_until = ConsoleLines(FileLine(76, 5, "huge"));
  limits.while_held = [&](int) {
    CreateTree(temporary.path(), {{"velkard/huge.bmp", File("the other run's bitmap")}});
  };
  const ChildResult run = RunTool({"archive.zrq"}, temporary.path(), limits);
  EXPECT_EQ(run.exit_status, ExitStatus(-5));
  EXPECT_EQ(
      run.err,
      "Error: Skipped \"huge\": a 60000 x 60000 image is larger than the archive can hold.\n");
  EXPECT_EQ(SnapshotTree(temporary.path() + "/velkard"),
            (FileTree{{"huge.bmp", File("the other run's bitmap")}}));
}

// A run stopped by a signal while its replacements wait for their rename
// removes their temporary files and then stops as the signal would have
// stopped it: the old files stay whole, and nothing of the run is left. (A
// SIGKILL or a power cut leaves the temporaries: doc/output-files.md.)
TEST(Publication, AStoppedRunRemovesItsTemporaries) {
  if (OnWindows()) GTEST_SKIP() << "wine does not hold the .exe at a full pipe";
  namespace fs = std::filesystem;
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    const ScratchDir temporary;
    WriteFileBytes(
        temporary.path() + "/archive.zrq",
        Archive(
            {.entries = {
                 {.name = "one", .type = 3, .payload = PatternBytes(3u << 20)},
                 {.name = "two", .type = 3, .payload = Text("2")},
                 {.name = "huge", .type = 5, .payload = SizedImagePayload(60000, 60000, {})}}}));
    const FileTree old_files = {{"one", File("old one")}, {"two", File("old two")}};
    CreateTree(temporary.path() + "/out", old_files);
    ChildLimits limits;
    // Held at the report of the third entry, the first two waiting.
    limits.hold_until = ConsoleLines(FileLine(76, 5, "huge"));
    std::size_t temporaries = 0;
    limits.while_held = [&](int pid) {
      for (const fs::directory_entry& entry : fs::directory_iterator(temporary.path() + "/out")) {
        if (entry.path().filename().string().starts_with(".unzrq-partial-")) ++temporaries;
      }
      kill(pid, signal_number);
    };
    const ChildResult run = RunTool({"archive.zrq", "out"}, temporary.path(), limits);
    EXPECT_FALSE(run.exited);
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(temporaries, 2u);
    EXPECT_EQ(SnapshotTree(temporary.path() + "/out"), old_files);
  }
}

// A run allowed a dozen open files replaces twenty old files all the same:
// it holds what it may open, and flushes the rest one at a time.
TEST(Publication, ASmallDescriptorLimit) {
  if (OnWindows() || !Tool().launcher.empty()) GTEST_SKIP() << "descriptor limits are Linux's";
  if (access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "no prlimit to set the limit";
  const ScratchDir temporary;
  std::vector<TestEntry> entries;
  FileTree old_files;
  FileTree expected;
  for (int i = 0; i < 20; ++i) {
    const std::string name = "file" + std::to_string(i);
    entries.push_back({.name = name, .type = 3, .payload = PatternBytes(1000 + i, i)});
    old_files["out/" + name] = File("old");
    expected[name] = File(PatternBytes(1000 + i, i));
  }
  WriteFileBytes(temporary.path() + "/archive.zrq", Archive({.entries = entries}));
  CreateTree(temporary.path(), old_files);
  const std::vector<std::string> limited = {"/usr/bin/prlimit", "--nofile=12:12", Tool().path,
                                            "archive.zrq", "out"};
  const ChildResult run = RunChild(limited.front(), limited, temporary.path(), {});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(SnapshotTree(temporary.path() + "/out"), expected);
}

// A kernel with nothing but the plainest calls (no submission ring): the
// tool unpacks and replaces there exactly as anywhere else.
TEST(Publication, AFileSystemOfThePlainestCalls) {
  if (OnWindows() || !Tool().launcher.empty()) {
    GTEST_SKIP() << "the calls are refused by a library preloaded into the Linux tool";
  }
  const ScratchDir temporary;
  WriteFileBytes(temporary.path() + "/archive.zrq",
                 Archive({.entries = {{.name = "small", .type = 3, .payload = Text("s")},
                                      {.name = "large", .type = 3, .payload = PatternBytes(100000)},
                                      {.name = "pic",
                                       .type = 5,
                                       .payload = SizedImagePayload(3, 2, PatternPixels(6))}}}));
  const ChildResult plain = RunTool({"archive.zrq", "plain"}, temporary.path());
  ASSERT_EQ(plain.exit_status, 0) << plain.err;
  // The sanitizers' runtime wants to be the first library; the preloaded one
  // comes before it here, which is harmless.
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  const std::string sanitizer_options = sanitizer == nullptr ? "" : sanitizer;
  setenv("ASAN_OPTIONS", (sanitizer_options + ":verify_asan_link_order=0").c_str(), 1);
  setenv("LD_PRELOAD", UNZRQ_REFUSING_FILE_SYSTEM, 1);
  const ChildResult fresh = RunTool({"archive.zrq", "out"}, temporary.path());
  const ChildResult over = RunTool({"archive.zrq", "out"}, temporary.path());
  unsetenv("LD_PRELOAD");
  setenv("ASAN_OPTIONS", sanitizer_options.c_str(), 1);
  for (const ChildResult* run : {&fresh, &over}) {
    EXPECT_EQ(run->exit_status, 0) << run->err;
    EXPECT_EQ(run->err, "");
  }
  EXPECT_EQ(SnapshotTree(temporary.path() + "/out"), SnapshotTree(temporary.path() + "/plain"));
}

// A drop box: a folder that others may write into but not list (mode 0333).
// The tool works in it as an unprivileged user would, new names and
// replacements alike.
TEST(Publication, AFolderThatMayBeWrittenButNotRead) {
  if (OnWindows() || !Tool().launcher.empty()) GTEST_SKIP() << "folder modes are Linux's";
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the tool as another user";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv to change users";
  const ScratchDir temporary;
  namespace fs = std::filesystem;
  WriteFileBytes(temporary.path() + "/archive.zrq",
                 Archive({.entries = {{.name = "one", .type = 3, .payload = Text("1")},
                                      {.name = "two", .type = 3, .payload = Text("2")}}}));
  fs::create_directory(temporary.path() + "/drop");
  ASSERT_EQ(chmod(temporary.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((temporary.path() + "/archive.zrq").c_str(), 0644), 0);
  ASSERT_EQ(chmod((temporary.path() + "/drop").c_str(), 0333), 0);
  const std::vector<std::string> as_nobody = {
      "/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
      Tool().path,        "archive.zrq",   "drop"};
  for (const char* round : {"fresh", "over"}) {
    SCOPED_TRACE(round);
    const ChildResult run = RunChild(as_nobody.front(), as_nobody, temporary.path(), {});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
  }
  ASSERT_EQ(chmod((temporary.path() + "/drop").c_str(), 0755), 0);
  EXPECT_EQ(SnapshotTree(temporary.path() + "/drop"),
            (FileTree{{"one", File("1")}, {"two", File("2")}}));
}

// A disk with room for one replacement at a time beside the old files:
// each waiting replacement is renamed before the next output would find no
// room, so every old file is replaced and a new name after them is whole.
TEST(Publication, ADiskWithRoomForOneReplacementAtATime) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a small file system";
  const ScratchDir temporary;
  const std::string disk = temporary.path() + "/disk";
  std::filesystem::create_directory(disk);
  constexpr std::size_t kEntryBytes = 4u << 20;
  // Four old files, and room beside them for one more and a little.
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=22m") != 0) {
    GTEST_SKIP() << "no tmpfs could be mounted here";
  }
  std::vector<TestEntry> entries;
  FileTree old_files;
  FileTree expected;
  for (int i = 0; i < 4; ++i) {
    const std::string name = "file" + std::to_string(i);
    entries.push_back({.name = name, .type = 3, .payload = PatternBytes(kEntryBytes, 40 + i)});
    old_files["out/" + name] = File(PatternBytes(kEntryBytes, 50 + i));
    expected[name] = File(PatternBytes(kEntryBytes, 40 + i));
  }
  entries.push_back({.name = "fresh", .type = 3, .payload = PatternBytes(1u << 20, 60)});
  expected["fresh"] = File(PatternBytes(1u << 20, 60));
  // The archive lies outside the small disk.
  WriteFileBytes(temporary.path() + "/archive.zrq", Archive({.entries = entries}));
  CreateTree(disk, old_files);
  const ChildResult run = RunTool({"../archive.zrq", "out"}, disk);
  const FileTree after = SnapshotTree(disk + "/out");
  umount2(disk.c_str(), MNT_DETACH);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(after, expected);
}

// A file system with one free inode beside three old files: each
// replacement after the first finds no inode for its temporary while the
// first waits, which publishes the waiting one and frees the old file's; so
// every old file is replaced.
TEST(Publication, AFileSystemWithOneFreeInode) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a small file system";
  const ScratchDir temporary;
  const std::string disk = temporary.path() + "/disk";
  std::filesystem::create_directory(disk);
  // The root, the folder and three files, and one inode more.
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=8m,nr_inodes=6") != 0) {
    GTEST_SKIP() << "no tmpfs could be mounted here";
  }
  std::vector<TestEntry> entries;
  FileTree old_files;
  FileTree expected;
  for (int i = 0; i < 3; ++i) {
    const std::string name = "file" + std::to_string(i);
    entries.push_back({.name = name, .type = 3, .payload = PatternBytes(1000, 70 + i)});
    old_files["out/" + name] = File("old");
    expected[name] = File(PatternBytes(1000, 70 + i));
  }
  WriteFileBytes(temporary.path() + "/archive.zrq", Archive({.entries = entries}));
  CreateTree(disk, old_files);
  const ChildResult run = RunTool({"../archive.zrq", "out"}, disk);
  const FileTree after = SnapshotTree(disk + "/out");
  umount2(disk.c_str(), MNT_DETACH);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(after, expected);
}

// A quota with room for the old files and one replacement beside them (a
// btrfs qgroup, which the free space the room check reads knows nothing
// of): each replacement after the first finds the quota full while the
// first waits, which publishes the waiting one and writes the entry again;
// so every old file is replaced.
TEST(Publication, AQuotaWithRoomForOneReplacementAtATime) {
  if (OnWindows() || !Tool().launcher.empty()) GTEST_SKIP() << "a btrfs qgroup is Linux's";
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to mount a file system";
  const ScratchDir temporary;
  const auto shell = [&](const std::string& script) {
    return RunChild("/bin/sh", {"sh", "-c", script}, temporary.path(), {});
  };
  const ChildResult made = shell(
      "truncate -s 300M disk.img && mkfs.btrfs -q disk.img >/dev/null 2>&1 && mkdir disk "
      "&& mount -o loop disk.img disk && btrfs quota enable disk && "
      "btrfs subvolume create disk/limited >/dev/null && btrfs qgroup limit 50M "
      "disk/limited");
  if (made.exit_status != 0) {
    shell("umount disk");
    GTEST_SKIP() << "no btrfs with a qgroup here: " << made.err;
  }
  std::vector<TestEntry> entries;
  FileTree old_files;
  FileTree expected;
  for (int i = 0; i < 3; ++i) {
    const std::string name = "file" + std::to_string(i);
    entries.push_back({.name = name, .type = 3, .payload = PatternBytes(12u << 20, 80 + i)});
    old_files["out/" + name] = File(PatternBytes(12u << 20, 90 + i));
    expected[name] = File(PatternBytes(12u << 20, 80 + i));
  }
  WriteFileBytes(temporary.path() + "/archive.zrq", Archive({.entries = entries}));
  const std::string limited = temporary.path() + "/disk/limited";
  CreateTree(limited, old_files);
  shell("sync");
  const ChildResult run = RunTool({"../../archive.zrq", "out"}, limited);
  const FileTree after = SnapshotTree(limited + "/out");
  shell("umount disk");
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(after, expected);
}

}  // namespace
