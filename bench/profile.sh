#!/bin/bash
# Where unzrq's time goes: system calls per entry, transfer sizes, and the
# instructions of the conversion.
#
#   sudo bench/profile.sh
#
# The tool: UNZRQ, else build-bench/ (which run.sh makes), else build/. On a
# fresh tmpfs it writes a small archive (100,000 entries), an images archive
# (256 MiB) and a short images archive (24 MiB), then reports:
#   - strace -c -f on small: system calls per entry;
#   - strace -f on images: count and average size of reads and writes;
#   - callgrind on the short images archive: the top functions;
#   - perf stat and perf record (cpu-clock) on images, where perf works.
# Output goes to standard output; raw profiles stay in PROFILE_OUT if set.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
python=/usr/bin/python3
for candidate in "${UNZRQ:-}" "$repo/build-bench/unzrq" "$repo/build/unzrq"; do
  if [[ -n $candidate && -x $candidate ]]; then UNZRQ=$(realpath "$candidate"); break; fi
done
[[ -n ${UNZRQ:-} ]] || { echo "profile.sh: no unzrq built" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "profile.sh: must run as root to mount a tmpfs" >&2; exit 2; }

work=$(mktemp -d)
cleanup() { cd /; if mountpoint -q "$work"; then umount "$work"; fi; rmdir "$work"; }
trap cleanup EXIT
mount -t tmpfs -o size=3g tmpfs "$work"
cd "$work"

"$python" "$here/make_archive.py" small small.zrq --entries 100000
"$python" "$here/make_archive.py" images images.zrq --size 256M
"$python" "$here/make_archive.py" images images-short.zrq --size 24M

# Per-call counts and summed sizes of one strace log's transfers, by file
# descriptor class (1 = standard output).
summarise_transfers() {
  "$python" - "$1" "$2" <<'EOF'
import collections, re, sys
log, entries = sys.argv[1], int(sys.argv[2])
calls = collections.Counter()
sizes = collections.Counter()
for line in open(log):
    m = re.match(r"\d+\s+(\w+)\((?:(\d+),)?.*\)\s+=\s+(-?\d+)", line)
    if not m:
        continue
    name = m.group(1)
    if name in ("read", "write", "pread64", "pwrite64") and m.group(2) == "1":
        name += " (stdout)"
    calls[name] += 1
    if name in ("read", "write", "pread64", "pwrite64") and int(m.group(3)) > 0:
        sizes[name] += int(m.group(3))
print("%-22s %10s %12s %14s" % ("system call", "calls", "per entry", "average bytes"))
for name, count in calls.most_common():
    average = "%d" % (sizes[name] / count) if sizes[name] else ""
    print("%-22s %10d %12.3f %14s" % (name, count, count / entries, average))
EOF
}

echo; echo "== strace -c -f, small profile (100000 entries)"
rm -rf out
strace -c -f -o strace-small.txt "$UNZRQ" small.zrq out > /dev/null
cat strace-small.txt
rm -rf out
strace -f -o trace-small.txt "$UNZRQ" small.zrq out > /dev/null
summarise_transfers trace-small.txt 100000

images_entries=$("$python" -c 'import sys; sys.path.insert(0, sys.argv[1]); import zrq_format
print(sum(1 for _ in zrq_format.read_directory(open(sys.argv[2], "rb"))))' "$repo/archive" images.zrq)
echo; echo "== strace -f, images profile (256 MiB, $images_entries entries)"
rm -rf out
strace -f -o trace-images.txt "$UNZRQ" images.zrq out > /dev/null
summarise_transfers trace-images.txt "$images_entries"

echo; echo "== callgrind, images (24 MiB)"
rm -rf out
valgrind --tool=callgrind --callgrind-out-file=callgrind.out "$UNZRQ" images-short.zrq out \
  > /dev/null 2> callgrind.log
grep -E "Collected|refs" callgrind.log || true
callgrind_annotate callgrind.out 2> /dev/null | sed -n '/file:function/,/^-- Auto/p' | head -12 || true

if perf stat -e task-clock true > /dev/null 2>&1; then
  echo; echo "== perf stat, images (256 MiB), and cp of the same archive"
  perf stat -r 3 --pre 'rm -rf out' -e task-clock,page-faults,context-switches \
    "$UNZRQ" images.zrq out 2>&1 > /dev/null | sed -n '/Performance/,$p'
  perf stat -r 3 --pre 'rm -f copy.zrq' -e task-clock cp images.zrq copy.zrq 2>&1 \
    | sed -n '/Performance/,$p'
  echo "== perf record (cpu-clock), images: top symbols, [k] kernel, [.] user"
  rm -rf out
  perf record -q -e cpu-clock -F 4000 -o perf.data "$UNZRQ" images.zrq out > /dev/null 2>&1
  perf report -i perf.data --no-children --sort sym --stdio 2> /dev/null \
    | grep -E '^ +[0-9]' | head -15 || true
fi

if [[ -n ${PROFILE_OUT:-} ]]; then
  mkdir -p "$PROFILE_OUT"
  cp strace-small.txt callgrind.out "$PROFILE_OUT"/
  [[ -f perf.data ]] && cp perf.data "$PROFILE_OUT"/
fi
