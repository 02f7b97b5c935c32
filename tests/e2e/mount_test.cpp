// `zrq mount`, end to end through a real FUSE mount where /dev/fuse can be
// used (root, or fusermount3): every file under the mount is, byte for byte,
// the file unzrq writes into a folder, read whole, at random offsets and
// lengths, and by two readers at once; the mount reports what `zrq test`
// reports; unmounting or stopping it leaves no process; an archive changed
// under the mount makes reads fail with EIO. Where zrq cannot mount (the
// Windows .exe, a build made without FUSE) it says so.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "e2e_case.h"
#include "tool_under_test.h"
#include "zrq_archives.h"

namespace {

// Why this run cannot mount, or empty when it can.
std::string WhyNoMount() {
  if (Tool().zrq_path.empty()) return "the suite was given no zrq (--zrq)";
  if (OnWindows()) return "the Windows zrq has no mount";
  if (!Tool().launcher.empty()) return "the zrq under an emulator is built without FUSE";
  const int fuse = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) return std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
  close(fuse);
  if (geteuid() != 0 && access("/usr/bin/fusermount3", X_OK) != 0 &&
      access("/bin/fusermount3", X_OK) != 0) {
    return "not root, and no fusermount3";
  }
  return "";
}

#define SKIP_WITHOUT_MOUNT() \
  if (const std::string why = WhyNoMount(); !why.empty()) GTEST_SKIP() << why

// Whether a FUSE file system of ours stands on `point`: its root is inode 1.
bool Mounted(const std::string& point) {
  struct stat root;
  return stat(point.c_str(), &root) == 0 && root.st_ino == 1;
}

// The zrq process serving `point` (a live one: a zombie has no command
// line), or 0.
int ServerOf(const std::string& point) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream file(entry.path() / "cmdline", std::ios::binary);
    const std::string line((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    // zrq mount [-f] ARCHIVE POINT: the last argument is the mount point.
    if (line.find(std::string("\0mount\0", 7)) != std::string::npos &&
        line.ends_with(std::string(1, '\0') + point + std::string(1, '\0'))) {
      return std::stoi(pid);
    }
  }
  return 0;
}

