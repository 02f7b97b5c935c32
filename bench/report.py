#!/usr/bin/python3
"""Turns the benchmark's measurements into the results table and the verdicts.

Reads, from the folder given as the only argument (written by run.sh):
  PROFILE.json  hyperfine's export for the profile
  archives.tsv  profile, archive bytes, entries
  rss.tsv       profile, command, peak RSS in KiB (one run each)
Prints a plain-text table and the target checks, and writes the same as
markdown to the file named by --markdown.
"""

import argparse
import json
import os

PROFILES = ["raw", "images", "small", "mixed"]
MIB = 1024 * 1024

# (profile, what is compared, limit, how to read the ratio)
TARGETS = [
    ("raw", "unzrq / cp", 1.25),
    ("images", "unzrq / cp", 3.0),
    ("small", "unzrq / python", 0.7),
    ("raw", "wine / unzrq", 2.0),
    ("images", "wine / unzrq", 2.0),
]
RSS_LIMIT_KIB = 4 * 1024


def read_tsv(path):
    if not os.path.exists(path):
        return []
    with open(path) as lines:
        return [line.rstrip("\n").split("\t") for line in lines if line.strip()]


def human_size(size):
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale:
            return "%.1f %s" % (size / scale, unit)
    return "%d B" % size


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--markdown", required=True)
    parser.add_argument("--title", default="unzrq benchmark")
    options = parser.parse_args()
    folder = options.folder

    archives = {row[0]: (int(row[1]), int(row[2])) for row in read_tsv(os.path.join(folder, "archives.tsv"))}
    rss = {(row[0], row[1]): int(row[2]) for row in read_tsv(os.path.join(folder, "rss.tsv"))}

    medians = {}
    minimums = {}
    rows = []
    for profile in PROFILES:
        path = os.path.join(folder, profile + ".json")
        if not os.path.exists(path):
            continue
        with open(path) as export:
            results = json.load(export)["results"]
        for result in results:
            medians[(profile, result["command"])] = result["median"]
            minimums[(profile, result["command"])] = result["min"]
        archive_bytes, entries = archives[profile]
        cp = medians.get((profile, "cp"))
        python = medians.get((profile, "python"))
        for result in results:
            command = result["command"]
            median = result["median"]
            kib = rss.get((profile, command))
            rows.append([
                "%s (%s, %d entries)" % (profile, human_size(archive_bytes), entries),
                command,
                "%.3f" % median,
                "%.3f" % result["min"],
                "%.3f" % (result["user"] + result["system"]),
                "%.0f" % (archive_bytes / median / 1e6),
                "%.1f" % (kib / 1024) if kib is not None else "-",
                "%.2f" % (median / cp) if cp else "-",
                "%.2f" % (median / python) if python else "-",
            ])

    # CPU is the mean user + system time of the command's own processes: on a
    # shared machine it moves less than the wall clock (but it misses the
    # time wine spends in its server, which is no child of the command).
    header = ["profile", "command", "median s", "min s", "CPU s", "MB/s of archive", "peak RSS MiB",
              "x cp", "x python"]
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]

    def text_line(row):
        return "  ".join(str(cell).ljust(width) for cell, width in zip(row, widths))

    print(text_line(header))
    print(text_line(["-" * width for width in widths]))
    for row in rows:
        print(text_line(row))

    verdicts = []
    for profile, comparison, limit in TARGETS:
        numerator, denominator = [part.strip() for part in comparison.split("/")]
        top = medians.get((profile, numerator))
        bottom = medians.get((profile, denominator))
        if top is None or bottom is None:
            verdicts.append((profile, comparison, "<= %.2f" % limit, "not measured", "-"))
            continue
        ratio = top / bottom
        # The fastest runs are the least disturbed by other work on the machine.
        best_ratio = minimums[(profile, numerator)] / minimums[(profile, denominator)]
        verdicts.append((profile, comparison, "<= %.2f" % limit,
                         "%.2f (min/min %.2f)" % (ratio, best_ratio),
                         "met" if ratio <= limit else "MISSED"))
    worst_rss = max((kib for (profile, command), kib in rss.items() if command == "unzrq"),
                    default=None)
    if worst_rss is not None:
        verdicts.append(("all", "unzrq peak RSS", "<= 4.0 MiB", "%.2f MiB" % (worst_rss / 1024),
                         "met" if worst_rss <= RSS_LIMIT_KIB else "MISSED"))
    for profile in ("raw", "images"):
        tiny = rss.get((profile + "-tiny", "unzrq"))
        full = rss.get((profile, "unzrq"))
        if tiny is None or full is None:
            continue
        tiny_bytes = archives.get(profile + "-tiny", (0, 0))[0]
        # Page granularity and the C library's own start-up make a few
        # hundred KiB of noise; growth with the archive would be megabytes.
        same = abs(full - tiny) <= 256
        verdicts.append((profile, "RSS %s vs %s archive" % (human_size(tiny_bytes),
                                                             human_size(archives[profile][0])),
                         "same", "%.2f vs %.2f MiB" % (tiny / 1024, full / 1024),
                         "met" if same else "MISSED"))

    print()
    for verdict in verdicts:
        print("%-7s %-34s %-11s %-24s %s" % verdict)

    with open(options.markdown, "w") as markdown:
        markdown.write("### %s\n\n" % options.title)
        markdown.write("| " + " | ".join(header) + " |\n")
        markdown.write("|" + "|".join("---" if i < 2 else "---:" for i in range(len(header))) + "|\n")
        for row in rows:
            markdown.write("| " + " | ".join(row) + " |\n")
        markdown.write("\n| profile | target | limit | measured (medians) | verdict |\n|---|---|---|---|---|\n")
        for verdict in verdicts:
            markdown.write("| " + " | ".join(verdict) + " |\n")
    print("\nmarkdown table: %s" % options.markdown)


if __name__ == "__main__":
    main()
