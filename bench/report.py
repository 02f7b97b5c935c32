#!/usr/bin/python3
"""Turns one benchmark run's measurements into its tables and verdicts.

Reads, from the folder run.sh wrote:
  FS-PROFILE.json       rounds.py's times per command (FS: ext4, xfs, btrfs, tmpfs)
  FS-PROFILE-over.json  the same for fresh and over runs ("NAME" and "NAME over")
  FS-PROFILE-tiny.json, ext4-scaling-N.json   the memory and wine checks
  archives.tsv          profile, archive bytes, entries
  pixels.txt            expand_pixels_bench's output, when it ran
Prints the tables, writes them as markdown to --markdown and, with --readme
and --section NAME, puts them in that file between the lines
"<!-- bench:NAME:begin -->" and "<!-- bench:NAME:end -->" (added at the end
when missing), so that bench/README.md is the one place the figures live.
"""

import argparse
import json
import os
import re
import statistics

PROFILES = ["raw", "images", "small", "mixed"]
FILE_SYSTEMS = [("ext4", "journaled ext4 on a loop device"), ("xfs", "xfs on a loop device"),
                ("btrfs", "btrfs on a loop device"), ("tmpfs", "tmpfs")]
NAMES = {"tar": "GNU tar", "python": "Python peer", "wine": "Windows build",
         "minimal-rw": "minimal, read/write 64 KiB", "minimal-kcopy": "minimal, kernel copy"}


def is_minimal(command):
    return command.startswith("minimal-")


def display(command):
    """A command's name in the tables."""
    if command.startswith("minimal-rw") and command != "minimal-rw":
        return "minimal, read/write %s KiB" % command[len("minimal-rw"):]
    return NAMES.get(command, command)


# unzrq on raw against the faster of the minimal extractor's strategies, on
# every file system.
FLOOR_LIMIT = 1.03

# (profile, unzrq divided by, limit), checked on ext4.
TARGETS = [("images", "bsdtar", 1.0), ("raw", "cp", 1.05), ("small", "tar", 0.9)]
RSS_LIMIT_KIB = 4 * 1024
# Page granularity and the C library's start-up make a few hundred KiB of
# noise; growth with the archive would be megabytes.
RSS_SAME_KIB = 256


