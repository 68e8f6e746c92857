#!/bin/bash
# Installs the build tree into a private prefix and checks what an operator or a host
# developer relies on. One case per run:
#   install_check.sh CASE BUILD_DIR SOURCE_DIR C_COMPILER [EXTRA_CFLAGS]
# CASE: layout, pkgconfig, unit, reinstall, exports, deb. Exit 0 pass, 1 fail, 77 skipped.
set -u
case_name=$1 build=$2 src=$3 cc=$4 extra_cflags=${5:-}
T=$(mktemp -d /tmp/kivinst.XXXXXX)
trap 'rm -rf "$T"' EXIT
P=$T/prefix
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
want() { "$@" || fail "$*"; }

install_to() {  # prefix, then extra environment for cmake
    local prefix=$1; shift
    env "$@" cmake --install "$build" --prefix "$prefix" >"$T/install.log" 2>&1 ||
        { cat "$T/install.log"; echo "FAIL: cmake --install"; exit 1; }
}

case $case_name in
layout)
    install_to "$P"
    # The library: real file, SONAME link, development link, and the SONAME inside.
    real=$(cd "$P/lib" && ls libqxkiv.so.*.*.* 2>/dev/null)
    [ "$(echo "$real" | wc -w)" = 1 ] || fail "one versioned library, got: $real"
    soname=$(readelf -d "$P/lib/$real" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
    major=${real#libqxkiv.so.}
    want [ "$soname" = "libqxkiv.so.${major%%.*}" ]
    want [ "$(readlink "$P/lib/$soname")" = "$real" ]
    want [ "$(readlink "$P/lib/libqxkiv.so")" = "$soname" ]
    want [ -x "$P/bin/kivhost" ]
    # Every public header, and nothing else, under include/qxkiv.
    want diff <(cd "$src/include/qxkiv" && ls *.h) <(cd "$P/include/qxkiv" && ls)
    # The shipped configuration as it is, comments included.
    for f in "$src"/config/*; do want cmp -s "$f" "$P/config/${f##*/}"; done
    want grep -q '^;' "$P/config/sensor.conf"
    # State and logs exist and are not readable by every user.
    for d in var/data logs; do
        want [ -d "$P/$d" ]
        [ "$(stat -c %a "$P/$d")" = 750 ] || fail "$d mode $(stat -c %a "$P/$d")"
    done
    # The installed agent finds ../lib and ../config from bin/: versions, then a short run on
    # the in-process stand-in with its documents and statistics in the installed logs/.
    out=$("$P/bin/kivhost" --version 2>&1)
    want grep -q "^libqxkiv 1\.1\.0_.* ($P/bin/../lib/libqxkiv.so)$" <<<"$out"
    want grep -q '^kivhost [0-9]' <<<"$out"
    sed -i 's/^kernel_mode *=.*/kernel_mode = emulated/' "$P/config/sensor.conf"
    echo 'nameserver 127.0.0.1' >"$T/resolv.conf"
    QXKIV_RESOLV_CONF=$T/resolv.conf "$P/bin/kivhost" --seconds 1 --append \
        --output "$P/logs/events.ndjson" --stats-file "$P/logs/kivhost.stats" >"$T/run.log" 2>&1
    rc=$?
    [ $rc = 0 ] || { cat "$T/run.log"; fail "installed kivhost exited $rc"; }
    want [ -e "$P/var/data/qxkiv.lock" ]
    [ "$(stat -c %a "$P/var/data/binary_hash_db.db")" = 640 ] || fail "digest store mode"
    want [ -e "$P/logs/events.ndjson" ]
    want grep -q '^MALLOC_IN_USE_TIMES(' "$P/logs/kivhost.stats"
    want grep -q '^# kivhost .*, libqxkiv 1\.1\.0_' "$P/logs/kivhost.stats"
    [ -n "$(ls -A "$P/logs/sensor.log" 2>/dev/null)" ] || fail "no sensor log under logs/"
    ;;
pkgconfig)
    install_to "$P"
    export PKG_CONFIG_PATH=$P/lib/pkgconfig
    command -v pkg-config >/dev/null || { echo "FAIL: pkg-config missing"; exit 1; }
    want [ "$(pkg-config --variable=prefix qxkiv)" = "$P" ]
    # Every public header must compile in a C program on its own include path.
    {
        for h in "$P"/include/qxkiv/*.h; do echo "#include <qxkiv/${h##*/}>"; done
        cat <<'C'
