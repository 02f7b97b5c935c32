#!/usr/bin/python3
"""Turns one benchmark run's measurements into its tables and verdicts.

Reads, from the folder run.sh wrote:
  FS-PROFILE.json       rounds.py's times per command (FS: ext4, xfs, btrfs,
                        tmpfs): "NAME" into an empty folder, "NAME over" over
                        its own output, "NAME beside" the same with a writer
                        beside, the minimal extractor and the anchors
  FS-PROFILE-tiny.json, ext4-scaling-N.json   the memory and wine checks
  archives.tsv          profile, archive bytes, entries
  pixels.txt            expand_pixels_bench's output, when it ran
Prints the tables, writes them as markdown to --markdown and, with --readme
and --section NAME, puts them in that file between the lines
"<!-- bench:NAME:begin -->" and "<!-- bench:NAME:end -->" (added at the end
when missing). The first table is the headline: fresh and over, against the
floor and the tars.
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
# The commands that are neither unzrq's builds nor the floor.
OTHERS = ("tar", "bsdtar", "cp", "cat", "python", "wine")
SITUATIONS = [("", "fresh"), (" over", "over"), (" beside", "beside")]

# unzrq against the faster of the minimal extractor's ways, on every file system.
FLOOR_LIMIT = 1.03
# (profile, unzrq divided by, limit), into an empty folder on ext4.
TARGETS = [("images", "bsdtar", 1.0), ("raw", "cp", 1.05), ("small", "tar", 0.9)]
# Over its own output: a build that flushes its replacements, run alone,
# against another build unflushed, run + sync; and, run + sync, against GNU
# tar over its own output.
OVER_LIMIT = 1.15
OVER_TAR_LIMIT = 1.0
RSS_LIMIT_KIB = 4 * 1024
# Page granularity and the C library's start-up make a few hundred KiB of
# noise; growth with the archive would be megabytes.
RSS_SAME_KIB = 256


def is_minimal(command):
    return command.startswith("minimal-")


def is_ours(command):
    """unzrq or one of its variants, in any situation."""
    base = command.split(" ")[0]
    return not is_minimal(base) and base not in OTHERS


def our_builds(results):
    """unzrq and its variants, in the order first timed, whatever the
    situations of the run."""
    names = []
    for command in results:
        base = command.partition(" ")[0]
        if is_ours(base) and base not in names:
            names.append(base)
    return names


def display(command):
    """A command's name in the tables."""
    base, _, situation = command.partition(" ")
    if base.startswith("minimal-rw") and base != "minimal-rw":
        name = "minimal, read/write %s KiB" % base[len("minimal-rw"):]
    else:
        name = NAMES.get(base, base)
    return name + (" " + situation if situation else "")


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


def seconds(result, key=""):
    return "%.3f (%.3f)" % (result[key + "median"], result[key + "min"])


def times(result, sync):
    return result["then_times"] if sync else result["times"]


def round_ratio(top, bottom):
    """Median over median of two lists of times from the same rounds, and the
    lowest and highest of the ratio round by round, as text."""
    value = statistics.median(top) / statistics.median(bottom)
    per_round = [a / b for a, b in zip(top, bottom)]
    return value, "%.2f [%.2f–%.2f]" % (value, min(per_round), max(per_round))


def best_minimal(results):
    present = [name for name in results if is_minimal(name)]
    return min(present, key=lambda name: results[name]["median"]) if present else None


def table(header, rows):
    """Markdown; columns after the first that holds a figure are right-aligned."""
    text_columns = next((i for i in range(len(header)) if rows and any(
        re.match(r"^-?[0-9.]+( |$)|^-$", str(row[i])) for row in rows)), len(header))
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---" if i < text_columns else "---:"
                            for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def section(heading, notes, header, rows):
    """A table under its heading and notes, or nothing when it has no rows."""
    if not rows:
        return []
    return ["##### " + heading, ""] + ([notes, ""] if notes else []) + [table(header, rows), ""]


def headline(measured):
    """unzrq and its variants fresh and over, each against the floor and the
    tars in the same situation: median over median."""
    rows = []
    for fs, _ in FILE_SYSTEMS:
        for profile in PROFILES:
            results = measured.get((fs, profile))
            if not results:
                continue
            floor = best_minimal(results)
            for name in our_builds(results):
                row = [fs, profile, display(name)]
                for suffix, sync in (("", False), (" over", False), (" over", True)):
                    mine = results.get(name + suffix)
                    if mine is None or (sync and "then_times" not in mine):
                        row += ["-"] * (4 if not suffix else 3)
                        continue
                    row.append("%.3f" % statistics.median(times(mine, sync)))
                    anchors = ([floor] if not suffix else []) + ["tar", "bsdtar"]
                    for anchor in anchors:
                        other = results.get(anchor + suffix) if anchor else None
                        row.append("%.2f" % round_ratio(times(mine, sync), times(other, sync))[0]
                                   if other else "-")
                rows.append(row)
    return section("Fresh and over its own output",
                   "Seconds: median of the rounds. Ratios: median over median, against the floor "
                   "(the minimal extractor's faster way, plain profiles only) and against GNU tar "
                   "and bsdtar in the same situation; over + sync: the run and a `sync -f` of its "
                   "file system right after it.",
                   ["file system", "profile", "command", "fresh s", "÷ floor", "÷ GNU tar",
                    "÷ bsdtar", "over s", "÷ GNU tar", "÷ bsdtar", "over + sync s", "÷ GNU tar",
                    "÷ bsdtar"], rows)


