#!/bin/bash
# The unzrq benchmark: one command, one run, every figure of bench/README.md.
#
#   sudo bench/run.sh [--quick] [--section NAME] [--profiles LIST] [--file-systems LIST]
#                     [--situations LIST] [--no-sync] [--rounds N]
#                     [--contenders LIST] [--variant NAME=PATH ...] [--release REV ...]
#                     [--minimal-pieces KIB,...] [--writer-size SIZE]
#
# Tools: unzrq from UNZRQ, else build-bench/unzrq; the benchmark's own
# programs (minimal_extract, expand_pixels_bench) from MINIMAL and
# PIXEL_BENCH, else build-bench/bench/. build-bench/ is configured here when
# missing (Release, UNZRQ_BENCH=ON) and brought up to date on every run. The
# Windows build (contender wine) from UNZRQ_EXE, else windows/unzrq.exe beside
# unzrq; where this machine cannot run that 32-bit program, a 64-bit build of
# the same sources runs under wine64 instead: UNZRQ_EXE64, else
# windows64/unzrq.exe beside unzrq, built there when missing. The tables say
# which ran. Needs root: it installs what it lacks (apt-get), sets up loop
# devices and mounts the file systems.
#
# What it does:
#   1. makes a journaled ext4 (the headline: what users unpack onto), an xfs
#      and a btrfs, each fresh on its own file-backed loop device, and a tmpfs
#      (memory only);
#   2. prints the ns per pixel of each pixel conversion path;
#   3. checks, on small archives of every profile, that every contender
#      writes the same files (and unzrq's builds the same lines);
#   4. per profile (raw: 1 GiB of 1 MiB entries; images: 1 GiB of images and
#      sprites; small: 100,000 entries of 1-4 KiB; mixed: 256 MiB of
#      everything): writes the archive, extracts it once with each contender
#      and compares the full outputs, packs unzrq's output into an
#      uncompressed tar (what GNU tar and bsdtar extract: the cost of creating
#      and writing exactly our files), copies both onto the other file
#      systems; then on each file system times every contender in every
#      situation chosen, all in the same rounds (rounds.py: one run of each
#      command per round, the order moving on by one each round):
#        fresh   into an empty folder;
#        over    into a folder holding the command's own finished output,
#                made again (and synced) before every such run;
#        beside  over, as above, while another program writes --writer-size
#                (4 GiB) into the same file system (not on tmpfs);
#      each run timed alone ("run") and, unless --no-sync, with a `sync -f`
#      of its file system right after it ("run + sync");
#   5. peak RSS of unzrq on a 1 MiB and a one-image archive against the
#      full ones (with fresh);
#   6. with the contender wine: the Windows build's cost per entry against
#      the number of files in the folder, image archives of 500 and 4,000
#      entries, on ext4;
#   7. report.py prints the tables and writes them as markdown to RESULTS
#      (default: build-bench/bench-results.md; the measurements stay in
#      RESULTS without .md, plus .d) and, with --section NAME, into
#      bench/README.md between its "bench:NAME" markers.
#
# Contenders, besides unzrq and each --variant and --release (always timed):
#   minimal  the floor: minimal_extract (plain entries only, so raw and
#            small), by reads and writes and by the kernel copy; fresh only,
#            as it never replaces a file
#   tar      GNU tar -x --no-same-owner -m; bsdtar: bsdtar -x -o -m
#   cp, cat  cp of the archive (copy floor), cat of it (read floor); fresh
#   python   python_extractor.py, numpy; fresh
#   wine     the Windows build, on raw and images; fresh
# --contenders minimal,tar,bsdtar (the default) or all.
#
# --quick: small archives, a 256 MiB writer and 3 rounds: a smoke test.
# --profiles raw,images,small,mixed, --file-systems ext4,xfs,btrfs,tmpfs,
#   --situations fresh,over,beside: a part of the run (comma-separated).
# --no-sync: no "run + sync" timings (each round is quicker).
# --rounds N: timed rounds (default 9; --quick 3), after one warm-up round.
# --variant NAME=PATH: another build of unzrq, timed and checked beside it;
#   repeatable.
# --release REV: the unzrq of git revision REV (a tag, a branch, a commit),
#   built here in build-bench/release-REV/ and timed as the variant REV;
#   repeatable.
# --minimal-pieces 64,256: the minimal extractor's read/write way with each
#   of these piece sizes in KiB (default 64), beside its kernel copy.
# --writer-size SIZE: what the writer beside writes (default 4G; --quick 256M).
set -Eeuo pipefail
trap 'echo "run.sh: stopped by a failure at line $LINENO" >&2' ERR

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
python=/usr/bin/python3

