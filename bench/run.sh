#!/bin/bash
# The unzrq benchmark: one command, one run, all the figures of bench/README.md.
#
#   sudo bench/run.sh [--quick] [--section NAME] [--profiles LIST] [--file-systems LIST]
#                     [--rounds N] [--variant NAME=PATH ...] [--floor-only]
#                     [--minimal-pieces KIB,...] [--over | --no-over]
#
# Tools: unzrq from UNZRQ, else build-bench/, else build/ (any build tree);
# the Windows build from UNZRQ_EXE, else windows/unzrq.exe beside unzrq. Where
# this machine cannot run that 32-bit program (a kernel without 32-bit
# support), a 64-bit build of the same sources runs under wine64 instead:
# UNZRQ_EXE64, else windows64/unzrq.exe beside unzrq, which is built there
# with the x86_64 mingw-w64 compiler when missing. The tables say which ran.
# Needs root: it installs what it lacks (apt-get: time, bsdtar, numpy,
# e2fsprogs, xfsprogs, btrfs-progs, mingw-w64, wine), sets up loop devices and
# mounts the file systems.
#
# What it does:
#   1. makes a journaled ext4 (the headline table: what users unpack onto), an
#      xfs and a btrfs, each fresh on its own file-backed loop device, and a
#      tmpfs (memory only);
#   2. prints the ns per pixel of each pixel conversion path
#      (expand_pixels_bench beside unzrq, when built);
#   3. checks, on small archives of every profile, that unzrq, the Windows
#      build and the Python peer write the same files and lines;
#   4. per profile (raw 1 GiB, images 1 GiB, small 100,000 entries, mixed
#      256 MiB): writes the archive on ext4 with make_archive.py; extracts it
#      once with each extractor and compares the full outputs; packs unzrq's
#      output into an uncompressed tar; copies both onto the other file
#      systems; then on each file system times, round by round (rounds.py),
#      each run into a fresh folder after a sync, warm cache: unzrq (and each
#      --variant); cp of the archive (copy floor); cat of it (read floor);
#      GNU tar and bsdtar extracting the tar (the cost of creating and writing
#      exactly our output); the Python peer; the Windows build on raw and
#      images; on raw also the minimal extractor (minimal_extract beside
#      unzrq's bench/), by reads and writes of 64 KiB and by the kernel copy:
#      the floor of what unpacking those files can cost; every run timed
#      alone ("run") and with a `sync -f` of its file system right after it
#      ("run + sync");
#   4b. on ext4 and xfs, fresh and over: unzrq (and each --variant), GNU tar
#      and bsdtar each into an empty folder and again over its own finished
#      output (made again before every such run, then synced), all in the
#      same rounds, run and run + sync;
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
# --profiles raw,images,small,mixed and --file-systems ext4,xfs,btrfs,tmpfs:
#   a part of the run (comma-separated); the memory check runs on the
#   profiles chosen, the Windows build's per-entry check with images.
# --rounds N: timed rounds per table (default 9; --quick 3).
# --variant NAME=PATH: another build of unzrq (say, with another copy
#   strategy), timed and checked beside unzrq; repeatable.
# --floor-only: on each profile time unzrq, the variants and (raw) the
#   minimal extractor alone: no cp, cat, tars, Python peer or Windows build.
# --minimal-pieces 64,256: the minimal extractor's read/write strategy with
#   each of these piece sizes in KiB (default 64), beside its kernel copy.
# --over: only step 4b (and the checks of step 3 for unzrq and the
#   variants): unzrq, the variants, GNU tar and bsdtar fresh and over their
#   own output. --no-over: no step 4b (--floor-only leaves it out too).
set -Eeuo pipefail
trap 'echo "run.sh: stopped by a failure at line $LINENO" >&2' ERR

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
python=/usr/bin/python3

