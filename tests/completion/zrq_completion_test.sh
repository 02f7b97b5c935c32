#!/usr/bin/env bash
# The bash completion of zrq (completion/zrq.bash) as a table: the words on
# the command line, the current one last, and the candidates it must offer.
#
#   zrq_completion_test.sh ZRQ COMPLETION_SCRIPT WORK_DIR
#
# Entry names come from ZRQ's `list --json` on an archive ZRQ packs here.
# bash-completion's own helpers are not loaded: the script's plain fallback
# is what is checked, as on a system without that package.
set -euo pipefail
# The candidates are compared sorted byte by byte, whatever the locale.
export LC_ALL=C
zrq=$(realpath -- "$1")
script=$(realpath -- "$2")
work=$3

rm -rf "$work"
mkdir -p "$work/in" "$work/mods/level"
cd "$work"
printf 'print(1)\n' >in/menu.lua
printf 'x' >in/read_me
printf 'y' >"in/two words"
"$zrq" create data.zrq in >/dev/null
touch notes.txt

# shellcheck source=/dev/null
source "$script"

failed=0
# check "EXPECTED CANDIDATES" WORD...: completes the last word of the line.
check() {
  local expected=$1
  shift
  COMP_WORDS=("$zrq" "$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _zrq || :
  local actual
  actual=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ')
  actual=${actual% }
  if [[ $actual != "$expected" ]]; then
    echo "FAILED: zrq ${*@Q}: offered [$actual], expected [$expected]" >&2
    failed=1
  fi
}

check "list" l
check "cat create" c
check "--help --version" --
check "extract" ex
check "mount" mo
check "unmount" un
check "--json" list -
check "data.zrq" list d
check "data.zrq" list --json d
check "" list data.zrq ""
check "" test data.zrq ""
check "data.zrq" test da
check "menu.lua menu_lua" cat data.zrq m
check "read_me" cat data.zrq r
check 'two\ words' cat data.zrq t
check "" cat data.zrq menu.lua ""
check "--force --host-names --images" create --
check "--host-names" create --h
check "in" create --images new.zrq i
check "-- --keep -C" extract -
check "--keep" extract data.zrq --k
check "mods" extract -C m
check "mods" extract data.zrq -C m
check "data.zrq" extract -C mods d
check "menu.lua menu_lua" extract -C mods data.zrq m
check "menu.lua menu_lua" extract data.zrq --keep read_me m
check "menu.lua menu_lua" extract data.zrq -- m
check "" extract data.zrq -- -
check "" extract missing.zrq m
check "--foreground -f" mount -
check "data.zrq" mount -f d
check "mods" mount data.zrq m
check "mods" unmount m
check "" unmount mods ""
check "" nosuchcommand ""

[[ $failed == 0 ]] && echo "zrq completion: every case as expected"
exit $failed
