#!/bin/bash
# The unzrq benchmark: one command, one run, all the figures of the README.
#
#   sudo bench/run.sh [--quick]
#
# Builds nothing: it takes the tools from the build tree (build-bench/, else
# build/), or from UNZRQ and UNZRQ_EXE. Needs root (it mounts a tmpfs),
# hyperfine, /usr/bin/time, and /usr/bin/python3 with numpy; wine for the
# Windows build (skipped when absent).
#
# What it does:
#   1. mounts a fresh tmpfs: creating many files right after deleting many is
#      several times slower on a long-lived root file system, which would drown
#      what is measured (and tmpfs keeps every byte in memory: a warm cache);
#   2. writes synthetic archives there with bench/make_archive.py;
#   3. checks, on small archives of every profile, that unzrq, the Windows
#      build and the Python peer write the same files and the same lines;
#   4. times, with hyperfine (warm-up runs, then runs back to back, each into a
#      fresh folder on the same tmpfs): unzrq; cp of the archive (the copy
#      floor); cat of the archive to /dev/null (the read floor); the Python
#      peer; and, on raw and images, the Windows build under wine;
#   5. measures each command's peak RSS once, and unzrq's on a one-entry
#      archive against the full one;
#   6. prints the table and the targets, and writes them as markdown beside
#      the tool (RESULTS overrides the path).
#
# --quick: small archives and fewer runs, a smoke test of the script itself.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
python=/usr/bin/python3

quick=0
for argument in "$@"; do
  case $argument in
    --quick) quick=1 ;;
    -h|--help) sed -n '2,27p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown argument $argument (try --help)" >&2; exit 2 ;;
  esac
done

first_existing() {
  for candidate in "$@"; do
    if [[ -x $candidate ]]; then echo "$candidate"; return; fi
  done
}
UNZRQ=${UNZRQ:-$(first_existing "$repo/build-bench/unzrq" "$repo/build/unzrq")}
[[ -n $UNZRQ && -x $UNZRQ ]] || { echo "run.sh: no unzrq built; build it or set UNZRQ" >&2; exit 2; }
UNZRQ=$(realpath "$UNZRQ")
tool_dir=$(dirname "$UNZRQ")
UNZRQ_EXE=${UNZRQ_EXE:-$(first_existing "$tool_dir/windows/unzrq.exe")}
RESULTS=${RESULTS:-$tool_dir/bench-results.md}

for needed in hyperfine /usr/bin/time "$python"; do
  command -v "$needed" > /dev/null || { echo "run.sh: $needed is missing" >&2; exit 2; }
done
[[ $(id -u) -eq 0 ]] || { echo "run.sh: must run as root to mount a tmpfs" >&2; exit 2; }

use_wine=0
if [[ -n $UNZRQ_EXE ]] && command -v wine > /dev/null; then
  use_wine=1
  UNZRQ_EXE=$(realpath "$UNZRQ_EXE")
  export WINEPREFIX=${WINEPREFIX:-$tool_dir/wineprefix}
  export WINEDEBUG=-all
fi

if (( quick )); then
  raw_size=32M images_size=32M small_entries=5000 mixed_size=32M runs=3 tmpfs_size=2g
else
  raw_size=1G images_size=1G small_entries=100000 mixed_size=256M runs=7 tmpfs_size=10g
fi

# Other work on the machine shows in the spread: note how busy it was.
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d)
wineserver_started=0
cleanup() {
  cd /
  if (( wineserver_started )); then wineserver -k || true; fi
  if mountpoint -q "$work"; then umount "$work"; fi
  rmdir "$work"
}
trap cleanup EXIT
mount -t tmpfs -o "size=$tmpfs_size" tmpfs "$work"
cd "$work"
mkdir check results

say() { printf '\n== %s\n' "$*"; }

make_archive() {  # profile file [generator options]
  local profile=$1 file=$2
  shift 2
  "$python" "$here/make_archive.py" "$profile" "$file" "$@"
}

