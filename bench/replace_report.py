#!/usr/bin/python3
"""Tables of one replace_rounds.sh run: per file system, the small profile
fresh and over a full folder, and raw fresh; every way's "run" and "run +
sync" (median, fastest in brackets), and ratios median over median with the
lowest and highest of the same ratio round by round in brackets.

Over a full folder, every way is set against today's way unflushed, run +
sync (over-rename): a way that flushes before its renames meets the goal when
its run alone takes at most GOAL times that.
"""

import argparse
import json
import os
import re
import statistics

from report import table, write_section

FILE_SYSTEMS = ["ext4", "xfs", "btrfs"]
GOAL = 1.15


def load(folder, name):
    path = os.path.join(folder, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as export:
        return {result["command"]: result for result in json.load(export)["results"]}


def phases(folder, name, results):
    """Median seconds each way spent in its flushes and in the renames after
    them, from the lines the runs printed (the warm-up's left out)."""
    path = os.path.join(folder, name + ".log")
    if not os.path.exists(path):
        return {}
    seen = {}
    pattern = re.compile(r"^(\S+) (\d+): .*; ([\d.]+) s in the flushes, ([\d.]+) s in")
    with open(path) as lines:
        for line in lines:
            match = pattern.match(line)
            if not match:
                continue
            way = "%s %s" % (match.group(1), match.group(2))
            if way not in results:
                way = match.group(1)
            seen.setdefault(way, []).append((float(match.group(3)), float(match.group(4))))
    return {way: (statistics.median(f for f, _ in runs[1:] or runs),
                  statistics.median(r for _, r in runs[1:] or runs))
            for way, runs in seen.items()}


def ratio(tops, bottoms):
    value = statistics.median(tops) / statistics.median(bottoms)
    per_round = [top / bottom for top, bottom in zip(tops, bottoms)]
    return value, "%.2f [%.2f–%.2f]" % (value, min(per_round), max(per_round))


def seconds(result, key=""):
    return "%.3f (%.3f)" % (result[key + "median"], result[key + "min"])


def fresh_rows(results):
    base = results["fresh-excl"]
    rows = []
    for name, result in results.items():
        rows.append([name, seconds(result), seconds(result, "then_"),
                     ratio(result["times"], base["times"])[1],
                     ratio(result["then_times"], base["then_times"])[1]])
    return rows


def over_rows(results, spent):
    base = results.get("over-rename")
    rows = []
    for name, result in results.items():
        row = [name, seconds(result), seconds(result, "then_")]
        if spent:
            flush, renames = spent.get(name, (None, None))
            row += ["-" if flush is None else "%.2f" % flush,
                    "-" if renames is None else "%.2f" % renames]
        if base is None:
            row += ["-", "-", "-"]
        else:
            value, text = ratio(result["times"], base["then_times"])
            row += [text, ratio(result["then_times"], base["then_times"])[1],
                    "met" if value <= GOAL else "missed"]
        rows.append(row)
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--markdown", required=True)
    parser.add_argument("--title", default="")
    parser.add_argument("--mounts", default="")
    parser.add_argument("--entries", default="100000")
    parser.add_argument("--raw-size", default="1G")
    parser.add_argument("--readme")
    parser.add_argument("--section")
    options = parser.parse_args()

    parts = ["#### Run: %s" % options.title, "",
             "`replace_rounds.sh`: small profile of %s entries, raw of %s. Mount options: %s. "
             "Seconds: median of the rounds (fastest in brackets); \"run + sync\": the run "
             "and a `sync -f` of its file system right after it. Ratios: median over median, "
             "in brackets the lowest and highest of the same ratio round by round."
             % (options.entries, options.raw_size, options.mounts.replace(";", "; ")), ""]
    for fs in FILE_SYSTEMS:
        fresh = load(options.folder, fs + "-small-fresh")
        over = load(options.folder, fs + "-small-over")
        raw = load(options.folder, fs + "-raw-fresh")
        if not (fresh or over or raw):
            continue
        some = next(iter((fresh or over or raw).values()))
        parts += ["##### %s, %d rounds" % (fs, len(some["times"])), ""]
        if fresh:
            parts += ["Small, into an empty folder:", "",
                      table(["way", "run s", "run + sync s", "run ÷ fresh-excl",
                             "run + sync ÷ fresh-excl"], fresh_rows(fresh)), ""]
        if over:
            spent = phases(options.folder, fs + "-small-over", over)
            parts += ["Small, over a full folder (made again before every run):", "",
                      table(["way", "run s", "run + sync s"]
                            + (["in flushes s", "in renames after s"] if spent else [])
                            + ["run ÷ over-rename run + sync",
                               "run + sync ÷ over-rename run + sync",
                               "run ≤ %.2f × over-rename run + sync" % GOAL],
                            over_rows(over, spent)), ""]
        if raw:
            parts += ["Raw, into an empty folder:", "",
                      table(["way", "run s", "run + sync s", "run ÷ fresh-excl",
                             "run + sync ÷ fresh-excl"], fresh_rows(raw)), ""]
    markdown = "\n".join(parts)
    print(markdown)
    with open(options.markdown, "w") as out:
        out.write(markdown + "\n")
    if options.readme and options.section:
        write_section(options.readme, options.section, markdown)


if __name__ == "__main__":
    main()
