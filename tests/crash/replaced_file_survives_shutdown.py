#!/usr/bin/env python3
"""replaced_file_survives_shutdown.py --work DIR [--rounds N] -- TOOL...

Replaces files with the tool and cuts the power right after: the promise
under test is that a name an earlier run wrote holds, after a crash, either
that earlier file or the new one, whole, never an empty or torn file.

A small xfs on a loop device stands in for the disk. Each round unpacks an
archive (two plain entries of 1,000,000 bytes and a type-5 image, and in
every other round 100 small plain entries besides) into a
folder on it, checks those files and syncs them; then it unpacks a second
archive with other contents of other sizes under the same names and, the
moment the tool has exited 0, shuts the file system down as a power cut
would (`xfs_io -x -c "shutdown -f"`: the log is written, nothing else),
unmounts and mounts it again. Every name must then hold the first run's
bytes or the second run's, and the folder may hold nothing but those names
and the leftovers of a stopped replacement. xfs shows a missing flush
plainly: a file whose data never reached the disk comes back empty.

TOOL... is the command that runs the tool (the Linux build, or the wine
runner and the .exe); the archive and the output folder are appended to it,
as paths relative to DIR, where it runs, so that no process is left with
its working folder on the file system.

Exit status 0: every round kept its promise; 1: one did not, or a step
failed; 77: the test cannot run here (not root, no loop device, no xfs
tools or kernel support, or a tool that cannot run on this host), the
reason printed first. Always unmounts the file system and detaches the
loop device, also when interrupted, and clears what a killed earlier run
left in DIR before it starts.
"""
import argparse
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "archive"))
import zrq_format  # noqa: E402

SKIP = 77
# More than the tool flushes file by file in one batch.
SMALL_FILES = 100
IMAGE_BYTES = 300 * 1024 * 1024  # the smallest xfs mkfs.xfs makes; a sparse file
STEP_TIMEOUT = 200  # seconds, below the test's TIMEOUT, so that the cleanup still runs
LEFTOVER = re.compile(r"\.unzrq-partial-[0-9A-Fa-f]{8}-[0-9A-Fa-f]{8}-[0-9A-Fa-f]{16}"
                      r"-left-by-a-stopped-run")


class Skip(Exception):
    pass


class Failed(Exception):
    pass


class Stopped(Exception):
    pass


def run(command, **options):
    options.setdefault("timeout", STEP_TIMEOUT)
    return subprocess.run(command, capture_output=True, **options)


def show(result):
    text = result.stdout + result.stderr
    return text.decode(errors="replace").rstrip()


def checked(command, **options):
    result = run(command, **options)
    if result.returncode != 0:
        raise Failed("%s ended with %d:\n%s" % (" ".join(command), result.returncode, show(result)))
    return result


def bitmap(width, height, pixels):
    """The 24-bit bottom-up bitmap of `pixels` (RGB565, little-endian), each
    channel widened by a plain shift, every row padded to a multiple of 4."""
    rows = []
    padding = bytes(width % 4)
    for y in range(height):
        row = bytearray()
        for (pixel,) in struct.iter_unpack("<H", pixels[2 * width * y:2 * width * (y + 1)]):
            row += bytes(((pixel & 0x1F) << 3, (pixel >> 5 & 0x3F) << 2, (pixel >> 11) << 3))
        rows.append(bytes(row) + padding)
    return zrq_format.bitmap_header(width, height) + b"".join(reversed(rows))


def entries(rng, plain_sizes, width, height, small):
    """Archive entries (name, type, payload) and the files they must become
    ({output name: bytes}): a type-1 name whose extension is restored, a
    type-3 name kept as it is, a type-5 image, and `small` small type-3
    entries."""
    theme, level = (rng.randbytes(size) for size in plain_sizes)
    pixels = rng.randbytes(2 * width * height)
    archive = [(b"theme_MP3", zrq_format.TYPE_RENAMED_RAW, theme),
               (b"level.dat", zrq_format.TYPE_RAW, level),
               (b"splash", zrq_format.TYPE_SIZED_IMAGE,
                zrq_format.sized_image_prefix(width, height) + pixels)]
    files = {"theme.MP3": theme, "level.dat": level, "splash.bmp": bitmap(width, height, pixels)}
    for index in range(small):
        name = "small-%03d" % index
        payload = rng.randbytes(rng.randint(1, 6000))
        archive.append((name.encode(), zrq_format.TYPE_RAW, payload))
        files[name] = payload
    return archive, files


