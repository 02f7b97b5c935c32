#!/usr/bin/python3
"""Times commands round by round: every round runs each command once, in an
order that moves on by one command per round, so that no command always
runs first (after the deletion of the previous output) or always after a
particular neighbour. Each run goes into a fresh folder: the --prepare
command (not timed) runs before every run.

Usage: rounds.py --json OUT.json [--rounds 7] [--warmup 1] [--prepare CMD]
                 [--prepare-for NAME=CMD ...] [--then CMD]
                 [--writer-beside NAME ...] [--writer-bytes N]
                 NAME COMMAND [NAME COMMAND ...]

--prepare-for NAME=CMD: this command's own preparation instead of --prepare
(say, its own full output to extract over). --then CMD: after every run, CMD
(say, `sync -f .`) runs and is timed too: the JSON then also holds, per
command, the time of the run and CMD together ("then_times", "then_median",
"then_min"), each part less its own cost of starting.

--writer-beside NAME: while this command runs, another program writes
--writer-bytes (4 GiB by default) of its own into a file of the current folder
(`dd`, so on the same file system): it is started after the preparation and
given half a second to fill the page cache before the timed run starts, and
is stopped and its file removed as soon as the run ends, before --then. What
it measures: how much a run that flushes its own files is slowed by dirty data
that is not its own, as a flush of the whole file system would be.

Commands run under /bin/sh -c (write `exec` in front of the program so that
the shell does not stay around it), with standard output on /dev/null. Each
run is timed by the wall clock, less the median time of starting an empty
command the same way; user and system time come from the rusage of the
finished child, peak RSS from /usr/bin/time. A run that exits non-zero stops the whole
benchmark.

The JSON holds, per command, the list of times in round order, so that ratios
can be taken within a round as well as between medians.
"""

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import time


def run_once(command, rss_file):
    # Peak RSS comes from /usr/bin/time, a small process: the rusage of a
    # child forked from this Python process would start from Python's size.
    start = time.perf_counter()
    child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss_file,
                              "/bin/sh", "-c", command], stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
    if child.returncode != 0:
        sys.exit("rounds.py: %r exited with %d" % (command, child.returncode))
    with open(rss_file) as rss:
        peak_kib = int(rss.read().split()[-1])
    return elapsed, usage.ru_utime, usage.ru_stime, peak_kib


WRITER_FILE = ".bench-writer-beside"


def start_writer(size):
    """A program writing `size` bytes into a file of the current folder,
    until it is done or stopped; given half a second's start."""
    mib = max(1, size >> 20)
    writer = subprocess.Popen(["dd", "if=/dev/zero", "of=" + WRITER_FILE, "bs=1M",
                               "count=%d" % mib, "status=none"], start_new_session=True)
    time.sleep(0.5)
    return writer


def stop_writer(writer):
    if writer.poll() is None:
        os.killpg(writer.pid, signal.SIGKILL)
    writer.wait()
    os.remove(WRITER_FILE)


def time_then(command):
    """Wall clock of a command run after a timed one; it must succeed."""
    start = time.perf_counter()
    subprocess.run(["/bin/sh", "-c", command], check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", required=True)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--warmup", type=int, default=1)
    parser.add_argument("--prepare", default="true")
    parser.add_argument("--prepare-for", action="append", default=[], metavar="NAME=CMD")
    parser.add_argument("--then")
    parser.add_argument("--writer-beside", action="append", default=[], metavar="NAME")
    parser.add_argument("--writer-bytes", type=int, default=4 << 30)
    parser.add_argument("pairs", nargs="+", help="NAME COMMAND pairs")
    options = parser.parse_args()
    if len(options.pairs) % 2:
        sys.exit("rounds.py: commands come as NAME COMMAND pairs")
    commands = list(zip(options.pairs[0::2], options.pairs[1::2]))
    prepares = {}
    for item in options.prepare_for:
        name, _, command = item.partition("=")
        if name not in dict(commands) or not command:
            sys.exit("rounds.py: --prepare-for %r: want NAME=CMD of a command given" % item)
        prepares[name] = command
    for name in options.writer_beside:
        if name not in dict(commands):
            sys.exit("rounds.py: --writer-beside %r: not a command given" % name)

    rss_file = options.json + ".rss"
    runs = {name: [] for name, _ in commands}
    thens = {name: [] for name, _ in commands}
    then_overheads = []
    # What starting a command costs here (time, the shell, an empty
    # program), measured in every round and taken off every time, so that
    # short commands are not inflated by it.
    overheads = []
    loads = []
    for round_number in range(options.warmup + options.rounds):
        shift = round_number % len(commands)
        for name, command in commands[shift:] + commands[:shift]:
            subprocess.run(["/bin/sh", "-c", prepares.get(name, options.prepare)], check=True)
            writer = (start_writer(options.writer_bytes)
                      if name in options.writer_beside else None)
            measured = run_once(command, rss_file)
            if writer is not None:
                stop_writer(writer)
            then = time_then(options.then) if options.then else None
            if round_number >= options.warmup:
                runs[name].append(measured)
                thens[name].append(then)
        overheads += [run_once("exec true", rss_file)[0] for _ in range(3)]
        if options.then:
            then_overheads += [time_then("exec true") for _ in range(3)]
        with open("/proc/loadavg") as loadavg:
            loads.append(float(loadavg.read().split()[0]))
        label = "warm-up" if round_number < options.warmup else "round %d" % (
            round_number - options.warmup + 1)
        print("  %-8s %s" % (label, "  ".join(
            "%s %.3f%s" % (name, runs[name][-1][0],
                           "+%.3f" % thens[name][-1] if thens[name][-1] is not None else "")
            if runs[name] else name for name, _ in commands)), flush=True)

    overhead = statistics.median(overheads)
    results = []
    for name, command in commands:
        times = [run[0] - overhead for run in runs[name]]
        results.append({
            "command": name,
            "shell": command,
            "times": times,
            "median": statistics.median(times),
            "min": min(times),
            "user": statistics.median(run[1] for run in runs[name]),
            "system": statistics.median(run[2] for run in runs[name]),
            "peak_rss_kib": max(run[3] for run in runs[name]),
        })
        if options.then:
            then_overhead = statistics.median(then_overheads)
            with_then = [run + then - then_overhead for run, then in zip(times, thens[name])]
            results[-1].update({"then": options.then, "then_times": with_then,
                                "then_median": statistics.median(with_then),
                                "then_min": min(with_then)})
    os.remove(rss_file)
    with open(options.json, "w") as out:
        json.dump({"rounds": options.rounds, "start_overhead": overhead, "load_averages": loads,
                   "writer_bytes": options.writer_bytes if options.writer_beside else 0,
                   "results": results}, out, indent=1)


if __name__ == "__main__":
    main()
