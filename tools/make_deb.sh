#!/bin/bash
# Builds the Debian package of a build tree: the installed tree under /opt/qxkiv, the systemd
# unit where systemd looks for it, the configuration files as conffiles, and dependencies on
# the Debian packages of the libraries it links (dpkg-shlibdeps).
#   make_deb.sh BUILD_DIR OUT_DIR    prints the path of the .deb it wrote
set -euo pipefail
build=$1 out=$2
src=$(cd "$(dirname "$0")/.." && pwd)
prefix=/opt/qxkiv
version=$(sed -n 's/^project(qxkiv VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
arch=$(dpkg --print-architecture)
work=$(mktemp -d "${TMPDIR:-/tmp}/kivdeb.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root

DESTDIR=$root cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; exit 1; }
mkdir -p "$root/lib/systemd/system" "$root/DEBIAN"
cp "$root$prefix/lib/systemd/system/kivhost.service" "$root/lib/systemd/system/"

# dpkg-shlibdeps wants a source package around it; the binaries are what it reads.
mkdir -p "$work/debian"
echo "Source: qxkiv" >"$work/debian/control"
mapfile -t elves < <(find "$root" -type f \( -name '*.so*' -o -perm -u+x \) -exec sh -c \
    'head -c4 "$1" | grep -q "ELF" && echo "$1"' _ {} \;)
depends=$(cd "$work" && dpkg-shlibdeps -O -l"$root$prefix/lib" "${elves[@]}" 2>"$work/shlibdeps.log" |
    sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] ||
    { cat "$work/shlibdeps.log" >&2; echo "make_deb: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<CONTROL
Package: qxkiv
Version: $version
Architecture: $arch
Maintainer: qxkiv developers <root@localhost>
Installed-Size: $size
Depends: $depends
Section: admin
Priority: optional
Description: Linux host security sensor (libqxkiv) and its agent kivhost
 The sensor library reports process, file, network and DNS activity as JSON
 documents; kivhost runs it and writes them as NDJSON or to syslog. Installed
 under $prefix, with the systemd unit kivhost.service (not enabled).
CONTROL
(cd "$root" && find ".$prefix/config" -type f | sed 's/^\.//' | sort) >"$root/DEBIAN/conffiles"
install -m 0755 "$src/cmake/deb/postinst" "$src/cmake/deb/postrm" "$root/DEBIAN/"

mkdir -p "$out"
deb=$out/qxkiv_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb"