entries_of() { "$python" -c 'import struct,sys
f=open(sys.argv[1],"rb"); f.seek(struct.unpack("<4xI",f.read(8))[0]); print(struct.unpack("<I",f.read(4))[0])' "$1"; }

if (( use_wine )); then
  say "wine prefix $WINEPREFIX"
  [[ -d $WINEPREFIX ]] || wineboot -i > /dev/null 2>&1
  # A persistent server: each timed run then pays for its process, not for
  # starting the server.
  # (One already running for this prefix is used as it is, and left running.)
  if wineserver -p 2> /dev/null; then wineserver_started=1; fi
fi

say "checking that every extractor writes the same files"
make_archive raw check/raw.zrq --size 16M --seed 11
make_archive images check/images.zrq --size 24M --seed 12
make_archive small check/small.zrq --entries 2000 --seed 13
make_archive mixed check/mixed.zrq --size 24M --seed 14
for profile in raw images small mixed; do
  (
    cd check
    "$UNZRQ" "$profile.zrq" unzrq-$profile > unzrq-$profile.txt
    "$python" "$here/python_extractor.py" "$profile.zrq" python-$profile > python-$profile.txt
    diff -r -q unzrq-$profile python-$profile
    cmp unzrq-$profile.txt python-$profile.txt
    if (( use_wine )); then
      wine "$UNZRQ_EXE" "$profile.zrq" wine-$profile | tr -d '\r' > wine-$profile.txt
      diff -r -q unzrq-$profile wine-$profile
      cmp unzrq-$profile.txt wine-$profile.txt
    fi
    echo "$profile: $(ls unzrq-$profile | wc -l) files identical"
  )
done
rm -rf check

say "writing the archives"
make_archive raw raw.zrq --size "$raw_size"
make_archive images images.zrq --size "$images_size"
make_archive small small.zrq --entries "$small_entries"
make_archive mixed mixed.zrq --size "$mixed_size"
# One entry each, for the memory check against the full archives.
make_archive raw raw-tiny.zrq --size 2M
make_archive images images-tiny.zrq --size 3M
for profile in raw images small mixed raw-tiny images-tiny; do
  printf '%s\t%s\t%s\n' "$profile" "$(stat -c %s "$profile.zrq")" "$(entries_of "$profile.zrq")"
done > results/archives.tsv
cat *.zrq > /dev/null  # already in memory on tmpfs; read once anyway
# In a virtual machine the first touch of fresh memory can cost the host a
# fault per page: whichever command ran first would pay for it. Touch as much
# as the largest output once, before anything is timed.
dd if=/dev/zero of=fill bs=1M count=2048 status=none && rm fill

quoted_unzrq=$(printf '%q' "$UNZRQ")
quoted_peer="$python $(printf '%q' "$here/python_extractor.py")"
quoted_exe=$(printf '%q' "$UNZRQ_EXE")

for profile in raw images small mixed; do
  say "timing $profile ($(stat -c %s $profile.zrq) bytes)"
  commands=(
    -n unzrq "$quoted_unzrq $profile.zrq out"
    -n cp "mkdir out && cp $profile.zrq out/"
    -n cat "cat $profile.zrq > /dev/null"
    -n python "$quoted_peer $profile.zrq out"
  )
  if (( use_wine )) && [[ $profile == raw || $profile == images ]]; then
    commands+=(-n wine "wine $quoted_exe $profile.zrq out")
  fi
  hyperfine --style basic --warmup 2 --runs "$runs" --prepare 'rm -rf out' \
    --export-json "results/$profile.json" "${commands[@]}"
  rm -rf out
done

say "peak RSS, one run each"
peak_rss() {  # profile command-name program arguments...
  local profile=$1 name=$2
  shift 2
  rm -rf out
  /usr/bin/time -f %M -o results/rss.one "$@" > /dev/null
  printf '%s\t%s\t%s\n' "$profile" "$name" "$(tail -n 1 results/rss.one)" >> results/rss.tsv
}
: > results/rss.tsv
for profile in raw images small mixed; do
  peak_rss $profile unzrq "$UNZRQ" $profile.zrq out
  peak_rss $profile cp sh -c "mkdir out && exec cp $profile.zrq out/"
  peak_rss $profile cat cat $profile.zrq
  peak_rss $profile python "$python" "$here/python_extractor.py" $profile.zrq out
  if (( use_wine )) && [[ $profile == raw || $profile == images ]]; then
    peak_rss $profile wine wine "$UNZRQ_EXE" $profile.zrq out
  fi
done
peak_rss raw-tiny unzrq "$UNZRQ" raw-tiny.zrq out
peak_rss images-tiny unzrq "$UNZRQ" images-tiny.zrq out
rm -rf out

say "results"
title="unzrq benchmark ($( ((quick)) && echo 'quick, ')tmpfs, $(nproc) cores, load average $load_at_start at the start, $(date -u +%Y-%m-%d))"
"$python" "$here/report.py" results --markdown "$RESULTS" --title "$title"
