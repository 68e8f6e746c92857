#!/usr/bin/env bash
# Checks every #include "..." under src/ against the "May include:" line of the README.md of
# the file's folder (the nearest folder above it that has one) and lists the includes between
# folders ("from -> to: file"). The line is a comma-separated list, ended by a full stop or a
# semicolon (what follows is prose), of:
#   <folder>        a folder under src/ and everything below it ("base", "kernel/capture/bpf")
#   <file>          one file under src/ ("kernel/standin/producer.h")
#   include/qxkiv   the public headers
#   this folder     the files directly beside (not in folders below)
#   own header      of the files beside, only the one named as the including file
#   nothing         system headers only
# A name without a folder ("x.h") is the file beside, when there is one; otherwise it is made
# by the build. Fails (exit 1) on any include the line does not allow, or a folder without one.
# Usage: tools/check_layers.sh [--quiet] [--src DIR]
set -u
quiet=0
src="$(dirname "$0")/../src"
while [ $# -gt 0 ]; do
  case "$1" in
    --quiet) quiet=1 ;;
    --src) src="$2"; shift ;;
    *) echo "usage: $0 [--quiet] [--src DIR]" >&2; exit 2 ;;
  esac
  shift
done
cd "$src" || exit 2

declare -A rules  # folder -> its entries, one per line
dir_of() { [[ "$1" == */* ]] && REPLY=${1%/*} || REPLY=.; }
# The folder whose README governs a file's folder, in REPLY; empty when none does.
governing() {
  local d="$1"
  while :; do
    [ -f "$d/README.md" ] && { REPLY=$d; return; }
    [ "$d" = . ] && { REPLY=; return; }
    dir_of "$d"; d=$REPLY
  done
}
load_rules() {
  local dir="$1" line
  line=$(grep -m1 '^.*May include:' "$dir/README.md" | sed 's/^.*May include://')
  [ -n "$line" ] || { rules[$dir]="?"; return; }
  # Up to the first full stop or semicolon that ends the list; file names keep their dots.
  line=$(echo "$line" | sed -E 's/(\.|;)( .*)?$//; s/;.*$//')
  rules[$dir]=$(echo "$line" | tr ',' '\n' | sed -E 's/^ +//; s/ +$//' | grep -v '^$')
}

allowed() {  # file include_path rule_dir
  local file="$1" inc="$2" dir="$3" fdir idir entry
  dir_of "$file"; fdir=$REPLY
  dir_of "$inc"; idir=$REPLY
  while IFS= read -r entry; do
    case "$entry" in
      nothing) ;;
      include/qxkiv) [[ "$inc" == qxkiv/* ]] && return 0 ;;
      "this folder") [ "$idir" = "$fdir" ] && return 0 ;;
      "own header")
        [ "$idir" = "$fdir" ] && [ "${inc%.*}" = "${file%.*}" ] && return 0 ;;
      *)
        [ "$inc" = "$entry" ] && return 0
        [[ "$inc" == "$entry"/* ]] && return 0 ;;
    esac
  done <<< "${rules[$dir]}"
  return 1
}

bad=0
while IFS= read -r f; do
  dir_of "$f"; fdir=$REPLY
  governing "$fdir"; rdir=$REPLY
  if [ -z "$rdir" ] || [ "$rdir" = . ]; then
    echo "layer violation: $f has no README.md with a May include: line above it" >&2
    bad=1
    continue
  fi
  [ -n "${rules[$rdir]+x}" ] || load_rules "$rdir"
  if [ "${rules[$rdir]}" = "?" ]; then
    echo "layer violation: $rdir/README.md has no May include: line" >&2
    bad=1
    continue
  fi
  while IFS= read -r inc; do
    if [[ "$inc" != */* ]]; then
      [ -f "$fdir/$inc" ] || continue  # made by the build
      inc="$fdir/$inc"
    fi
    # A file's own header is always its own.
    [ "$inc" = "${f%.*}.h" ] && continue
    dir_of "$inc"; to=$REPLY
    [ "$to" != "$fdir" ] && [ "$quiet" = 0 ] && echo "$fdir -> $to: $f"
    if ! allowed "$f" "$inc" "$rdir"; then
      echo "layer violation: $f includes $inc, which $rdir/README.md does not allow" >&2
      bad=1
    fi
  done < <(grep -ho '^#include "[^"]*"' "$f" | sed 's/#include "//;s/"$//')
done < <(find . -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.inc' -o -name '*.c' \) |
         sed 's|^\./||' | sort)
exit $bad
