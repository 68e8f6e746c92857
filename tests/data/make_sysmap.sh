#!/bin/sh
# Makes sysmap/System.map-<version>.trimmed: a real System.map of a Debian 12 kernel, cut down to
# its first lines and a window of lines around each symbol module management looks up.
# Debian's linux-image package ships a one-line placeholder; the real map is in the -dbg
# package, from which only that one file is unpacked (the package is 850 MB; the unpacked
# tree would be several GB).
# Usage: tests/data/make_sysmap.sh [kernel-version]   (default 6.1.0-47-amd64)
set -eu
ver=${1:-6.1.0-47-amd64}
here=$(cd "$(dirname "$0")" && pwd)
out="$here/sysmap/System.map-$ver.trimmed"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
apt-get download "linux-image-$ver-dbg"
# tar stops at the first match, so dpkg-deb's complaint about the closed pipe is expected.
dpkg-deb --fsys-tarfile linux-image-"$ver"-dbg_*.deb 2>/dev/null |
    tar -x --occurrence=1 --wildcards "*boot/System.map-$ver"
map=$(find . -name "System.map-$ver" -type f)
window=400
# Line numbers of the symbols; a window of lines either side of each; the first 40 lines
# (absolute and per-cpu symbols at address 0) too.
lines=$(grep -nE ' (security_ops|security_hook_heads|__kmalloc|get_fs_type|wall_to_monotonic|inet_dgram_ops|inet_stream_ops)$' "$map" |
    cut -d: -f1)
[ -n "$lines" ] || { echo "no symbols found in $map" >&2; exit 1; }
mkdir -p "$here/sysmap"
awk -v w="$window" -v list="$lines" '
    BEGIN { n = split(list, at, /[ \n]/) }
    { keep = NR <= 40; for (i = 1; i <= n && !keep; i++) if (NR >= at[i] - w && NR <= at[i] + w) keep = 1 }
    keep' "$map" >"$out"
echo "$out: $(wc -l <"$out") of $(wc -l <"$map") lines"