def write_archive(path, archive):
    with open(path, "wb") as out:
        writer = zrq_format.ArchiveWriter(out)
        for name, entry_type, payload in archive:
            writer.add(name, entry_type, payload)
        writer.close()


def describe(data, first, second):
    """What a file holds that is neither run's."""
    if not data:
        return "an empty file"
    text = "%d bytes" % len(data)
    if data.count(0) == len(data):
        return text + ", all zero"
    for label, expected in (("first", first), ("second", second)):
        same = next((i for i, (a, b) in enumerate(zip(data, expected)) if a != b),
                    min(len(data), len(expected)))
        text += "; its first %d bytes are the %s run's (of %d)" % (same, label, len(expected))
    return text


class LoopXfs:
    """An xfs in a sparse file under `work`, on a loop device, mounted at
    work/mnt. close() undoes whatever was done, and clear_leftovers() what a
    killed run left behind."""

    def __init__(self, work):
        self.image = os.path.join(work, "xfs.img")
        self.mount_point = os.path.join(work, "mnt")
        self.device = None
        self.mounted = False

    def clear_leftovers(self):
        if os.path.ismount(self.mount_point):
            print("unmounting %s, left mounted by an earlier run" % self.mount_point)
            self.unmount()
        if os.path.exists(self.image):
            attached = run(["losetup", "--noheadings", "--output", "NAME",
                            "--associated", self.image]).stdout.decode().split()
            for device in attached:
                print("detaching %s, left attached by an earlier run" % device)
                run(["losetup", "--detach", device])
            os.remove(self.image)

    def create(self):
        with open(self.image, "wb") as image:
            image.truncate(IMAGE_BYTES)
        attached = run(["losetup", "--find", "--show", self.image])
        if attached.returncode != 0:
            raise Skip("no loop device to attach (%s)" % show(attached))
        self.device = attached.stdout.decode().strip()
        checked(["mkfs.xfs", "-q", "-f", self.device])
        os.makedirs(self.mount_point, exist_ok=True)
        self.mount()

    def mount(self):
        result = run(["mount", "-t", "xfs", self.device, self.mount_point])
        if result.returncode != 0:
            with open("/proc/filesystems") as known:
                if not any(line.split()[-1] == "xfs" for line in known if line.strip()):
                    raise Skip("this kernel mounts no xfs (%s)" % show(result))
            raise Failed("mount %s: %s" % (self.device, show(result)))
        self.mounted = True

    def unmount(self):
        """Unmounts; a mount still busy (a tool that never ended) is detached
        lazily rather than left behind."""
        result = run(["umount", self.mount_point])
        if result.returncode != 0:
            print("umount %s: %s; unmounting it lazily" % (self.mount_point, show(result)))
            checked(["umount", "--lazy", self.mount_point])
        self.mounted = False

    def cut_power(self):
        """A power cut right now: the log as written so far, nothing else."""
        checked(["xfs_io", "-x", "-c", "shutdown -f", self.mount_point])
        self.unmount()
        self.mount()

    def close(self):
        """Undoes it all; says what it could not undo instead of raising."""
        try:
            if self.mounted:
                self.unmount()
        except (Failed, subprocess.TimeoutExpired) as error:
            print("could not unmount %s: %s" % (self.mount_point, error))
        if self.device:
            detached = run(["losetup", "--detach", self.device])
            if detached.returncode != 0:
                print("could not detach %s: %s" % (self.device, show(detached)))
            self.device = None
        if os.path.exists(self.image):
            os.remove(self.image)


def check_round(folder, old, new):
    """What is wrong in `folder` after the crash: a list of lines."""
    problems = []
    for name in sorted(old):
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            problems.append("%s: missing" % name)
            continue
        with open(path, "rb") as file:
            data = file.read()
        if data == new[name]:
            print("  %s: the second run's %d bytes" % (name, len(data)))
        elif data == old[name]:
            print("  %s: the first run's %d bytes" % (name, len(data)))
        else:
            problems.append("%s: %s, neither run's file" % (name, describe(data, old[name],
                                                                               new[name])))
    for name in sorted(os.listdir(folder)):
        if name not in old and not LEFTOVER.fullmatch(name):
            problems.append("%s: not a name of the archive nor a leftover" % name)
        elif name not in old:
            print("  %s: a stopped replacement's leftover" % name)
    return problems