#include <stdio.h>
#include <string.h>
int main(void) {
    const char *v = kiv_version();
    char line[512];
    int index = 0, lines = 0, n;
    while ((n = kiv_stats_line(line, sizeof line, &index)) > 0) {
        if (n != (int)strlen(line) || line[n - 1] != '\n') return 2;
        lines++;
    }
    /* End of the walk, then a buffer too small and a null one: refused, index unchanged. */
    int again = 0;
    if (n != 0 || kiv_stats_line(line, 4, &again) != -1 || again != 0 ||
        kiv_stats_line(NULL, 512, &again) != -1 || kiv_stats_line(line, 512, NULL) != -1)
        return 3;
    printf("%s %d\n", v, lines);
    return 0;
}
C
    } >"$T/host.c"
    # shellcheck disable=SC2046
    "$cc" -std=c11 -Wall -Werror $extra_cflags "$T/host.c" -o "$T/host" \
        $(pkg-config --cflags --libs qxkiv) 2>"$T/cc.log" || { cat "$T/cc.log"; fail "compile"; }
    # The build tree must not be what the program finds.
    out=$(cd "$T" && LD_LIBRARY_PATH=$P/lib ./host)
    rc=$?
    [ $rc = 0 ] || fail "the program exited $rc"
    want grep -q "^$(pkg-config --modversion qxkiv)_[0-9]* [0-9][0-9]*$" <<<"$out"
    [ "${out##* }" -gt 46 ] 2>/dev/null || fail "counter lines: $out"
    want grep -q "$P/lib/libqxkiv.so" < <(LD_LIBRARY_PATH=$P/lib ldd "$T/host")
    ;;
unit)
    install_to "$P"
    u=$P/lib/systemd/system/kivhost.service
    want grep -qx "ExecStart=$P/bin/kivhost --seconds 0 --append --output $P/logs/events.ndjson" "$u"
    want grep -qx 'Restart=always' "$u"
    # Capabilities, not root's full set: no module loading, no overriding file permissions.
    grep -q '^CapabilityBoundingSet=.*CAP_BPF' "$u" || fail "bounding set"
    grep -Eq '^(CapabilityBoundingSet|AmbientCapabilities)=.*(CAP_SYS_MODULE|CAP_DAC_OVERRIDE)' "$u" &&
        fail "capabilities beyond userspace mode"
    command -v systemd-analyze >/dev/null ||
        { echo "FAIL: systemd-analyze missing (Debian package systemd, in make deps)"; exit 1; }
    # Clean means no complaint at all: unknown keys and bad values are only warnings.
    out=$(cd "$T" && systemd-analyze verify "$u" 2>&1)
    rc=$?
    [ $rc = 0 ] && [ -z "$out" ] || fail "systemd-analyze verify ($rc): $out"
    # And the check itself bites: an agent that is not there is found.
    sed "s#^ExecStart=$P/bin/#ExecStart=$T/none/#" "$u" >"$T/kivhost.service"
    (cd "$T" && systemd-analyze verify "$T/kivhost.service" >/dev/null 2>&1) &&
        fail "verify accepted a missing agent"
    ;;
reinstall)
    install_to "$P"
    echo "log_level = 4" >>"$P/config/sensor.conf"
    install_to "$P"
    # The operator's edit survives; the shipped file lands beside it; untouched ones are
    # replaced in place with nothing beside them.
    want grep -qx 'log_level = 4' "$P/config/sensor.conf"
    want cmp -s "$src/config/sensor.conf" "$P/config/sensor.conf.dist"
    want [ ! -e "$P/config/task.conf.dist" ]
    # A staged install for a package names the final prefix, not the staging directory.
    install_to /opt/qxkiv DESTDIR="$T/stage"
    want [ -x "$T/stage/opt/qxkiv/bin/kivhost" ]
    want grep -qx 'prefix=/opt/qxkiv' "$T/stage/opt/qxkiv/lib/pkgconfig/qxkiv.pc"
    want grep -q '^ExecStart=/opt/qxkiv/bin/kivhost ' "$T/stage/opt/qxkiv/lib/systemd/system/kivhost.service"
    grep -rq "$T" "$T/stage/opt/qxkiv/lib/pkgconfig" "$T/stage/opt/qxkiv/lib/systemd" &&
        fail "the staging directory leaked into the installed files"
    ;;
