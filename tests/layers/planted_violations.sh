#!/usr/bin/env bash
# The layer check on a copy of src/ with one planted include each: it must fail on each, name
# the file and the README that forbids it, and pass on the untouched copy.
set -u
root="$1"
check="$root/tools/check_layers.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0
plant() {  # file include expected-message
  rm -rf "$tmp/src" && cp -r "$root/src" "$tmp/src"
  sed -i "0,/^#include \"/s||#include \"$2\"\n&|" "$tmp/src/$1"
  out=$("$check" --quiet --src "$tmp/src" 2>&1)
  rc=$?
  if [ $rc -ne 1 ] || ! grep -qF "$3" <<< "$out"; then
    echo "FAIL: $1 including $2: rc $rc, output: $out"
    fail=1
  fi
}
cp -r "$root/src" "$tmp/src"
"$check" --quiet --src "$tmp/src" || { echo "FAIL: the untouched copy does not pass"; fail=1; }
# A source including another source's header, or one beside it by its bare name.
plant kernel/capture/connector.cpp kernel/capture/network.h \
  "kernel/capture/connector.cpp includes kernel/capture/network.h, which kernel/capture/README.md"
plant kernel/capture/network.cpp ebpf_process.h \
  "kernel/capture/network.cpp includes kernel/capture/ebpf_process.h"
# A source reaching into the stand-in past its producer header.
plant kernel/capture/fanotify_files.cpp kernel/standin/standin.h \
  "kernel/capture/fanotify_files.cpp includes kernel/standin/standin.h"
# The stand-in naming a source, or the table.
plant kernel/standin/standin.cpp kernel/capture/fanotify_files.h \
  "kernel/standin/standin.cpp includes kernel/capture/fanotify_files.h, which kernel/standin/README.md"
plant kernel/standin/sources.cpp kernel/capture/sources.h \
  "kernel/standin/sources.cpp includes kernel/capture/sources.h"
# A sensor above the boundary, and a lower layer including a higher one.
plant task/kill.cpp kernel/standin/producer.h "task/kill.cpp includes kernel/standin/producer.h"
plant comm/strings.cpp framework/ring.h "comm/strings.cpp includes framework/ring.h"
# A folder whose README lost its line.
rm -rf "$tmp/src" && cp -r "$root/src" "$tmp/src"
sed -i '/May include/d' "$tmp/src/kernel/capture/common/README.md"
out=$("$check" --quiet --src "$tmp/src" 2>&1)
grep -qF "kernel/capture/common/README.md has no May include: line" <<< "$out" ||
  { echo "FAIL: a README without its line passes: $out"; fail=1; }
exit $fail