def variants_table(measured):
    """Each variant against unzrq, situation by situation, round by round."""
    rows = []
    for (fs, profile), results in measured.items():
        for name in [n for n in our_builds(results) if n != "unzrq"]:
            row = [fs, profile, display(name)]
            for suffix, _ in SITUATIONS:
                for sync in (False, True):
                    mine, base = results.get(name + suffix), results.get("unzrq" + suffix)
                    usable = mine and base and (not sync or "then_times" in mine)
                    row.append(round_ratio(times(mine, sync), times(base, sync))[1]
                               if usable else "-")
            rows.append(row)
    return section("Variants against unzrq, same rounds",
                   "Ratios: median over median, in brackets the lowest and highest of the same "
                   "ratio round by round.",
                   ["file system", "profile", "command", "fresh", "fresh + sync", "over",
                    "over + sync", "beside", "beside + sync"], rows)


def beside_table(measured, writer_size):
    """Over its own output with and without a writer beside."""
    rows = []
    for (fs, profile), results in measured.items():
        for name in [n[:-len(" beside")] for n in results if n.endswith(" beside")]:
            beside, over = results[name + " beside"], results.get(name + " over")
            tar = results.get("tar beside")
            rows.append([fs, profile, display(name), seconds(beside),
                         round_ratio(beside["times"], over["times"])[1] if over else "-",
                         round_ratio(beside["times"], tar["times"])[1] if tar else "-"])
    return section("Over its own output with a writer beside",
                   "While each run replaces its own output, `dd` writes %s into another file of the"
                   " same file system (started half a second before the run, stopped when it ends)."
                   " Seconds: median (fastest); ratios: median over median, in brackets round by "
                   "round."
                   % writer_size,
                   ["file system", "profile", "command", "beside s", "beside ÷ over, run",
                    "÷ GNU tar beside"], rows)


def file_system_tables(measured, label, rounds):
    """Every command of every situation, one table a file system."""
    parts = []
    for fs, description in FILE_SYSTEMS:
        rows = []
        for profile in PROFILES:
            results = measured.get((fs, profile))
            if not results:
                continue
            names = []
            for command in results:
                base = command.partition(" ")[0]
                if base not in names:
                    names.append(base)
            for name in names:
                row = [label(profile), display(name)]
                for suffix, _ in SITUATIONS:
                    result = results.get(name + suffix)
                    row.append(seconds(result) if result else "-")
                    row.append(seconds(result, "then_") if result and "then_median" in result
                               else "-")
                first = next(results[name + suffix] for suffix, _ in SITUATIONS
                             if name + suffix in results)
                row += ["%.3f" % first["user"], "%.3f" % first["system"],
                        "%.1f" % (first["peak_rss_kib"] / 1024)]
                rows.append(row)
        if rows:
            parts += ["##### %s, %d rounds" % (description, rounds[fs]), "",
                      table(["profile", "command", "fresh s", "fresh + sync s", "over s",
                             "over + sync s", "beside s", "beside + sync s", "user s", "sys s",
                             "peak RSS MiB"], rows), ""]
    return parts


def anchors_table(measured):
    rows = []
    for (fs, profile), results in measured.items():
        if not any(anchor in results for anchor in ("cp", "cat", "python", "wine")):
            continue
        row = [fs, profile]
        for top, bottom in [("unzrq", anchor) for anchor in ("cp", "cat", "python")] + [
                ("wine", "unzrq")]:
            row.append(round_ratio(results[top]["times"], results[bottom]["times"])[1]
                       if top in results and bottom in results else "-")
        rows.append(row)
    return section("Into an empty folder: against the anchors",
                   None,
                   ["file system", "profile", "unzrq / cp", "unzrq / cat", "unzrq / Python",
                    "Windows build / unzrq"], rows)


def floor_table(measured):
    """The minimal extractor's ways beside unzrq and its variants, fresh."""
    rows = []
    for (fs, profile), results in measured.items():
        floor = best_minimal(results)
        if floor is None:
            continue
        minimal = sorted((n for n in results if is_minimal(n)), key=lambda n: n == "minimal-kcopy")
        ours = [n for n in results if " " not in n and is_ours(n)]
        rows.append([fs, profile, ", ".join("%s %s" % (display(n), seconds(results[n]))
                                            for n in minimal)]
                    + ["; ".join("%s %s" % (display(n), round_ratio(results[n]["times"],
                                                                    results[floor]["times"])[1])
                                 for n in ours)])
    return section("Into an empty folder: against the floor",
                   "The minimal extractor's ways (seconds, median (fastest)), and each build over "
                   "the faster of them: median over median, in brackets round by round.",
                   ["file system", "profile", "minimal extractor", "÷ floor"], rows)