quick=0
section=
profiles=raw,images,small,mixed
file_systems=ext4,xfs,btrfs,tmpfs
rounds=
variants=()
floor_only=0
minimal_pieces=64
# 1: the over rounds beside the rest; 2: them alone (--over); 0: none.
over=1
while (($#)); do
  case $1 in
    --quick) quick=1 ;;
    --section) section=${2:?--section needs a name}; shift ;;
    --profiles) profiles=${2:?--profiles needs a list}; shift ;;
    --file-systems) file_systems=${2:?--file-systems needs a list}; shift ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift ;;
    --variant) variants+=("${2:?--variant needs NAME=PATH}"); shift ;;
    --floor-only) floor_only=1 ;;
    --minimal-pieces) minimal_pieces=${2:?--minimal-pieces needs a list}; shift ;;
    --over) over=2 ;;
    --no-over) over=0 ;;
    -h|--help) sed -n '2,63p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done
IFS=, read -r -a profiles <<< "$profiles"
IFS=, read -r -a file_systems <<< "$file_systems"
IFS=, read -r -a minimal_pieces <<< "$minimal_pieces"
for kib in "${minimal_pieces[@]}"; do
  [[ $kib =~ ^[1-9][0-9]*$ && $kib -le 1024 ]] ||
    { echo "run.sh: --minimal-pieces: $kib is not 1 to 1024 KiB" >&2; exit 2; }
done
for profile in "${profiles[@]}"; do
  [[ $profile =~ ^(raw|images|small|mixed)$ ]] || { echo "run.sh: no profile $profile" >&2; exit 2; }
done
disk_file_systems=()
for fs in "${file_systems[@]}"; do
  case $fs in
    ext4|xfs|btrfs) disk_file_systems+=("$fs") ;;
    tmpfs) ;;
    *) echo "run.sh: no file system $fs (ext4, xfs, btrfs, tmpfs)" >&2; exit 2 ;;
  esac
done
if ((floor_only && over == 2)); then
  echo "run.sh: --over and --floor-only time different things; choose one" >&2; exit 2
fi
((floor_only)) && over=0
over_only=$((over == 2))
# What runs besides unzrq and its variants: the anchors and peers of the
# fresh tables (cp, cat, Python, Windows build) and the minimal extractor.
peers=$((!floor_only && !over_only))
over_file_systems=()
if ((over)); then
  for fs in "${file_systems[@]}"; do
    [[ $fs == ext4 || $fs == xfs ]] && over_file_systems+=("$fs")
  done
fi
chosen() {  # word list...: whether the word is in the list
  local word=$1
  shift
  for item in "$@"; do [[ $item == "$word" ]] && return 0; done
  return 1
}

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
MINIMAL=${MINIMAL:-$(first_existing "$tool_dir/bench/minimal_extract")}
if ((!over_only)) && chosen raw "${profiles[@]}" && [[ -z $MINIMAL ]]; then
  echo "run.sh: no minimal_extract beside unzrq (build the target) or set MINIMAL" >&2; exit 2