def load(folder, name):
    path = os.path.join(folder, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as export:
        data = json.load(export)
    return {result["command"]: result for result in data["results"]}, data


def human_size(size):
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale:
            return "%.1f %s" % (size / scale, unit)
    return "%d B" % size


def ratio(results, top, bottom):
    """Median over median and min over min, as text."""
    if top not in results or bottom not in results:
        return None, "-"
    value = results[top]["median"] / results[bottom]["median"]
    best = results[top]["min"] / results[bottom]["min"]
    return value, "%.2f (%.2f)" % (value, best)


def best_minimal(results):
    present = [name for name in results if is_minimal(name)]
    return min(present, key=lambda name: results[name]["median"]) if present else None


def floor_ratio(results, command):
    """A command over the faster minimal strategy: median over median, and
    the lowest and highest of the ratio round by round, as text."""
    best = best_minimal(results)
    if best is None or command not in results:
        return None, "-"
    value = results[command]["median"] / results[best]["median"]
    per_round = [top / bottom for top, bottom in zip(results[command]["times"],
                                                       results[best]["times"])]
    return value, "%.3f [%.2f–%.2f]" % (value, min(per_round), max(per_round))


def floor_table(measured):
    """Rows of the raw floor table: one per file system, unzrq and its
    variants beside the minimal extractor's two strategies."""
    commands = []
    for fs, _ in FILE_SYSTEMS:
        for command in measured.get((fs, "raw"), {}):
            if command not in commands and (command.startswith("unzrq") or is_minimal(command)
                                            or command not in NAMES and command not in
                                            ("cp", "cat", "bsdtar")):
                commands.append(command)
    commands = ([c for c in commands if not is_minimal(c)]
                + [c for c in commands if is_minimal(c) and c != "minimal-kcopy"]
                + [c for c in commands if c == "minimal-kcopy"])
    rows = []
    for fs, _ in FILE_SYSTEMS:
        results = measured.get((fs, "raw"))
        if not results or best_minimal(results) is None:
            continue
        row = [fs, str(len(results["unzrq"]["times"]))]
        row += ["%.3f (%.3f)" % (results[c]["median"], results[c]["min"]) if c in results
                else "-" for c in commands]
        row += [floor_ratio(results, c)[1] for c in commands if not is_minimal(c)]
        rows.append(row)
    return rows, commands


# Over its own output: a build that flushes each replacement before its
# rename, run alone, against another build unflushed, run + sync.
OVER_LIMIT = 1.15
# ... and, run + sync, against GNU tar over its own output.
OVER_TAR_LIMIT = 1.0


def round_ratio(top, bottom):
    """Median over median of two lists of times, and the lowest and highest
    of the ratio round by round, as text."""
    value = statistics.median(top) / statistics.median(bottom)
    per_round = [a / b for a, b in zip(top, bottom)]
    return value, "%.2f [%.2f–%.2f]" % (value, min(per_round), max(per_round))


def seconds(result, key=""):
    return "%.3f (%.3f)" % (result[key + "median"], result[key + "min"])


def over_tables(folder, label):
    """Markdown of the fresh-and-over rounds, one table per file system, and
    their verdicts."""
    parts = []
    verdicts = []
    for fs, description in FILE_SYSTEMS:
        rows = []
        rounds = None
        for profile in PROFILES:
            loaded = load(folder, "%s-%s-over" % (fs, profile))
            if loaded is None:
                continue
            results, data = loaded
            rounds = data["rounds"]
            names = [name for name in results if not name.endswith(" over")]
            for name in names:
                fresh, over = results[name], results.get(name + " over")
                if over is None:
                    continue
                rows.append([label(profile), display(name), seconds(fresh),
                             seconds(fresh, "then_"), seconds(over), seconds(over, "then_"),
                             round_ratio(over["times"], fresh["times"])[1],
                             round_ratio(over["then_times"], fresh["then_times"])[1]])
            ours = [name for name in names if name not in ("tar", "bsdtar")]
            for name in ours:
                over = results[name + " over"]
                for other in ours:
                    if other == name:
                        continue
                    value, text = round_ratio(over["times"], results[other + " over"]["then_times"])
                    verdicts.append(["%s (%s)" % (profile, fs),
                                     "%s over, run ÷ %s over, run + sync" % (name, other),
                                     "<= %.2f" % OVER_LIMIT, text,
                                     "met" if value <= OVER_LIMIT else "MISSED"])
                if "tar over" in results:
                    value, text = round_ratio(over["then_times"],
                                              results["tar over"]["then_times"])
                    verdicts.append(["%s (%s)" % (profile, fs),
                                     "%s over ÷ GNU tar over, both run + sync" % name,
                                     "<= %.2f" % OVER_TAR_LIMIT, text,
                                     "met" if value <= OVER_TAR_LIMIT else "MISSED"])
        if rows:
            parts += ["##### Fresh and over its own output: %s, %d rounds" % (description, rounds),
                      "", table(["profile", "command", "fresh: run s", "fresh: run + sync s",
                                 "over: run s", "over: run + sync s", "over ÷ fresh, run",
                                 "over ÷ fresh, run + sync"], rows), ""]
    if verdicts:
        parts += ["##### Over its own output: targets", "",
                  "Ratios: median over median, in brackets the lowest and highest of the "
                  "same ratio round by round.", "",
                  table(["profile", "measure", "limit", "measured", "verdict"], verdicts), ""]
    return parts


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---" if i < 2 else "---:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def write_section(path, section, markdown):
    """Puts markdown between the file's "bench:SECTION" markers (added at the
    end when missing)."""
    begin = "<!-- bench:%s:begin -->" % section
    end = "<!-- bench:%s:end -->" % section
    with open(path) as readme:
        text = readme.read()
    block = "%s\n%s\n%s" % (begin, markdown, end)
    pattern = re.compile(re.escape(begin) + ".*?" + re.escape(end), re.S)
    if pattern.search(text):
        text = pattern.sub(lambda _: block, text)
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    with open(path, "w") as readme:
        readme.write(text)
    print("written into %s, section %s" % (path, section))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--markdown", required=True)
    parser.add_argument("--title", default="")
    parser.add_argument("--unzrq", default="unzrq")
    parser.add_argument("--windows", default="")
    parser.add_argument("--mounts", default="")
    parser.add_argument("--variants", default="")
    parser.add_argument("--readme")
    parser.add_argument("--section")
    options = parser.parse_args()
    folder = options.folder

    archives = {}
    with open(os.path.join(folder, "archives.tsv")) as lines:
        for line in lines:
            name, size, entries = line.split()
            archives[name] = (int(size), int(entries))

    def label(profile):
        size, entries = archives[profile]
        return "%s (%s, %d entries)" % (profile, human_size(size), entries)

    parts = ["#### Run: %s" % options.title, ""]
    parts.append("unzrq: `%s`.%s Windows build: %s. Mount options: %s. Each figure: "
                 "seconds, median of the rounds and (in brackets) the fastest; ratios: "
                 "median over median (min over min), from the same rounds."
                 % (os.path.basename(options.unzrq),
                    " Variants: %s." % options.variants if options.variants else "",
                    options.windows, options.mounts or "-"))
    parts.append("")
    pixels = os.path.join(folder, "pixels.txt")
    if os.path.exists(pixels):
        with open(pixels) as text:
            parts += ["Pixel conversion (`expand_pixels_bench`):", "", "```",
                      text.read().rstrip(), "```", ""]

    measured = {}
    for fs, description in FILE_SYSTEMS:
        rows = []
        ratio_rows = []
        rounds = None
        for profile in PROFILES:
            loaded = load(folder, "%s-%s" % (fs, profile))
            if loaded is None:
                continue
            results, data = loaded
            rounds = data["rounds"]
            measured[(fs, profile)] = results
            for command, result in results.items():
                rows.append([label(profile), display(command),
                             "%.3f (%.3f)" % (result["median"], result["min"])]
                            + ([seconds(result, "then_")] if "then_median" in result else [])
                            + ["%.3f" % result["user"], "%.3f" % result["system"],
                               "%.1f" % (result["peak_rss_kib"] / 1024)])
            ratio_rows.append([profile] + [ratio(results, "unzrq", anchor)[1] for anchor in
                                           ("cp", "cat", "tar", "bsdtar", "python")]
                              + [ratio(results, "wine", "unzrq")[1]])
        if not rows:
            continue
        parts += ["##### %s, %d rounds" % (description, rounds), ""]
        with_sync = len(rows[0]) == 7
        times = ["run s", "run + sync s"] if with_sync else ["s"]
        parts.append(table(["profile", "command"] + times
                           + ["user s", "sys s", "peak RSS MiB"], rows))
        parts.append("")
        if any(cell != "-" for row in ratio_rows for cell in row[1:]):
            parts += [table(["profile", "unzrq / cp", "unzrq / cat", "unzrq / GNU tar",
                             "unzrq / bsdtar", "unzrq / Python", "Windows build / unzrq"],
                            ratio_rows), ""]

    floor_rows, floor_commands = floor_table(measured)
    if floor_rows:
        parts += ["##### Raw against the floor: the minimal extractor, same rounds", "",
                  "Each cell: seconds, median (fastest). Ratios: over the minimal extractor's "
                  "faster strategy in that run (by median), median over median; in brackets the "
                  "lowest and highest of the same ratio taken round by round.", "",
                  table(["file system", "rounds"] + [display(c) for c in floor_commands]
                        + ["%s ÷ best minimal" % display(c) for c in floor_commands
                           if not is_minimal(c)], floor_rows), ""]

    parts += over_tables(folder, label)

    verdicts = []
    for profile, anchor, limit in TARGETS:
        value, text = ratio(measured.get(("ext4", profile), {}), "unzrq", anchor)
        if value is None:
            continue
        verdicts.append([profile, "unzrq / %s" % NAMES.get(anchor, anchor), "<= %.2f" % limit,
                         text, "-" if value is None else "met" if value <= limit else "MISSED"])
    unzrq_rss = [results["unzrq"]["peak_rss_kib"] for results in measured.values()
                 if "unzrq" in results]
    if unzrq_rss:
        worst = max(unzrq_rss)
        verdicts.append(["all", "unzrq peak RSS", "<= 4.0 MiB", "%.2f MiB" % (worst / 1024),
                         "met" if worst <= RSS_LIMIT_KIB else "MISSED"])
    for profile in ("raw", "images"):
        tiny = load(folder, "ext4-%s-tiny" % profile)
        full = measured.get(("ext4", profile))
        if tiny is None or full is None:
            continue
        tiny_kib = tiny[0]["unzrq"]["peak_rss_kib"]
        full_kib = full["unzrq"]["peak_rss_kib"]
        verdicts.append([profile, "RSS, %s vs %s archive" % (
            human_size(archives[profile + "-tiny"][0]), human_size(archives[profile][0])),
            "same", "%.2f vs %.2f MiB" % (tiny_kib / 1024, full_kib / 1024),
            "met" if abs(full_kib - tiny_kib) <= RSS_SAME_KIB else "MISSED"])
    for fs, _ in FILE_SYSTEMS:
        value, text = floor_ratio(measured.get((fs, "raw"), {}), "unzrq")
        if value is not None:
            verdicts.append(["raw (%s)" % fs, "unzrq / best minimal", "<= %.2f" % FLOOR_LIMIT,
                             text, "met" if value <= FLOOR_LIMIT else "MISSED"])
    if verdicts:
        parts += ["##### Targets (ext4 unless named)", "",
                  table(["profile", "measure", "limit", "measured", "verdict"], verdicts), ""]

    scaling_rows = []
    for name in sorted(archives, key=lambda name: archives[name][1]):
        if not name.startswith("scaling-"):
            continue
        loaded = load(folder, "ext4-" + name)
        if loaded is None:
            continue
        results = loaded[0]
        size, entries = archives[name]
        row = [name[len("scaling-"):], human_size(size)]
        for command in ("unzrq", "wine"):
            median = results[command]["median"]
            row += ["%.3f" % median, "%.2f" % (1000 * median / entries)]
        row.append("%.2f" % (results["wine"]["median"] / results["unzrq"]["median"]))
        scaling_rows.append(row)
    if scaling_rows:
        parts += ["##### Windows build: cost per entry against the files in the folder (ext4)",
                  "", table(["entries", "archive", "unzrq s", "unzrq ms/entry",
                             "Windows build s", "Windows build ms/entry", "ratio"],
                            scaling_rows), ""]

    markdown = "\n".join(parts)
    print(markdown)
    with open(options.markdown, "w") as out:
        out.write(markdown + "\n")
    print("\nmarkdown: %s" % options.markdown)

    if options.readme and options.section:
        write_section(options.readme, options.section, markdown)


if __name__ == "__main__":
    main()