def unpack(tool, work, archive, folder):
    result = run(tool + [archive, folder], cwd=work)
    if result.returncode != 0:
        raise Failed("unpacking %s ended with %d:\n%s" % (archive, result.returncode,
                                                         show(result)))


def rounds(tool, work, disk, count):
    failures = []
    for number in range(1, count + 1):
        rng = random.Random(number)
        # Width 300: rows without padding; 257: a byte of padding per row.
        # Every other round replaces a batch of many files, which the tool
        # flushes with one flush of the file system where it trusts that;
        # the others a few large ones, each flushed on its own.
        small = SMALL_FILES if number % 2 == 0 else 0
        old_archive, old = entries(rng, (1000000, 1000000), 300, 200, small)
        new_archive, new = entries(rng, (1300000, 700001), 257, 129, small)
        folder = "mnt/out-%d" % number
        write_archive(os.path.join(work, "old-%d.zrq" % number), old_archive)
        write_archive(os.path.join(work, "new-%d.zrq" % number), new_archive)

        unpack(tool, work, "old-%d.zrq" % number, folder)
        for name, data in old.items():
            with open(os.path.join(work, folder, name), "rb") as file:
                if file.read() != data:
                    raise Failed("%s/%s is not what the first archive holds" % (folder, name))
        # The old files on the disk, as an earlier day's run would have left them.
        checked(["sync", "--file-system", os.path.join(work, folder)])

        try:
            unpack(tool, work, "new-%d.zrq" % number, folder)
        finally:
            disk.cut_power()
        print("round %d, after the power cut:" % number)
        problems = check_round(os.path.join(work, folder), old, new)
        for problem in problems:
            print("  FAILED: " + problem)
        failures += problems
    return failures


def stop(signal_number, _frame):
    raise Stopped("stopped by signal %d" % signal_number)


def main():
    parser = argparse.ArgumentParser(usage=__doc__.splitlines()[0])
    parser.add_argument("--work", required=True)
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("tool", nargs="+")
    options = parser.parse_args()
    work = os.path.abspath(options.work)
    tool = [os.path.abspath(part) if os.path.exists(part) else part for part in options.tool]
    for signal_number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signal_number, stop)

    disk = LoopXfs(work)
    try:
        if os.geteuid() != 0:
            raise Skip("mounting a loop device takes root")
        missing = [name for name in ("mkfs.xfs", "xfs_io") if not shutil.which(name)]
        if missing:
            raise Skip("no %s (Debian: xfsprogs)" % " or ".join(missing))
        if not os.path.exists("/dev/loop-control"):
            raise Skip("no loop devices (/dev/loop-control is missing)")
        # With no arguments the tool prints its usage and exits 0; the wine
        # runner ends with 77 where this host cannot run the .exe, saying why.
        probe = run(tool)
        if probe.returncode == SKIP:
            print(show(probe))
            return SKIP
        if probe.returncode != 0:
            raise Failed("%s ended with %d:\n%s" % (" ".join(tool), probe.returncode, show(probe)))

        os.makedirs(work, exist_ok=True)
        disk.clear_leftovers()
        for name in os.listdir(work):
            if name.endswith(".zrq"):
                os.remove(os.path.join(work, name))
        disk.create()
        failures = rounds(tool, work, disk, options.rounds)
    except Skip as reason:
        print("SKIPPED: %s" % reason)
        return SKIP
    except (Failed, Stopped, subprocess.TimeoutExpired) as error:
        print("FAILED: %s" % error)
        return 1
    finally:
        for signal_number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(signal_number, signal.SIG_IGN)
        disk.close()
    if failures:
        print("FAILED: after a power cut, %d replaced names held neither the old file nor the "
              "new one, whole" % len(failures))
        return 1
    print("every replaced name held a whole file after each of %d power cuts" % options.rounds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
