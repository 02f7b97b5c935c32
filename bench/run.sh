#!/bin/bash
# The unzrq benchmark: one command, one run, all the figures of bench/README.md.
#
#   sudo bench/run.sh [--quick] [--section NAME]
#
# Tools: unzrq from UNZRQ, else build-bench/, else build/ (any build tree);
# the Windows build from UNZRQ_EXE, else windows/unzrq.exe beside unzrq. Where
# this machine cannot run that 32-bit program (a kernel without 32-bit
# support), a 64-bit build of the same sources runs under wine64 instead:
# UNZRQ_EXE64, else windows64/unzrq.exe beside unzrq, which is built there
# with the x86_64 mingw-w64 compiler when missing. The tables say which ran.
# Needs root: it installs what it lacks (apt-get: time, bsdtar, numpy,
# e2fsprogs, mingw-w64, wine), sets up a loop device and mounts two file systems.
#
# What it does:
#   1. makes a journaled ext4 on a fresh file-backed loop device (the headline
#      table: what users unpack onto) and a tmpfs (memory only);
#   2. prints the ns per pixel of each pixel conversion path
#      (expand_pixels_bench beside unzrq, when built);
#   3. checks, on small archives of every profile, that unzrq, the Windows
#      build and the Python peer write the same files and lines;
#   4. per profile (raw 1 GiB, images 1 GiB, small 100,000 entries, mixed
#      256 MiB): writes the archive on ext4 with make_archive.py; extracts it
#      once with each extractor and compares the full outputs; packs unzrq's
#      output into an uncompressed tar; then on each file system times, round
#      by round (rounds.py), each run into a fresh folder after a sync, warm
#      cache: unzrq; cp of the archive (copy floor); cat of it (read floor);
#      GNU tar and bsdtar extracting the tar (the cost of creating and writing
#      exactly our output); the Python peer; the Windows build on raw and
#      images;
#   5. peak RSS of unzrq on a 1 MiB and a one-image archive against the full
#      ones;
#   6. the Windows build's cost per entry against the number of files in the
#      folder: image archives of 500 and 4,000 entries, on ext4;
#   7. report.py prints the tables and writes them as markdown to RESULTS
#      (default: bench-results.md beside unzrq; the measurements stay in
#      RESULTS without .md, plus .d) and, with --section NAME, into
#      bench/README.md between its "bench:NAME" markers.
#
# --quick: small archives and 3 rounds, a smoke test of the script itself.
set -Eeuo pipefail
trap 'echo "run.sh: stopped by a failure at line $LINENO" >&2' ERR

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
python=/usr/bin/python3

quick=0
section=
while (($#)); do
  case $1 in
    --quick) quick=1 ;;
    --section) section=${2:?--section needs a name}; shift ;;
    -h|--help) sed -n '2,40p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done

[[ $(id -u) -eq 0 ]] || { echo "run.sh: must run as root (loop device, mounts, apt-get)" >&2; exit 2; }

first_existing() {
  for candidate in "$@"; do
    if [[ -x $candidate ]]; then echo "$candidate"; return; fi
  done
}
UNZRQ=${UNZRQ:-$(first_existing "$repo/build-bench/unzrq" "$repo/build/unzrq")}
[[ -n $UNZRQ && -x $UNZRQ ]] || { echo "run.sh: no unzrq built; build it or set UNZRQ" >&2; exit 2; }
UNZRQ=$(realpath "$UNZRQ")
tool_dir=$(dirname "$UNZRQ")
RESULTS=${RESULTS:-$tool_dir/bench-results.md}
# The measurements stay beside the markdown, so that a run cut short keeps them.
results=${RESULTS%.md}.d
PIXEL_BENCH=${PIXEL_BENCH:-$(first_existing "$tool_dir/bench/expand_pixels_bench")}

say() { printf '\n== %s\n' "$*"; }