fi
variant_names=() variant_commands=()
for variant in "${variants[@]}"; do
  name=${variant%%=*} path=${variant#*=}
  [[ $name != "$variant" && $name =~ ^[A-Za-z0-9_.-]+$ && -x $path ]] ||
    { echo "run.sh: --variant $variant: want NAME=PATH of a built unzrq" >&2; exit 2; }
  variant_names+=("$name") variant_commands+=("$(realpath "$path")")
done

say() { printf '\n== %s\n' "$*"; }

# What the benchmark runs besides the tools under test.
missing=()
[[ -x /usr/bin/time ]] || missing+=(time)
command -v bsdtar > /dev/null || missing+=(libarchive-tools)
command -v mkfs.ext4 > /dev/null || missing+=(e2fsprogs)
command -v mkfs.xfs > /dev/null || missing+=(xfsprogs)
command -v mkfs.btrfs > /dev/null || missing+=(btrfs-progs)
command -v losetup > /dev/null || missing+=(mount)
"$python" -c 'import numpy' 2> /dev/null || missing+=(python3-numpy)
if ((peers)); then
  command -v x86_64-w64-mingw32-g++-posix > /dev/null || missing+=(g++-mingw-w64-x86-64-posix)
  [[ -x /usr/lib/wine/wine64 ]] || missing+=(wine wine64)
fi
if ((${#missing[@]})); then
  say "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" > /dev/null
fi

if ((quick)); then
  raw_size=32M images_size=32M small_entries=5000 mixed_size=32M rounds=${rounds:-3}
  scaling_entries=(100 400) disk_size=3G tmpfs_size=2g
else
  raw_size=1G images_size=1G small_entries=100000 mixed_size=256M rounds=${rounds:-9}
  scaling_entries=(500 4000) disk_size=12G tmpfs_size=6g
fi
# Only the raw archive and its outputs on each file system: a third of the
# room the image profile needs.
if [[ ${profiles[*]} == raw ]]; then disk_size=$( ((quick)) && echo 1G || echo 5G ); fi

load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)
work=$(mktemp -d)
loops=()
wineserver=
cleanup() {
  cd /
  if [[ -n $wineserver ]]; then "$wineserver" -k 2> /dev/null || true; fi
  for fs in "${file_systems[@]}"; do
    if mountpoint -q "$work/$fs"; then umount "$work/$fs"; fi
  done
  for loop in "${loops[@]}"; do losetup -d "$loop"; done
  rm -rf "$work"
}
trap cleanup EXIT

# Each disk file system fresh on its own loop device, with its maker's
# defaults: no leftovers from earlier runs in its directories or its journal
# or log. The backing file is allocated in full, so that whatever else fills
# the disk meanwhile cannot fail its writes; direct I/O keeps it out of the
# page cache, so memory holds one copy of what the test writes.
rm -rf "$results" && mkdir -p "$results"
mounts=()
for fs in "${disk_file_systems[@]}"; do
  fallocate -l "$disk_size" "$work/$fs.img"
  case $fs in
    ext4) mkfs.ext4 -q -F "$work/$fs.img" ;;
    xfs) mkfs.xfs -q -f "$work/$fs.img" ;;
    btrfs) mkfs.btrfs -q -f "$work/$fs.img" > /dev/null ;;
  esac
  loop=$(losetup --find --show --direct-io=on "$work/$fs.img")
  loops+=("$loop")
  mkdir "$work/$fs"
  mount "$loop" "$work/$fs"
  mounts+=("$fs: $(findmnt -n -o OPTIONS "$work/$fs")")
  echo "$fs on $loop (${mounts[-1]#*: })"
done
if chosen tmpfs "${file_systems[@]}"; then
  mkdir "$work/tmpfs"
  mount -t tmpfs -o "size=$tmpfs_size" tmpfs "$work/tmpfs"
  echo "tmpfs"
fi
# Archives are written on the first file system and copied to the others.
home=$work/${file_systems[0]}

# The Windows build, and how to run it.
wine=()
exe_note=
if ((!peers)); then
  exe_note="not run ($( ((floor_only)) && echo --floor-only || echo --over))"
else
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
fi