def verdicts(measured, folder, archives):
    rows = []
    for profile, anchor, limit in TARGETS:
        results = measured.get(("ext4", profile), {})
        if "unzrq" in results and anchor in results:
            value, text = round_ratio(results["unzrq"]["times"], results[anchor]["times"])
            rows.append(["%s (ext4)" % profile, "unzrq fresh ÷ %s" % NAMES.get(anchor, anchor),
                         "<= %.2f" % limit, text, "met" if value <= limit else "MISSED"])
    for (fs, profile), results in measured.items():
        floor = best_minimal(results)
        if floor and "unzrq" in results:
            value, text = round_ratio(results["unzrq"]["times"], results[floor]["times"])
            rows.append(["%s (%s)" % (profile, fs), "unzrq fresh ÷ floor", "<= %.2f" % FLOOR_LIMIT,
                         text, "met" if value <= FLOOR_LIMIT else "MISSED"])
        ours = [n[:-len(" over")] for n in results if n.endswith(" over") and is_ours(n)]
        for name in ours:
            over = results[name + " over"]
            if "then_times" not in over:
                continue
            for other in ours:
                if other != name:
                    value, text = round_ratio(over["times"], results[other + " over"]["then_times"])
                    rows.append(["%s (%s)" % (profile, fs),
                                 "%s over, run ÷ %s over, run + sync" % (name, other),
                                 "<= %.2f" % OVER_LIMIT, text,
                                 "met" if value <= OVER_LIMIT else "MISSED"])
            if "tar over" in results:
                value, text = round_ratio(over["then_times"], results["tar over"]["then_times"])
                rows.append(["%s (%s)" % (profile, fs),
                             "%s over ÷ GNU tar over, both run + sync" % name,
                             "<= %.2f" % OVER_TAR_LIMIT, text,
                             "met" if value <= OVER_TAR_LIMIT else "MISSED"])
    unzrq_rss = [results["unzrq"]["peak_rss_kib"] for results in measured.values()
                 if "unzrq" in results]
    if unzrq_rss:
        worst = max(unzrq_rss)
        rows.append(["all", "unzrq peak RSS", "<= 4.0 MiB", "%.2f MiB" % (worst / 1024),
                     "met" if worst <= RSS_LIMIT_KIB else "MISSED"])
    for (fs, profile), results in measured.items():
        tiny = load(folder, "%s-%s-tiny" % (fs, profile))
        if tiny is None or "unzrq" not in results:
            continue
        tiny_kib = tiny[0]["unzrq"]["peak_rss_kib"]
        full_kib = results["unzrq"]["peak_rss_kib"]
        rows.append([profile, "RSS, %s vs %s archive" % (
            human_size(archives[profile + "-tiny"][0]), human_size(archives[profile][0])),
            "same", "%.2f vs %.2f MiB" % (tiny_kib / 1024, full_kib / 1024),
            "met" if abs(full_kib - tiny_kib) <= RSS_SAME_KIB else "MISSED"])
    return section("Targets",
                   "Ratios: median over median, in brackets round by round.",
                   ["profile", "measure", "limit", "measured", "verdict"], rows)


def scaling_table(folder, archives):
    rows = []
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
        rows.append(row)
    return section("Windows build: cost per entry against the files in the folder (ext4)",
                   None,
                   ["entries", "archive", "unzrq s", "unzrq ms/entry", "Windows build s",
                    "Windows build ms/entry", "ratio"], rows)


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
    parser.add_argument("--writer-size", default="4G")
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

    measured = {}
    rounds = {}
    for fs, _ in FILE_SYSTEMS:
        for profile in PROFILES:
            loaded = load(folder, "%s-%s" % (fs, profile))
            if loaded is not None:
                measured[(fs, profile)] = loaded[0]
                rounds[fs] = loaded[1]["rounds"]

    parts = ["#### Run: %s" % options.title, ""]
    parts.append("unzrq: `%s`.%s Windows build: %s. Mount options: %s. Archives: %s. Each "
                 "figure: seconds, median of the rounds and (in brackets) the fastest."
                 % (os.path.basename(options.unzrq),
                    " Variants: %s." % options.variants if options.variants else "",
                    options.windows, options.mounts or "-",
                    ", ".join(label(p) for p in PROFILES if p in archives)))
    parts.append("")
    parts += headline(measured)
    parts += variants_table(measured)
    parts += beside_table(measured, options.writer_size)
    parts += floor_table(measured)
    parts += anchors_table(measured)
    parts += verdicts(measured, folder, archives)
    parts += file_system_tables(measured, label, rounds)
    parts += scaling_table(folder, archives)
    pixels = os.path.join(folder, "pixels.txt")
    if os.path.exists(pixels):
        with open(pixels) as text:
            parts += ["Pixel conversion (`expand_pixels_bench`):", "", "```",
                      text.read().rstrip(), "```", ""]

    markdown = "\n".join(parts)
    print(markdown)
    with open(options.markdown, "w") as out:
        out.write(markdown + "\n")
    print("\nmarkdown: %s" % options.markdown)

    if options.readme and options.section:
        write_section(options.readme, options.section, markdown)


if __name__ == "__main__":
    main()