quick=0
section=
profiles=raw,images,small,mixed
file_systems=ext4,xfs,btrfs,tmpfs
situations=fresh,over,beside
sync=1
rounds=
contenders=minimal,tar,bsdtar
variants=()
releases=()
release_notes=()
minimal_pieces=64
writer_size=
while (($#)); do
  case $1 in
    --quick) quick=1 ;;
    --section) section=${2:?--section needs a name}; shift ;;
    --profiles) profiles=${2:?--profiles needs a list}; shift ;;
    --file-systems) file_systems=${2:?--file-systems needs a list}; shift ;;
    --situations) situations=${2:?--situations needs a list}; shift ;;
    --no-sync) sync=0 ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift ;;
    --contenders) contenders=${2:?--contenders needs a list}; shift ;;
    --variant) variants+=("${2:?--variant needs NAME=PATH}"); shift ;;
    --release) releases+=("${2:?--release needs a git revision}"); shift ;;
    --minimal-pieces) minimal_pieces=${2:?--minimal-pieces needs a list}; shift ;;
    --writer-size) writer_size=${2:?--writer-size needs a size}; shift ;;
    -h|--help) sed -n '2,/^set -E/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done
[[ $contenders == all ]] && contenders=minimal,tar,bsdtar,cp,cat,python,wine
IFS=, read -r -a profiles <<< "$profiles"
IFS=, read -r -a file_systems <<< "$file_systems"
IFS=, read -r -a situations <<< "$situations"
IFS=, read -r -a contenders <<< "$contenders"
IFS=, read -r -a minimal_pieces <<< "$minimal_pieces"
usage_error() { trap - ERR; echo "run.sh: $*" >&2; exit 2; }
in_list() {  # word list...: whether the word is in the list
  local word=$1
  shift
  for item in "$@"; do [[ $item == "$word" ]] && return 0; done
  return 1
}
for kib in "${minimal_pieces[@]}"; do
  [[ $kib =~ ^[1-9][0-9]*$ && $kib -le 1024 ]] ||
    usage_error "--minimal-pieces: $kib is not 1 to 1024 KiB"
done
for profile in "${profiles[@]}"; do
  in_list "$profile" raw images small mixed || usage_error "no profile $profile"
done
for situation in "${situations[@]}"; do
  in_list "$situation" fresh over beside ||
    usage_error "no situation $situation (fresh, over, beside)"
done
for contender in "${contenders[@]}"; do
  in_list "$contender" minimal tar bsdtar cp cat python wine ||
    usage_error "no contender $contender (minimal, tar, bsdtar, cp, cat, python, wine; or all)"
done
disk_file_systems=()
for fs in "${file_systems[@]}"; do
  case $fs in
    ext4|xfs|btrfs) disk_file_systems+=("$fs") ;;
    tmpfs) ;;
    *) usage_error "no file system $fs (ext4, xfs, btrfs, tmpfs)" ;;
  esac
done
chosen() { in_list "$1" "${contenders[@]}"; }
in_situation() { in_list "$1" "${situations[@]}"; }

[[ $(id -u) -eq 0 ]] || usage_error "must run as root (loop devices, mounts, apt-get)"

say() { printf '\n== %s\n' "$*"; }

# What the benchmark runs besides the tools under test.
missing=()
[[ -x /usr/bin/time ]] || missing+=(time)
command -v cmake > /dev/null || missing+=(cmake)
command -v mkfs.ext4 > /dev/null || missing+=(e2fsprogs)
command -v mkfs.xfs > /dev/null || missing+=(xfsprogs)
command -v mkfs.btrfs > /dev/null || missing+=(btrfs-progs)
command -v losetup > /dev/null || missing+=(mount)
"$python" -c 'import numpy' 2> /dev/null || missing+=(python3-numpy)
if chosen bsdtar; then command -v bsdtar > /dev/null || missing+=(libarchive-tools); fi
if chosen wine; then
  command -v x86_64-w64-mingw32-g++-posix > /dev/null || missing+=(g++-mingw-w64-x86-64-posix)
  [[ -x /usr/lib/wine/wine64 ]] || missing+=(wine wine64)