quoted_unzrq=$(printf '%q' "$UNZRQ")
quoted_minimal=$(printf '%q' "$MINIMAL")
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
  local profile=$1 archive=$2 names=() entries i
  entries=$(entries_of "$archive")
  rm -rf unzrq-$profile other
  "$UNZRQ" "$archive" unzrq-$profile > unzrq-$profile.txt
  # One other output at a time, so that the file system needs room for two.
  same_as_unzrq() {  # command...: its files and lines against unzrq's
    "$@" > other.txt
    diff -r -q unzrq-$profile other
    cmp unzrq-$profile.txt other.txt
    rm -rf other other.txt
  }
  for i in "${!variant_names[@]}"; do
    same_as_unzrq "${variant_commands[i]}" "$archive" other
    names+=("${variant_names[i]}")
  done
  if ((peers)); then
    same_as_unzrq "$python" "$here/python_extractor.py" "$archive" other
    names+=("the Python peer")
    if ((entries <= 10000)); then
      "${wine[@]}" "$exe" "$archive" other | tr -d '\r' > wine.txt
      diff -r -q unzrq-$profile other
      cmp unzrq-$profile.txt wine.txt
      rm -rf other wine.txt
      names+=("the Windows build")
    fi
  fi
  # The minimal extractor prints nothing: its files alone are compared.
  if [[ $profile == raw ]] && ((!over_only)); then
    for strategy in rw kcopy; do
      "$MINIMAL" $strategy "$archive" other
      diff -r -q unzrq-$profile other
      rm -rf other
    done
    names+=("the minimal extractor")
  fi
  local IFS=,
  echo "$profile: $entries entries, $(du -sb unzrq-$profile | cut -f1) bytes," \
    "identical from unzrq and ${names[*]:-nothing else}"
  rm -f unzrq-$profile.txt
}

if [[ -n $PIXEL_BENCH ]] && ((!over_only)); then
  say "pixel conversion, ns per pixel"
  "$PIXEL_BENCH" $( ((quick)) && echo 50 ) | tee "$results/pixels.txt"
fi

say "checking that every extractor writes the same files"
cd "$home"
for profile in "${profiles[@]}"; do
  case $profile in
    raw) make_archive raw raw.zrq --size 16M --seed 11 ;;
    images) make_archive images images.zrq --size 24M --seed 12 ;;
    small) make_archive small small.zrq --entries 2000 --seed 13 ;;
    mixed) make_archive mixed mixed.zrq --size 24M --seed 14 ;;
  esac
  same_output $profile $profile.zrq