exports)
    # Every name the host may call is in the library's dynamic symbol table and declared in a
    # public header; no C++ name leaks out.
    lib=$build/stage/lib/libqxkiv.so
    command -v nm >/dev/null || { echo "FAIL: nm missing (Debian package binutils)"; exit 1; }
    nm -D --defined-only "$lib" | awk '{print $NF}' | sort -u >"$T/defined"
    [ -s "$T/defined" ] || fail "no dynamic symbols in $lib"
    names=$(sed 's/#.*//' "$src/tests/install/exported_names.txt" | tr -s ' \t' '\n' | grep .)
    for n in $names; do
        grep -qx "$n" "$T/defined" || fail "$n is not exported"
        case $n in cJSON_*) continue ;; esac
        grep -qw "$n" "$src"/include/qxkiv/*.h || fail "$n is in no public header"
    done
    grep '^_Z' "$T/defined" | head -3 | while read -r z; do echo "FAIL: C++ name exported: $z"; done
    grep -q '^_Z' "$T/defined" && fail "C++ names exported"
    ;;
deb)
    # The package of this build tree, installed into a scratch root with its own dpkg
    # database (maintainer scripts run here, told of the root by DPKG_ROOT), then removed.
    deb=$("$src/tools/make_deb.sh" "$build" "$T") || { echo "FAIL: make_deb.sh"; exit 1; }
    want grep -q '\.deb$' <<<"$deb"
    # The runtime libraries it links come from their Debian packages.
    deps=$(dpkg-deb -f "$deb" Depends)
    for p in libc6 libcjson1 libsqlite3-0 libssl3; do
        grep -q "\b$p\b" <<<"$deps" || fail "Depends lacks $p: $deps"
    done
    R=$T/root
    mkdir -p "$R/var/lib/dpkg/info" "$R/var/lib/dpkg/updates"
    touch "$R/var/lib/dpkg/status"
    dpkgr() { dpkg --root="$R" --force-script-chrootless --force-depends --log=/dev/null "$@"; }
    dpkgr -i "$deb" >"$T/dpkg.log" 2>&1 || { cat "$T/dpkg.log"; fail "dpkg -i"; }
    out=$("$R/opt/qxkiv/bin/kivhost" --version 2>&1)
    want grep -q "^kivhost [0-9]" <<<"$out"
    want grep -q "^libqxkiv 1\.1\.0_.* ($R/opt/qxkiv/bin/../lib/libqxkiv.so)$" <<<"$out"
    want [ -f "$R/lib/systemd/system/kivhost.service" ]
    want grep -q '^ExecStart=/opt/qxkiv/bin/kivhost ' "$R/lib/systemd/system/kivhost.service"
    [ "$(stat -c %a "$R/opt/qxkiv/logs")" = 750 ] || fail "logs mode"
    # Every configuration file is a conffile: an edit survives removal, purging drops it.
    conff=$(dpkg-query --admindir="$R/var/lib/dpkg" -W -f='${Conffiles}' qxkiv)
    for f in "$src"/config/*; do
        grep -q " /opt/qxkiv/config/${f##*/} " <<<"$conff" || fail "${f##*/} is not a conffile"
    done
    echo "log_level = 4" >>"$R/opt/qxkiv/config/sensor.conf"
    touch "$R/opt/qxkiv/var/data/qxkiv.lock"
    dpkgr -r qxkiv >>"$T/dpkg.log" 2>&1 || { cat "$T/dpkg.log"; fail "dpkg -r"; }
    want [ ! -e "$R/opt/qxkiv/bin/kivhost" ]
    want grep -qx 'log_level = 4' "$R/opt/qxkiv/config/sensor.conf"
    dpkgr --purge qxkiv >>"$T/dpkg.log" 2>&1 || { cat "$T/dpkg.log"; fail "dpkg --purge"; }
    [ -e "$R/opt/qxkiv" ] && fail "left after purge: $(find "$R/opt/qxkiv" | head -5)"
    ;;
*)
    echo "unknown case $case_name"
    exit 1
    ;;
esac
[ $fails = 0 ] && echo "PASS: $case_name"
[ $fails = 0 ]