# What the benchmark runs besides the tools under test.
missing=()
[[ -x /usr/bin/time ]] || missing+=(time)
command -v bsdtar > /dev/null || missing+=(libarchive-tools)
command -v mkfs.ext4 > /dev/null || missing+=(e2fsprogs)
command -v losetup > /dev/null || missing+=(mount)
"$python" -c 'import numpy' 2> /dev/null || missing+=(python3-numpy)
command -v x86_64-w64-mingw32-g++-posix > /dev/null || missing+=(g++-mingw-w64-x86-64-posix)
[[ -x /usr/lib/wine/wine64 ]] || missing+=(wine wine64)
if ((${#missing[@]})); then
  say "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" > /dev/null
fi

if ((quick)); then
  raw_size=32M images_size=32M small_entries=5000 mixed_size=32M rounds=3
  scaling_entries=(100 400) ext4_size=3G tmpfs_size=2g
else
  raw_size=1G images_size=1G small_entries=100000 mixed_size=256M rounds=5
  scaling_entries=(500 4000) ext4_size=12G tmpfs_size=6g
fi

load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d)
loop=
wineserver=
cleanup() {
  cd /
  if [[ -n $wineserver ]]; then "$wineserver" -k 2> /dev/null || true; fi
  for mounted in "$work/ext4" "$work/tmpfs"; do
    if mountpoint -q "$mounted"; then umount "$mounted"; fi
  done
  if [[ -n $loop ]]; then losetup -d "$loop"; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A fresh journaled ext4 on its own loop device: no leftovers from earlier
# runs in its directories or its journal. The backing file is allocated in
# full, so that whatever else fills the disk meanwhile cannot fail its
# writes; direct I/O keeps it out of the page cache, so memory holds one copy
# of what the test writes.
fallocate -l "$ext4_size" "$work/ext4.img"
mkfs.ext4 -q -F "$work/ext4.img"
loop=$(losetup --find --show --direct-io=on "$work/ext4.img")
mkdir "$work/ext4" "$work/tmpfs"
rm -rf "$results" && mkdir -p "$results"
mount "$loop" "$work/ext4"
mount -t tmpfs -o "size=$tmpfs_size" tmpfs "$work/tmpfs"
ext4_options=$(findmnt -n -o OPTIONS "$work/ext4")
echo "ext4 on $loop ($ext4_options); tmpfs"

# The Windows build, and how to run it.
wine=()
exe_note=
if [[ -n ${UNZRQ_EXE:-} || -x $tool_dir/windows/unzrq.exe ]]; then
  exe32=$(realpath "${UNZRQ_EXE:-$tool_dir/windows/unzrq.exe}")
fi
export WINEPREFIX=${WINEPREFIX:-$tool_dir/wineprefix} WINEDEBUG=-all
runs_usage() { timeout 300 "$@" 2>&1 | grep -q Usage; }
if [[ -n ${exe32:-} ]] && runs_usage wine "$exe32"; then
  wine=(wine) exe=$exe32 wineserver=wineserver exe_note="32-bit .exe under wine"
else
  exe=${UNZRQ_EXE64:-$tool_dir/windows64/unzrq.exe}
  if [[ ! -x $exe ]]; then
    say "building the 64-bit Windows build of the same sources in $(dirname "$exe")"
    cmake -S "$repo" -B "$(dirname "$exe")" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DUNZRQ_WINDOWS=OFF -DBUILD_TESTING=OFF > /dev/null
    cmake --build "$(dirname "$exe")" -j2 --target unzrq > /dev/null
  fi
  exe=$(realpath "$exe")
  export WINESERVER=/usr/lib/wine/wineserver64
  wine=(/usr/lib/wine/wine64) wineserver=$WINESERVER
  exe_note="64-bit .exe under wine64 (the 32-bit .exe cannot run on this kernel)"
fi
say "Windows build: $exe, $exe_note; prefix $WINEPREFIX"
runs_usage "${wine[@]}" "$exe" || { echo "run.sh: the Windows build does not run" >&2; exit 2; }
# A persistent server: each timed run then pays for its process, not for
# starting the server. (The one the check above left behind would exit soon.)
"$wineserver" -k 2> /dev/null || true
"$wineserver" -w
"$wineserver" -p
printf -v quoted_wine '%q ' "${wine[@]}" "$exe"

quoted_unzrq=$(printf '%q' "$UNZRQ")
quoted_peer="$python $(printf '%q' "$here/python_extractor.py")"

make_archive() {  # profile file [generator options]
  local profile=$1 file=$2
  shift 2
  "$python" "$here/make_archive.py" "$profile" "$file" "$@" > /dev/null
}

entries_of() {
  "$python" -c 'import sys; sys.path.insert(0, sys.argv[1]); import zrq_format
print(sum(1 for _ in zrq_format.read_directory(open(sys.argv[2], "rb"))))' "$repo/archive" "$1"
}

# Extracts with every extractor into fresh folders beside the archive and
# compares files and lines; leaves unzrq's output in unzrq-PROFILE. Under
# wine, creating a file costs a scan of the folder, so an archive of 100,000
# entries would take the Windows build most of an hour: it skips archives of
# more than 10,000 (the small archive checked first covers their kind).
same_output() {  # profile archive
  local profile=$1 archive=$2 others=(python) names="the Python peer" entries
  entries=$(entries_of "$archive")
  rm -rf unzrq-$profile python-$profile wine-$profile
  "$UNZRQ" "$archive" unzrq-$profile > unzrq-$profile.txt
  "$python" "$here/python_extractor.py" "$archive" python-$profile > python-$profile.txt
  if ((entries <= 10000)); then
    "${wine[@]}" "$exe" "$archive" wine-$profile | tr -d '\r' > wine-$profile.txt
    others+=(wine) names+=" and the Windows build"
  fi
  for other in "${others[@]}"; do
    diff -r -q unzrq-$profile $other-$profile
    cmp unzrq-$profile.txt $other-$profile.txt
  done
  echo "$profile: $entries entries, $(du -sb unzrq-$profile | cut -f1) bytes," \
    "identical from unzrq, $names"
  rm -rf python-$profile wine-$profile python-$profile.txt wine-$profile.txt unzrq-$profile.txt
}

if [[ -n $PIXEL_BENCH ]]; then
  say "pixel conversion, ns per pixel"
  "$PIXEL_BENCH" $( ((quick)) && echo 50 ) | tee "$results/pixels.txt"
fi

say "checking that every extractor writes the same files"
cd "$work/ext4"
make_archive raw raw.zrq --size 16M --seed 11
make_archive images images.zrq --size 24M --seed 12
make_archive small small.zrq --entries 2000 --seed 13
make_archive mixed mixed.zrq --size 24M --seed 14
for profile in raw images small mixed; do same_output $profile $profile.zrq; done
rm -rf ./*

: > "$results/archives.tsv"
for profile in raw images small mixed; do
  say "$profile: writing the archive, checking the full outputs, packing the tar"
  cd "$work/ext4"
  case $profile in
    raw) make_archive raw raw.zrq --size "$raw_size" ;;
    images) make_archive images images.zrq --size "$images_size" ;;
    small) make_archive small small.zrq --entries "$small_entries" ;;
    mixed) make_archive mixed mixed.zrq --size "$mixed_size" ;;
  esac
  printf '%s\t%s\t%s\n' $profile "$(stat -c %s $profile.zrq)" "$(entries_of $profile.zrq)" \
    >> "$results/archives.tsv"
  same_output $profile $profile.zrq
  tar -C unzrq-$profile -cf $profile.tar .
  rm -rf unzrq-$profile
  cp $profile.zrq $profile.tar "$work/tmpfs/"
  sync

  for fs in ext4 tmpfs; do
    say "timing $profile on $fs, $rounds rounds"
    cd "$work/$fs"
    commands=(
      unzrq "exec $quoted_unzrq $profile.zrq out"
      cp "mkdir out && exec cp $profile.zrq out/"
      cat "exec cat $profile.zrq"
      tar "mkdir out && exec tar -xf $profile.tar -C out --no-same-owner -m"
      bsdtar "mkdir out && exec bsdtar -xf $profile.tar -C out -o -m"
      python "exec $quoted_peer $profile.zrq out"
    )
    if [[ $profile == raw || $profile == images ]]; then
      commands+=(wine "exec $quoted_wine $profile.zrq out")
    fi
    "$python" "$here/rounds.py" --rounds $rounds --warmup 1 --prepare 'rm -rf out && sync' \
      --json "$results/$fs-$profile.json" "${commands[@]}"
    rm -rf out
  done
  rm -f "$work/ext4/$profile".* "$work/tmpfs/$profile".*
done

say "peak RSS: a 1 MiB and a one-image archive against the 1 GiB ones"
cd "$work/ext4"
make_archive raw raw-tiny.zrq --size 1100K
make_archive images images-tiny.zrq --size 2200K
for profile in raw-tiny images-tiny; do
  printf '%s\t%s\t%s\n' $profile "$(stat -c %s $profile.zrq)" "$(entries_of $profile.zrq)" \
    >> "$results/archives.tsv"
  "$python" "$here/rounds.py" --rounds 3 --warmup 0 --prepare 'rm -rf out' \
    --json "$results/ext4-$profile.json" unzrq "exec $quoted_unzrq $profile.zrq out"
done
rm -rf ./*

say "Windows build: cost per entry against the files in the folder"
for entries in "${scaling_entries[@]}"; do
  make_archive images scaling.zrq --size 2G --entries "$entries" --seed 21
  printf '%s\t%s\t%s\n' scaling-$entries "$(stat -c %s scaling.zrq)" "$(entries_of scaling.zrq)" \
    >> "$results/archives.tsv"
  "$python" "$here/rounds.py" --rounds 3 --warmup 1 --prepare 'rm -rf out && sync' \
    --json "$results/ext4-scaling-$entries.json" \
    unzrq "exec $quoted_unzrq scaling.zrq out" wine "exec $quoted_wine scaling.zrq out"
  rm -rf out scaling.zrq
done

say "results"
cd /
title="$( ((quick)) && echo 'quick run, ')$(nproc) cores, load average $load_at_start at the start,"
title+=" $(cut -d' ' -f1-3 /proc/loadavg) at the end, $(date -u +%Y-%m-%d)"
report=("$python" "$here/report.py" "$results" --markdown "$RESULTS" --title "$title"
        --unzrq "$UNZRQ" --windows "$exe_note" --ext4 "$ext4_options")
if [[ -n $section ]]; then report+=(--readme "$here/README.md" --section "$section"); fi
"${report[@]}"