done
rm -rf ./*

: > "$results/archives.tsv"
for profile in "${profiles[@]}"; do
  say "$profile: writing the archive, checking the full outputs, packing the tar"
  cd "$home"
  case $profile in
    raw) make_archive raw raw.zrq --size "$raw_size" ;;
    images) make_archive images images.zrq --size "$images_size" ;;
    small) make_archive small small.zrq --entries "$small_entries" ;;
    mixed) make_archive mixed mixed.zrq --size "$mixed_size" ;;
  esac
  printf '%s\t%s\t%s\n' $profile "$(stat -c %s $profile.zrq)" "$(entries_of $profile.zrq)" \
    >> "$results/archives.tsv"
  same_output $profile $profile.zrq
  if ((!floor_only)); then tar -C unzrq-$profile -cf $profile.tar .; fi
  rm -rf unzrq-$profile
  for fs in "${file_systems[@]:1}"; do cp $profile.* "$work/$fs/"; done
  sync

  for fs in "${file_systems[@]}"; do
    ((over_only)) && continue
    say "timing $profile on $fs, $rounds rounds"
    cd "$work/$fs"
    commands=(unzrq "exec $quoted_unzrq $profile.zrq out")
    for i in "${!variant_names[@]}"; do
      commands+=("${variant_names[i]}" "exec $(printf '%q' "${variant_commands[i]}") $profile.zrq out")
    done
    if [[ $profile == raw ]]; then
      # 64 KiB pieces keep the plain name: the floor row of every earlier run.
      for kib in "${minimal_pieces[@]}"; do
        commands+=("minimal-rw$( ((kib == 64)) || echo "$kib")"
                   "exec $quoted_minimal rw $profile.zrq out $kib")
      done
      commands+=(minimal-kcopy "exec $quoted_minimal kcopy $profile.zrq out")
    fi
    if ((peers)); then
      commands+=(
        cp "mkdir out && exec cp $profile.zrq out/"
        cat "exec cat $profile.zrq"
        tar "mkdir out && exec tar -xf $profile.tar -C out --no-same-owner -m"
        bsdtar "mkdir out && exec bsdtar -xf $profile.tar -C out -o -m"
        python "exec $quoted_peer $profile.zrq out"
      )
      if [[ $profile == raw || $profile == images ]]; then
        commands+=(wine "exec $quoted_wine $profile.zrq out")
      fi
    fi
    "$python" "$here/rounds.py" --rounds $rounds --warmup 1 --prepare 'rm -rf out && sync' \
      --then 'sync -f .' --json "$results/$fs-$profile.json" "${commands[@]}"
    rm -rf out
  done
  # Fresh and over, in the same rounds: each extractor into an empty folder,
  # and again over its own output, which is made again before every such run
  # so that each over run meets the same files.
  for fs in "${over_file_systems[@]}"; do
    say "timing $profile on $fs, fresh and over its own output, $rounds rounds"
    cd "$work/$fs"
    contenders=(unzrq "$quoted_unzrq $profile.zrq out")
    for i in "${!variant_names[@]}"; do
      contenders+=("${variant_names[i]}" "$(printf '%q' "${variant_commands[i]}") $profile.zrq out")
    done
    contenders+=(tar "tar -xf $profile.tar -C out --no-same-owner -m"
                 bsdtar "bsdtar -xf $profile.tar -C out -o -m")
    commands=() prepares=()
    for ((i = 0; i < ${#contenders[@]}; i += 2)); do
      name=${contenders[i]} command=${contenders[i + 1]}
      case $name in tar|bsdtar) make_out="mkdir out && " ;; *) make_out= ;; esac
      commands+=("$name" "${make_out}exec $command" "$name over" "exec $command")
      prepares+=(--prepare-for "$name over=rm -rf out && $make_out$command > /dev/null && sync")
    done
    "$python" "$here/rounds.py" --rounds $rounds --warmup 1 --prepare 'rm -rf out && sync' \
      "${prepares[@]}" --then 'sync -f .' --json "$results/$fs-$profile-over.json" "${commands[@]}"
    rm -rf out
  done
  for fs in "${file_systems[@]}"; do rm -f "$work/$fs/$profile".*; done
done

cd "$home"
tiny=()
((over_only)) || say "peak RSS: a 1 MiB and a one-image archive against the 1 GiB ones"
if ((!over_only)) && chosen raw "${profiles[@]}"; then
  make_archive raw raw-tiny.zrq --size 1100K
  tiny+=(raw-tiny)
fi
if ((!over_only)) && chosen images "${profiles[@]}"; then
  make_archive images images-tiny.zrq --size 2200K
  tiny+=(images-tiny)
fi
for profile in "${tiny[@]}"; do
  printf '%s\t%s\t%s\n' $profile "$(stat -c %s $profile.zrq)" "$(entries_of $profile.zrq)" \
    >> "$results/archives.tsv"
  "$python" "$here/rounds.py" --rounds 3 --warmup 0 --prepare 'rm -rf out' \
    --json "$results/${file_systems[0]}-$profile.json" unzrq "exec $quoted_unzrq $profile.zrq out"
done
rm -rf ./*

if ((!peers)) || ! chosen images "${profiles[@]}" || [[ ${file_systems[0]} != ext4 ]]; then
  scaling_entries=()
else
  say "Windows build: cost per entry against the files in the folder"
fi
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
mount_note=$(IFS=';'; echo "${mounts[*]:-none}")
variant_note=
for i in "${!variant_names[@]}"; do variant_note+="${variant_note:+; }${variant_names[i]}: \`$(basename "${variant_commands[i]}")\`"; done
report=("$python" "$here/report.py" "$results" --markdown "$RESULTS" --title "$title"
        --unzrq "$UNZRQ" --windows "$exe_note" --mounts "${mount_note//;/; }" --variants "$variant_note")
if [[ -n $section ]]; then report+=(--readme "$here/README.md" --section "$section"); fi
"${report[@]}"