fi
if ((${#missing[@]})); then
  say "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" > /dev/null
fi

# The benchmark's own build: the tool and the benchmark programs, optimised.
bench_build=$repo/build-bench
if [[ -z ${UNZRQ:-} || -z ${MINIMAL:-} || -z ${PIXEL_BENCH:-} ]]; then
  say "building in $bench_build"
  if [[ ! -f $bench_build/CMakeCache.txt ]]; then
    cmake -S "$repo" -B "$bench_build" -DCMAKE_BUILD_TYPE=Release -DUNZRQ_BENCH=ON > /dev/null
  fi
  cmake --build "$bench_build" -j2 --target unzrq minimal_extract expand_pixels_bench > /dev/null
fi
UNZRQ=$(realpath "${UNZRQ:-$bench_build/unzrq}")
MINIMAL=$(realpath "${MINIMAL:-$bench_build/bench/minimal_extract}")
PIXEL_BENCH=$(realpath "${PIXEL_BENCH:-$bench_build/bench/expand_pixels_bench}")
tool_dir=$(dirname "$UNZRQ")
RESULTS=${RESULTS:-$bench_build/bench-results.md}
# The measurements stay beside the markdown, so that a run cut short keeps them.
results=${RESULTS%.md}.d

# Another release, built from its own sources as a user would build it.
for rev in "${releases[@]}"; do
  name=${rev//[^A-Za-z0-9_.-]/-}
  release_dir=$bench_build/release-$name
  if [[ ! -x $release_dir/build/unzrq ]]; then
    say "building unzrq $rev in $release_dir"
    rm -rf "$release_dir" && mkdir -p "$release_dir/src"
    git -C "$repo" archive --format=tar "$rev" | tar -x -C "$release_dir/src"
    # The tool alone: older revisions built their benchmark programs by default.
    cmake -S "$release_dir/src" -B "$release_dir/build" -DCMAKE_BUILD_TYPE=Release \
      -DUNZRQ_BENCH=OFF -DBUILD_TESTING=OFF > /dev/null
    cmake --build "$release_dir/build" -j2 --target unzrq > /dev/null
  fi
  variants+=("$name=$release_dir/build/unzrq")
  release_notes+=("$name")
done
variant_names=() variant_commands=()
for variant in "${variants[@]}"; do
  name=${variant%%=*} path=${variant#*=}
  [[ $name != "$variant" && $name =~ ^[A-Za-z0-9_.-]+$ && -x $path ]] ||
    usage_error "--variant $variant: want NAME=PATH of a built unzrq"
  variant_names+=("$name") variant_commands+=("$(realpath "$path")")
done

if ((quick)); then
  raw_size=32M images_size=32M small_entries=5000 mixed_size=32M rounds=${rounds:-3}
  scaling_entries=(100 400) disk_mib=3072 tmpfs_size=2g writer_size=${writer_size:-256M}
else
  raw_size=1G images_size=1G small_entries=100000 mixed_size=256M rounds=${rounds:-9}
  scaling_entries=(500 4000) disk_mib=12288 tmpfs_size=6g writer_size=${writer_size:-4G}
fi
# Only the raw archive and its outputs on each file system: a third of the
# room the image profile needs.
if [[ ${profiles[*]} == raw ]]; then disk_mib=$( ((quick)) && echo 1024 || echo 5120 ); fi
writer_bytes=$(numfmt --from=iec "$writer_size")
# The writer beside needs its room as well.
if in_situation beside; then disk_mib=$((disk_mib + (writer_bytes >> 20))); fi

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
  fallocate -l "${disk_mib}M" "$work/$fs.img"
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
if in_list tmpfs "${file_systems[@]}"; then
  mkdir "$work/tmpfs"
  mount -t tmpfs -o "size=$tmpfs_size" tmpfs "$work/tmpfs"
  echo "tmpfs"
fi
# Archives are written on the first file system and copied to the others.
home=$work/${file_systems[0]}

# The Windows build, and how to run it.
wine=()
exe_note="not run"
if chosen wine; then
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

# The minimal extractor handles plain entries alone.
floor_profile() { [[ $1 == raw || $1 == small ]] && chosen minimal; }

# Extracts with every contender into fresh folders beside the archive and
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
  if chosen python; then
    same_as_unzrq "$python" "$here/python_extractor.py" "$archive" other
    names+=("the Python peer")
  fi
  if chosen wine && ((entries <= 10000)); then
    "${wine[@]}" "$exe" "$archive" other | tr -d '\r' > wine.txt
    diff -r -q unzrq-$profile other
    cmp unzrq-$profile.txt wine.txt
    rm -rf other wine.txt
    names+=("the Windows build")
  fi
  # The minimal extractor prints nothing: its files alone are compared.
  if floor_profile $profile; then
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

if in_situation fresh; then
  say "pixel conversion, ns per pixel"
  "$PIXEL_BENCH" $( ((quick)) && echo 50 ) | tee "$results/pixels.txt"
fi

say "checking that every contender writes the same files"
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

then_sync=()
((sync)) && then_sync=(--then 'sync -f .')
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
  if chosen tar || chosen bsdtar; then tar -C unzrq-$profile -cf $profile.tar .; fi
  rm -rf unzrq-$profile
  for fs in "${file_systems[@]:1}"; do cp $profile.* "$work/$fs/"; done
  sync

  # Who replaces: each such contender's command (into out) and whether out
  # must exist first.
  contender_names=(unzrq) contender_commands=("$quoted_unzrq $profile.zrq out")
  for i in "${!variant_names[@]}"; do
    contender_names+=("${variant_names[i]}")
    contender_commands+=("$(printf '%q' "${variant_commands[i]}") $profile.zrq out")
  done
  if chosen tar; then
    contender_names+=(tar) contender_commands+=("tar -xf $profile.tar -C out --no-same-owner -m")
  fi
  if chosen bsdtar; then
    contender_names+=(bsdtar) contender_commands+=("bsdtar -xf $profile.tar -C out -o -m")
  fi

  for fs in "${file_systems[@]}"; do
    say "timing $profile on $fs (${situations[*]}), $rounds rounds"
    cd "$work/$fs"
    commands=() prepares=() writers=()
    for i in "${!contender_names[@]}"; do
      name=${contender_names[i]} command=${contender_commands[i]}
      case $name in tar|bsdtar) make_out="mkdir out && " ;; *) make_out= ;; esac
      # Its own finished output, made again before each run over it.
      own_output="rm -rf out && $make_out$command > /dev/null && sync -f ."
      if in_situation fresh; then commands+=("$name" "${make_out}exec $command"); fi
      if in_situation over; then
        commands+=("$name over" "exec $command")
        prepares+=(--prepare-for "$name over=$own_output")
      fi
      # tmpfs has no disk to write back to: nothing for a writer to crowd.
      if in_situation beside && [[ $fs != tmpfs ]]; then
        commands+=("$name beside" "exec $command")
        prepares+=(--prepare-for "$name beside=$own_output")
        writers+=(--writer-beside "$name beside")
      fi
    done
    if in_situation fresh; then
      if floor_profile $profile; then
        # 64 KiB pieces keep the plain name: the floor row of every earlier run.
        for kib in "${minimal_pieces[@]}"; do
          commands+=("minimal-rw$( ((kib == 64)) || echo "$kib")"
                     "exec $quoted_minimal rw $profile.zrq out $kib")
        done
        commands+=(minimal-kcopy "exec $quoted_minimal kcopy $profile.zrq out")
      fi
      if chosen cp; then commands+=(cp "mkdir out && exec cp $profile.zrq out/"); fi
      if chosen cat; then commands+=(cat "exec cat $profile.zrq"); fi
      if chosen python; then commands+=(python "exec $quoted_peer $profile.zrq out"); fi
      if chosen wine && [[ $profile == raw || $profile == images ]]; then
        commands+=(wine "exec $quoted_wine $profile.zrq out")
      fi
    fi
    "$python" "$here/rounds.py" --rounds $rounds --warmup 1 --prepare 'rm -rf out && sync -f .' \
      "${prepares[@]}" "${writers[@]}" --writer-bytes "$writer_bytes" "${then_sync[@]}" \
      --json "$results/$fs-$profile.json" "${commands[@]}"
    rm -rf out
  done
  for fs in "${file_systems[@]}"; do rm -f "$work/$fs/$profile".*; done
done

cd "$home"
tiny=()
if in_situation fresh; then
  say "peak RSS: a 1 MiB and a one-image archive against the 1 GiB ones"
  if in_list raw "${profiles[@]}"; then
    make_archive raw raw-tiny.zrq --size 1100K
    tiny+=(raw-tiny)
  fi
  if in_list images "${profiles[@]}"; then
    make_archive images images-tiny.zrq --size 2200K
    tiny+=(images-tiny)
  fi
fi
for profile in "${tiny[@]}"; do
  printf '%s\t%s\t%s\n' $profile "$(stat -c %s $profile.zrq)" "$(entries_of $profile.zrq)" \
    >> "$results/archives.tsv"
  "$python" "$here/rounds.py" --rounds 3 --warmup 0 --prepare 'rm -rf out' \
    --json "$results/${file_systems[0]}-$profile.json" unzrq "exec $quoted_unzrq $profile.zrq out"
done
rm -rf ./*

if ! chosen wine || ! in_list images "${profiles[@]}" || [[ ${file_systems[0]} != ext4 ]]; then
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
title+=" $(cut -d' ' -f1-3 /proc/loadavg) at the end, $(date -u +%Y-%m-%d), $(uname -r)"
mount_note=$(IFS=';'; echo "${mounts[*]:-none}")
variant_note=
for i in "${!variant_names[@]}"; do
  # The build's folder and the program, no path of this machine.
  shown=\`${variant_commands[i]#"${variant_commands[i]%/*/*}/"}\`
  in_list "${variant_names[i]}" "${release_notes[@]}" && shown="that revision, built here"
  variant_note+="${variant_note:+; }${variant_names[i]}: $shown"
done
report=("$python" "$here/report.py" "$results" --markdown "$RESULTS" --title "$title"
        --unzrq "$UNZRQ" --windows "$exe_note" --mounts "${mount_note//;/; }" --variants "$variant_note"
        --writer-size "$writer_size")
if [[ -n $section ]]; then report+=(--readme "$here/README.md" --section "$section"); fi
"${report[@]}"
