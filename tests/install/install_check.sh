#!/bin/bash
# Installs the build tree into a private prefix and checks what an operator or a host
# developer relies on. One case per run:
#   install_check.sh CASE BUILD_DIR SOURCE_DIR C_COMPILER [EXTRA_CFLAGS]
# CASE: layout, pkgconfig, reinstall, exports, deb (the Debian package and its unit, and as
# root its install/remove round trip on this machine). Exit 0 pass, 1 fail, 77 skipped.
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
    want grep -qx 'ExecStart=/opt/qxkiv/bin/kivhost --seconds 0 --append --output /opt/qxkiv/logs/events.ndjson' \
        "$T/stage/opt/qxkiv/lib/systemd/system/kivhost.service"
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
    # The package of this build tree as `make deb` builds it: CPack from the install rules.
    (cd "$build" && cpack -B "$T/pkg") >"$T/cpack.log" 2>&1 || { cat "$T/cpack.log"; echo "FAIL: cpack"; exit 1; }
    deb=$(ls "$T"/pkg/qxkiv_*.deb)
    command -v lintian >/dev/null || { echo "FAIL: lintian missing (make deps installs it)"; exit 1; }
    lintian --tag-display-limit 0 "$deb" >"$T/lintian.log" 2>&1 || { cat "$T/lintian.log"; fail "lintian"; }
    dpkg-deb -x "$deb" "$T/x" && dpkg-deb -e "$deb" "$T/ctl" || fail "dpkg-deb"
    # The man page renders without a complaint and names the options --help names, no other.
    MANWIDTH=1000 man -P cat -E ascii --warnings -l "$T/x/usr/share/man/man8/kivhost.8.gz" \
        >"$T/man.txt" 2>"$T/man.err"
    [ -s "$T/man.txt" ] && [ ! -s "$T/man.err" ] || fail "man -l: $(head -3 "$T/man.err")"
    opts() { grep -oE -- '--[a-z][a-z-]*[a-z]' | sort -u; }
    want diff <("$build/stage/bin/kivhost" --help | opts) <(opts <"$T/man.txt")
    # Every shipped configuration file is a conffile; the libraries come from their packages.
    want diff <(cd "$src/config" && find . -type f | sed 's#^\.#/etc/qxkiv#' | sort) "$T/ctl/conffiles"
    deps=$(dpkg-deb -f "$deb" Depends)
    for p in libc6 libcjson1 libsqlite3-0 libssl3; do grep -qw "$p" <<<"$deps" || fail "Depends lacks $p"; done
    # The unit: the package's paths, restarts, and only the capabilities userspace mode uses
    # (no module loading, no overriding file permissions).
    u=/lib/systemd/system/kivhost.service
    want grep -qx 'ExecStart=/usr/sbin/kivhost --seconds 0 --append --output /var/log/qxkiv/events.ndjson' "$T/x$u"
    want grep -qx 'Restart=always' "$T/x$u"
    grep -q '^CapabilityBoundingSet=.*CAP_BPF' "$T/x$u" || fail "bounding set"
    grep -Eq '^(CapabilityBoundingSet|AmbientCapabilities)=.*(CAP_SYS_MODULE|CAP_DAC_OVERRIDE)' "$T/x$u" &&
        fail "capabilities beyond userspace mode"

    # The round trip on this machine, leaving it as it was: one test run at a time, and only
    # where nothing of qxkiv is there yet.
    skip() { echo "SKIP: $*"; [ $fails = 0 ] && exit 77; exit 1; }
    state() { dpkg-query -W -f='${db:Status-Abbrev}' qxkiv 2>/dev/null; }
    absent() { case $(state) in "" | "un ") ;; *) return 1 ;; esac; }
    exists() { [ -e "$1" ] || [ -L "$1" ]; }
    [ "$(id -u)" = 0 ] || skip "the install round trip needs root"
    mkdir -p /run/lock && exec 9>/run/lock/qxkiv-install-check.lock && flock 9
    paths="/opt/qxkiv /usr/lib/qxkiv /etc/qxkiv /var/lib/qxkiv /var/log/qxkiv"
    for p in $paths; do exists "$p" && skip "$p is there already; the round trip would change it"; done
    absent || skip "qxkiv is installed"
    trap 'dpkg --purge qxkiv >/dev/null 2>&1; rm -rf "$T"' EXIT
    dpkgw() {  # another session's apt may hold dpkg's lock for a while
        local i
        for i in $(seq 60); do
            dpkg "$@" >"$T/dpkg.log" 2>&1 && return 0
            grep -q 'locked by another process' "$T/dpkg.log" || break
            sleep 5
        done
        cat "$T/dpkg.log"; return 1
    }
    dpkgw -i "$deb" || fail "dpkg -i"
    want [ "$(state)" = "ii " ]
    want [ "$(readlink /opt/qxkiv)" = /usr/lib/qxkiv ]
    want [ "$(readlink -f /usr/sbin/kivhost)" = /usr/lib/qxkiv/bin/kivhost ]
    for d in /var/lib/qxkiv/data:750 /var/lib/qxkiv/spool:700 /var/log/qxkiv:750; do
        [ "$(stat -c %a:%U "${d%:*}")" = "${d#*:}:root" ] || fail "${d%:*} is $(stat -c %a:%U "${d%:*}")"
    done
    # Enabled by deb-systemd-helper; started where systemd runs, stopped for the short run.
    want [ "$(readlink /etc/systemd/system/multi-user.target.wants/kivhost.service)" = $u ]
    [ -d /run/systemd/system ] && { want systemctl -q is-active kivhost; systemctl stop kivhost; }
    # Clean means no complaint at all (unknown keys and bad values are only warnings); and the
    # check bites: an agent that is not there is found.
    out=$(cd "$T" && systemd-analyze verify $u 2>&1) && [ -z "$out" ] || fail "systemd-analyze verify: $out"
    sed 's#^ExecStart=/usr/sbin/#ExecStart=/none/#' $u >"$T/kivhost.service"
    (cd "$T" && systemd-analyze verify kivhost.service >/dev/null 2>&1) && fail "verify accepted a missing agent"
    /opt/qxkiv/bin/kivhost --check-config >"$T/check.log" 2>&1 || { cat "$T/check.log"; fail "--check-config"; }
    # A short run as the unit runs it, on the in-process stand-in: state, spool and logs land
    # through the links. The edit is also a conffile's, which must survive removal.
    sed -i 's/^kernel_mode *=.*/kernel_mode = emulated/' /etc/qxkiv/sensor.conf
    echo 'nameserver 127.0.0.1' >"$T/resolv.conf"
    QXKIV_RESOLV_CONF=$T/resolv.conf /opt/qxkiv/bin/kivhost --seconds 2 --append \
        --output /var/log/qxkiv/events.ndjson >"$T/run.log" 2>&1 || { cat "$T/run.log"; fail "short run"; }
    want [ -e /var/lib/qxkiv/data/qxkiv.lock ]
    want [ -s /var/lib/qxkiv/spool/seq ]
    want [ -e /var/log/qxkiv/events.ndjson ]
    [ -n "$(ls -A /var/log/qxkiv/sensor.log 2>/dev/null)" ] || fail "no sensor log in /var/log/qxkiv"
    # Removed: no file of the package is left but its conffiles; the data stays.
    dpkgw -r qxkiv || fail "dpkg -r"
    want [ "$(state)" = "rc " ]
    for f in $(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' |
        grep -vxF -f "$T/ctl/conffiles") /opt/qxkiv /usr/lib/qxkiv /usr/share/doc/qxkiv; do
        exists "$f" && fail "left after dpkg -r: $f"
    done
    want grep -qx 'kernel_mode = emulated' /etc/qxkiv/sensor.conf
    want [ -e /var/lib/qxkiv/data/qxkiv.lock ]
    # Purged: configuration, data, logs and the unit's enablement go too.
    dpkgw --purge qxkiv || fail "dpkg --purge"
    want absent
    for p in $paths; do exists "$p" && fail "left after purge: $p"; done
    left=$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
        /var/lib/systemd/deb-systemd-helper-masked -name 'kivhost*' 2>/dev/null)
    [ -z "$left" ] || fail "left after purge: $left"
    ;;
*)
    echo "unknown case $case_name"
    exit 1
    ;;
esac
[ $fails = 0 ] && echo "PASS: $case_name"
[ $fails = 0 ]
