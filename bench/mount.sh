#!/usr/bin/env bash
# What `zrq mount` costs, against what it replaces (a benchmark, never a test):
#   raw     reading every plain file of the raw profile through the mount,
#           against `cat` of the same bytes from the archive;
#   images  reading every bitmap of the images profile through the mount,
#           against unzrq writing them (into a tmpfs, so that no disk is timed);
#   small   `ls -l` of the 100,000-entry mount;
#   memory  the mount process's peak resident memory under
#           `find -type f -exec cat {} +` over each mount.
# The archives stay in the page cache (each is read once first), and each
# round mounts afresh, so that no read is served from the mount's own cache.
#
# Usage (as root, or with fusermount3): bench/mount.sh BUILD-DIR WORK-DIR [ROUNDS] [SIZE]
# BUILD-DIR holds zrq and unzrq; WORK-DIR receives the archives (SIZE each,
# 1G by default) and the mount points.
set -euo pipefail
build=$(realpath "$1")
work=$(realpath -m "$2")
rounds=${3:-3}
size=${4:-1G}
here=$(dirname "$(realpath "$0")")
zrq=$build/zrq
unzrq=$build/unzrq
mkdir -p "$work"
cd "$work"

for profile in raw images small; do
  [ -f "$profile.zrq" ] || /usr/bin/python3 "$here/make_archive.py" "$profile" "$profile.zrq" --size "$size"
done

seconds() { # command...: the wall time of one run, in seconds
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc
}

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }

mounted_on() { # archive point: mounts, in the background
  mkdir -p "$2"
  "$zrq" mount "$1" "$2"
}

read_mount() { find "$1" -type f -exec cat {} + ; }

plain_bytes() { # the plain entries' payloads, as cat reads them from the archive
  cat "$1"
}

unpack_into_tmpfs() {
  local out=/dev/shm/zrq-mount-bench
  rm -rf "$out"
  "$unzrq" "$1" "$out" >/dev/null
  rm -rf "$out"
}

echo "load: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores"
for profile in raw images small; do cat "$profile.zrq" >/dev/null; done

declare -A through against
for round in $(seq "$rounds"); do
  mounted_on raw.zrq m-raw
  through[raw]+="$(seconds read_mount m-raw) "
  "$zrq" unmount m-raw
  against[raw]+="$(seconds plain_bytes raw.zrq) "

  mounted_on images.zrq m-images
  through[images]+="$(seconds read_mount m-images) "
  "$zrq" unmount m-images
  against[images]+="$(seconds unpack_into_tmpfs images.zrq) "

  mounted_on small.zrq m-small
  through[small]+="$(seconds ls -l m-small) "
  entries=$(ls m-small | wc -l)
  "$zrq" unmount m-small
done

row() { # label, through, against
  local t a
  t=$(tr ' ' '\n' <<<"$2" | grep . | median)
  a=$(tr ' ' '\n' <<<"$3" | grep . | median)
  printf '| %s | %.3f | %.3f | %.2f |\n' "$1" "$t" "$a" "$(echo "$t / $a" | bc -l)"
}
echo
echo "| read | through the mount s | against s | ratio |"
echo "|---|---:|---:|---:|"
row "raw: every plain file (against cat of the archive)" "${through[raw]}" "${against[raw]}"
row "images: every bitmap (against unzrq into tmpfs)" "${through[images]}" "${against[images]}"
t=$(tr ' ' '\n' <<<"${through[small]}" | grep . | median)
printf '| small: ls -l of %s entries | %.3f | - | - |\n' "$entries" "$t"

echo
echo "| profile | peak RSS of the mount under find -exec cat, KiB |"
echo "|---|---:|"
for profile in raw images small; do
  mounted_on "$profile.zrq" "m-$profile"
  pid=$(pgrep -f "zrq mount $profile.zrq m-$profile" | head -1)
  read_mount "m-$profile" >/dev/null
  printf '| %s | %s |\n' "$profile" "$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")"
  "$zrq" unmount "m-$profile"
done