// Waits up to ten seconds for `done`.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// A mount point in a case folder, taken down however the test ends.
class MountPoint {
 public:
  explicit MountPoint(std::string path) : path_(std::move(path)) {
    std::filesystem::create_directory(path_);
  }
  // Whatever is still mounted is detached, and a server left running stopped.
  ~MountPoint() {
    (void)umount2(path_.c_str(), MNT_DETACH);
    if (!Eventually([&] { return ServerOf(path_) == 0; })) {
      if (const int pid = ServerOf(path_); pid != 0) kill(pid, SIGTERM);
    }
  }
  MountPoint(const MountPoint&) = delete;
  MountPoint& operator=(const MountPoint&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// `zrq unmount`, then no server is left and nothing stands on the point.
void ExpectUnmounted(const std::string& point, const std::string& working) {
  const ChildResult unmounted = RunZrq({"unmount", point}, working);
  ExpectExit(unmounted, 0, "");
  EXPECT_FALSE(Mounted(point));
  EXPECT_TRUE(Eventually([&] { return ServerOf(point) == 0; })) << "the server still runs";
}

// pread of up to `length` bytes at `offset`, as many as there are.
Bytes ReadAt(int fd, std::uint64_t offset, std::size_t length, int* error) {
  Bytes bytes(length);
  std::size_t got = 0;
  *error = 0;
  while (got < length) {
    const ssize_t done =
        pread(fd, bytes.data() + got, length - got, static_cast<off_t>(offset + got));
    if (done < 0) {
      *error = errno;
      break;
    }
    if (done == 0) break;
    got += static_cast<std::size_t>(done);
  }
  bytes.resize(got);
  return bytes;
}

// Reads of every file at random offsets and lengths (some past the end,
// some of one byte), each compared with the file unzrq wrote. Every other
// read goes through a descriptor opened with O_DIRECT, which the kernel
// passes on as asked (a cached read asks for whole pages): so the server
// meets reads starting and ending anywhere, inside a pixel or a row's padding.
void ExpectRandomReads(const std::string& point, const FileTree& written, std::uint32_t seed,
                       int rounds) {
  std::mt19937 random(seed);
  for (const auto& [name, node] : written) {
    SCOPED_TRACE(name);
    std::string path = point;
    path += "/";
    path += name;
    const int cached = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(cached, 0) << std::strerror(errno);
    const int direct = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
    ASSERT_GE(direct, 0) << std::strerror(errno);
    const std::size_t size = node.bytes.size();
    for (int round = 0; round < rounds; ++round) {
      const int fd = round % 2 == 0 ? direct : cached;
      const std::uint64_t offset = random() % (size + 16);
      const std::size_t length = round % 4 == 0 ? 1 : 1 + random() % (size + 200000 + 1);
      int error = 0;
      const Bytes got = ReadAt(fd, offset, length, &error);
      EXPECT_EQ(error, 0) << std::strerror(error);
      const std::size_t from = offset < size ? static_cast<std::size_t>(offset) : size;
      const std::size_t count = std::min(length, size - from);
      EXPECT_TRUE(got == Slice(node.bytes, from, count))
          << "offset " << offset << ", length " << length << (fd == direct ? ", O_DIRECT" : "");
    }
    close(direct);
    close(cached);
  }
}

// The files unzrq wrote into "velkard" in the case folder.
FileTree UnzrqWrote(const CaseFolder& folder) {
  FileTree written;
  for (const auto& [path, node] : folder.Snapshot()) {
    if (path.starts_with("run/velkard/")) written[path.substr(12)] = node;
  }
  return written;
}

TEST(ZrqMount, EveryFileIsTheFileUnzrqWrites) {
  SKIP_WITHOUT_MOUNT();
  std::vector<std::pair<std::string, Bytes>> archives = DamagedAndHostile();
  std::vector<TestEntry> every = EveryKind();
  archives.push_back({"every kind", Archive({.entries = every})});
  // Of entries under one name, the folder holds the file unzrq leaves: the
  // later whole entry replaces the earlier one, a cut one replaces nothing.
  archives.push_back({"one name, several entries",
                      Archive({.entries = {{.name = "n", .payload = Text("first")},
                                           {.name = "n", .payload = Text("second, whole")},
                                           {.name = "n",
                                            .payload = {},
                                            .has_offset = true,
                                            .offset = 8,
                                            .has_size = true,
                                            .size = 0x7FFFFFF}}})});
  archives.push_back({"cut first, whole later",
                      Archive({.entries = {{.name = "c",
                                            .payload = {},
                                            .has_offset = true,
                                            .offset = 8,
                                            .has_size = true,
                                            .size = 0x7FFFFFF},
                                           {.name = "c", .type = 3, .payload = Text("whole")},
                                           {.name = "d",
                                            .payload = {},
                                            .has_offset = true,
                                            .offset = 8,
                                            .has_size = true,
                                            .size = 0x7FFFFFF},
                                           {.name = "d",
                                            .payload = {},
                                            .has_offset = true,
                                            .offset = 9,
                                            .has_size = true,
                                            .size = 0x7FFFFFF}}})});
  std::uint32_t seed = 1;
  for (const auto& [label, bytes] : archives) {
    SCOPED_TRACE(label);
    const CaseFolder folder({{"archive.zrq", File(bytes)}});
    (void)RunTool({"archive.zrq"}, folder.working());
    const FileTree written = UnzrqWrote(folder);
    const ChildResult tested = RunZrq({"test", "archive.zrq"}, folder.working());
    const MountPoint point(folder / "m");
    const ChildResult mounted =
        RunZrq({"mount", folder / "archive.zrq", point.path()}, folder.working());
    // The mount tells what `zrq test` tells, and is served when it returns.
    ExpectExit(mounted, 0, tested.err);
    ASSERT_TRUE(Mounted(point.path()));
    // Random reads first, while nothing is cached.
    ExpectRandomReads(point.path(), written, ++seed, 6);
    EXPECT_EQ(DescribeTreeDifference(written, SnapshotTree(point.path())), "");
    ExpectUnmounted(point.path(), folder.working());
  }
}

// Two readers at once over every file, each at its own random offsets.
TEST(ZrqMount, ConcurrentReaders) {
  SKIP_WITHOUT_MOUNT();
  std::vector<TestEntry> entries = EveryKind();
  entries.push_back(
      {.name = "large_image",
       .type = 5,
       .payload = SizedImagePayload(1999, 301, PatternPixels(std::size_t{1999} * 301, 31))});
  entries.push_back({.name = "large_plain", .type = 3, .payload = PatternBytes(3000000, 32)});
  const CaseFolder folder({{"archive.zrq", File(Archive({.entries = entries}))}});
  ExpectExit(RunTool({"archive.zrq"}, folder.working()), 0, "");
  const FileTree written = UnzrqWrote(folder);
  const MountPoint point(folder / "m");
  ExpectExit(RunZrq({"mount", folder / "archive.zrq", point.path()}, folder.working()), 0, "");
  std::thread other([&] { ExpectRandomReads(point.path(), written, 100, 40); });
  ExpectRandomReads(point.path(), written, 200, 40);
  other.join();
  EXPECT_EQ(DescribeTreeDifference(written, SnapshotTree(point.path())), "");
  ExpectUnmounted(point.path(), folder.working());
}

// In the foreground the command serves until stopped; a change of the
// archive's size or time makes every open and read fail with EIO from then
// on, told once; Ctrl-C ends it, the folder unmounted.
TEST(ZrqMount, ForegroundChangedArchiveAndCtrlC) {
  SKIP_WITHOUT_MOUNT();
  for (const bool same_size : {false, true}) {
    SCOPED_TRACE(same_size ? "time changed" : "size changed");
    const std::vector<TestEntry> entries = {
        {.name = "a", .payload = PatternBytes(100000, 41)},
        {.name = "b", .payload = PatternBytes(100000, 42)},
        {.name = "p", .type = 5, .payload = SizedImagePayload(50, 40, PatternPixels(2000, 43))}};
    const CaseFolder folder({{"archive.zrq", File(Archive({.entries = entries}))}});
    const std::string archive = folder / "archive.zrq";
    const MountPoint point(folder / "m");
    ChildResult served;
    std::thread server([&] {
      served = RunZrq({"mount", "-f", archive, point.path()}, folder.working());
    });
    const bool up = Eventually([&] { return Mounted(point.path()); });
    EXPECT_TRUE(up);
    if (up) {
      int error = 0;
      const int a = open((point.path() + "/a").c_str(), O_RDONLY | O_CLOEXEC);
      EXPECT_GE(a, 0);
      EXPECT_EQ(ReadAt(a, 0, 10, &error), Slice(PatternBytes(100000, 41), 0, 10));
      if (same_size) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
        EXPECT_EQ(utimensat(AT_FDCWD, archive.c_str(), times, 0), 0);
      } else {
        std::ofstream(archive, std::ios::binary | std::ios::app) << 'x';
      }
      // Bytes not read before come from no other archive: EIO.
      EXPECT_TRUE(ReadAt(a, 90000, 10, &error).empty());
      EXPECT_EQ(error, EIO);
      close(a);
      for (const char* name : {"/b", "/p.bmp"}) {
        errno = 0;
        EXPECT_LT(open((point.path() + name).c_str(), O_RDONLY | O_CLOEXEC), 0);
        EXPECT_EQ(errno, EIO);
      }
      const int pid = ServerOf(point.path());
      EXPECT_NE(pid, 0);
      if (pid != 0) kill(pid, SIGINT);
    }
    server.join();
    EXPECT_TRUE(served.exited);
    EXPECT_EQ(served.exit_status, ExitStatus(-5));
    EXPECT_EQ(served.err, "Error: \"" + archive + "\" changed under the mount (" +
                              (same_size ? "its modification time differs" : "its size differs") +
                              "): every read fails from now on.\n");
    EXPECT_FALSE(Mounted(point.path()));
    EXPECT_EQ(ServerOf(point.path()), 0);
  }
}

// What the command line refuses, and where zrq cannot mount.
TEST(ZrqMount, CommandLine) {
  if (Tool().zrq_path.empty()) GTEST_SKIP() << "the suite was given no zrq (--zrq)";
  const Bytes archive = Archive({.entries = {{.name = "a", .payload = Text("a")}}});
  const FileTree mount_point = {{"m", Folder()}};
  std::vector<E2eCase> cases = {{.name = "mount without a mount point",
                                 .archive = archive,
                                 .args = {"mount", "archive.zrq"},
                                 .err = "Error: Wrong arguments for \"mount\".\n" + ZrqUsage(),
                                 .exit_code = -6,
                                 .zrq = true},
                                {.name = "unmount of two folders",
                                 .args = {"unmount", "m", "n"},
                                 .err = "Error: Wrong arguments for \"unmount\".\n" + ZrqUsage(),
                                 .exit_code = -6,
                                 .zrq = true},
                                {.name = "mount on Windows",
                                 .archive = archive,
                                 .args = {"mount", "archive.zrq", "m"},
                                 .err = "Error: \"mount\" is not available on Windows.\n",
                                 .exit_code = -9,
                                 .before = mount_point,
                                 .legs = Legs::kWindowsOnly,
                                 .zrq = true}};
  if (!Tool().launcher.empty()) {
    cases.push_back({.name = "a build without FUSE",
                     .archive = archive,
                     .args = {"mount", "archive.zrq", "m"},
                     .err = "Error: \"mount\" is not available: this zrq was built without FUSE.\n",
                     .exit_code = -9,
                     .before = mount_point,
                     .legs = Legs::kLinuxOnly,
                     .zrq = true});
  } else {
    cases.push_back({.name = "a missing archive: unzrq's message and code",
                     .args = {"mount", "missing.zrq", "m"},
                     .err = "Couldn't open archive file: \"missing.zrq\"\n",
                     .exit_code = -2,
                     .before = mount_point,
                     .legs = Legs::kLinuxOnly,
                     .zrq = true});
    cases.push_back({.name = "a missing mount point",
                     .archive = archive,
                     .args = {"mount", "archive.zrq", "nowhere"},
                     .err = "Error: Cannot mount \"archive.zrq\" on \"nowhere\": No such file or "
                            "directory.\n",
                     .exit_code = -9,
                     .legs = Legs::kLinuxOnly,
                     .zrq = true});
    cases.push_back({.name = "a mount point that is a file",
                     .archive = archive,
                     .args = {"mount", "archive.zrq", "archive.zrq"},
                     .err = "Error: Cannot mount \"archive.zrq\" on \"archive.zrq\": Not a "
                            "directory.\n",
                     .exit_code = -9,
                     .legs = Legs::kLinuxOnly,
                     .zrq = true});
    if (geteuid() == 0) {
      cases.push_back({.name = "unmount of a folder nothing is mounted on",
                       .args = {"unmount", "m"},
                       .err = "Error: Cannot unmount \"m\": Invalid argument.\n",
                       .exit_code = -9,
                       .before = mount_point,
                       .legs = Legs::kLinuxOnly,
                       .zrq = true});
    }
  }
  RunCases(cases);
}

}  // namespace
