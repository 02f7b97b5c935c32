#!/bin/bash
# Ways of creating and replacing output files (replace_strategies), timed
# against each other in rounds on fresh file systems: "run" and "run + sync"
# (a `sync -f` of that file system right after the run, timed with it).
#
#   sudo bench/replace_rounds.sh [--file-systems ext4,xfs] [--rounds 5]
#        [--entries 100000] [--raw-size 1G] [--no-raw] [--over LIST] [--section NAME]
#
# Per file system (each made fresh on its own loop device, as run.sh does):
#   1. small, fresh: fresh-excl and fresh-tmpfile into an empty folder;
#   2. small, over: each way of --over (default below) over a full folder,
#      which is made again before every run (fresh-excl, then a sync) and so
#      holds the same files every time;
#   3. raw (1 GiB of 1 MiB entries), fresh: fresh-excl and fresh-tmpfile.
# --over "over-rename over-batch-sfr:4096 ...": the over ways to time, each
#   STRATEGY or STRATEGY:N (replace_strategies' N, files per batch).
# replace_report.py prints the tables and, with --section NAME, writes them
# into bench/README.md between its "bench:NAME" markers.
set -Eeuo pipefail
trap 'echo "replace_rounds.sh: stopped by a failure at line $LINENO" >&2' ERR

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
python=/usr/bin/python3

file_systems=ext4,xfs
rounds=5
entries=100000
raw_size=1G
raw=1
section=
over="over-unlink-create over-rename over-batch-syncfs:1024 over-batch-sfr:1024
      over-batch-sfr:4096 over-batch-sfr:16384 over-pipe-sfr:4096 over-tmpfile-batch-sfr:4096"
while (($#)); do
  case $1 in
    --file-systems) file_systems=${2:?}; shift ;;
    --rounds) rounds=${2:?}; shift ;;
    --entries) entries=${2:?}; shift ;;
    --raw-size) raw_size=${2:?}; shift ;;
    --no-raw) raw=0 ;;
    --over) over=${2:?}; shift ;;
    --section) section=${2:?}; shift ;;
    -h|--help) sed -n '2,20p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "replace_rounds.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done
IFS=, read -r -a file_systems <<< "$file_systems"
[[ $(id -u) -eq 0 ]] || { echo "replace_rounds.sh: must run as root (loop devices, mounts)" >&2; exit 2; }

first_existing() {
  for candidate in "$@"; do
    if [[ -x $candidate ]]; then echo "$candidate"; return; fi
  done
}
STRATEGIES=${STRATEGIES:-$(first_existing "$repo/build-bench/bench/replace_strategies" \
                                           "$repo/build/bench/replace_strategies")}
[[ -n $STRATEGIES ]] || { echo "replace_rounds.sh: build replace_strategies or set STRATEGIES" >&2; exit 2; }
STRATEGIES=$(realpath "$STRATEGIES")
RESULTS=${RESULTS:-$(dirname "$(dirname "$STRATEGIES")")/replace-results.md}
results=${RESULTS%.md}.d
q=$(printf '%q' "$STRATEGIES")

load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d)
loops=()
cleanup() {
  cd /
  for fs in "${file_systems[@]}"; do
    if mountpoint -q "$work/$fs"; then umount "$work/$fs"; fi
  done
  for loop in "${loops[@]}"; do losetup -d "$loop"; done
  rm -rf "$work"
}
trap cleanup EXIT

rm -rf "$results" && mkdir -p "$results"
mounts=()
for fs in "${file_systems[@]}"; do
  fallocate -l 8G "$work/$fs.img"
  case $fs in
    # Inode tables and journal written out now, not by a kernel thread
    # during the first timed runs.
    ext4) mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$work/$fs.img" ;;
    xfs) mkfs.xfs -q -f "$work/$fs.img" ;;
    btrfs) mkfs.btrfs -q -f "$work/$fs.img" > /dev/null ;;
    *) echo "replace_rounds.sh: no file system $fs (ext4, xfs, btrfs)" >&2; exit 2 ;;
  esac
  loop=$(losetup --find --show --direct-io=on "$work/$fs.img")
  loops+=("$loop")
  mkdir "$work/$fs"
  mount "$loop" "$work/$fs"
  mounts+=("$fs: $(findmnt -n -o OPTIONS "$work/$fs")")
  echo "$fs on $loop (${mounts[-1]#*: })"
done

home=$work/${file_systems[0]}
cd "$home"
"$python" "$here/make_archive.py" small small.zrq --entries "$entries" > /dev/null
if ((raw)); then "$python" "$here/make_archive.py" raw raw.zrq --size "$raw_size" > /dev/null; fi
for fs in "${file_systems[@]:1}"; do cp ./*.zrq "$work/$fs/"; done
sync

over_commands=()
for way in $over; do
  strategy=${way%%:*} batch=
  [[ $way == *:* ]] && batch=${way#*:}
  # What each run says (its seconds in the flushes and renames) goes to a log.
  over_commands+=("$strategy${batch:+ $batch}"
                  "exec $q $strategy small.zrq out $batch >> \"\$RESULTS_LOG\"")
done
rounds_py=("$python" "$here/rounds.py" --rounds "$rounds" --warmup 1 --then 'sync -f .')
for fs in "${file_systems[@]}"; do
  cd "$work/$fs"
  printf '\n== %s: small, fresh\n' "$fs"
  "${rounds_py[@]}" --prepare 'rm -rf out && sync -f .' --json "$results/$fs-small-fresh.json" \
    fresh-excl "exec $q fresh-excl small.zrq out" fresh-tmpfile "exec $q fresh-tmpfile small.zrq out"
  printf '\n== %s: small, over a full folder\n' "$fs"
  RESULTS_LOG=$results/$fs-small-over.log "${rounds_py[@]}" --prepare "rm -rf out && $q fresh-excl small.zrq out > /dev/null && sync -f ." \
    --json "$results/$fs-small-over.json" "${over_commands[@]}"
  if ((raw)); then
    printf '\n== %s: raw, fresh\n' "$fs"
    "${rounds_py[@]}" --prepare 'rm -rf out && sync -f .' --json "$results/$fs-raw-fresh.json" \
      fresh-excl "exec $q fresh-excl raw.zrq out" fresh-tmpfile "exec $q fresh-tmpfile raw.zrq out"
  fi
  rm -rf out
done

cd /
title="$(nproc) cores, load average $load_at_start at the start, $(cut -d' ' -f1-3 /proc/loadavg)"
title+=" at the end, $(date -u +%Y-%m-%d), $(uname -r)"
report=("$python" "$here/replace_report.py" "$results" --markdown "$RESULTS" --title "$title"
        --mounts "$(IFS=';'; echo "${mounts[*]}")" --entries "$entries" --raw-size "$raw_size")
if [[ -n $section ]]; then report+=(--readme "$here/README.md" --section "$section"); fi
"${report[@]}"
