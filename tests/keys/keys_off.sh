#!/bin/bash
# The base behaviour with every extension off. Reads the table "Extension keys" of
# docs/configuration.md: each row's key must stand in its shipped file, in its section,
# with its shipped value, and be read by the library. Then stages a copy of config/ with every
# key at its "Off" value and runs the given test binaries against it (KIV_TEST_SHIPPED_TREE),
# the live and attack suites left out (they watch this host through the shipped extensions).
#   keys_off.sh SOURCE_DIR [TEST_BINARY...]
set -u
src=$1
shift
page="$src/docs/configuration.md"
fail=0
rows=$(awk '/^## Extension keys/{on=1; next} /^## /{on=0} on && /^\| [a-z_]+\.conf \|/' "$page")
if [ -z "$rows" ]; then
    echo "no key table in $page"
    exit 1
fi
tree=$(mktemp -d /tmp/kivkeysoff.XXXXXX)
trap 'rm -rf "$tree"' EXIT
cp -r "$src/config" "$tree/config"

# The value of key in [section] of file, or nothing.
value_of() {
    awk -v sec="[$2]" -v key="$3" '
        /^\[/ { in_sec = ($0 == sec) }
        in_sec && $1 == key && $2 == "=" { print $3; exit }' "$1"
}

n=0
while IFS='|' read -r _ file section key shipped off _rest; do
    file=$(echo $file) section=$(echo $section) shipped=$(echo $shipped) off=$(echo $off)
    key=$(echo $key | tr -d '`')
    n=$((n + 1))
    have=$(value_of "$src/config/$file" "$section" "$key")
    if [ "$have" != "$shipped" ]; then
        echo "FAIL: config/$file [$section] $key is '$have', the table says '$shipped'"
        fail=1
    fi
    if ! grep -rqF "\"$key\"" "$src/src"; then
        echo "FAIL: no code reads $key"
        fail=1
    fi
    # The off value in its section only, whatever the spacing.
    awk -v sec="[$section]" -v key="$key" -v off="$off" '
        /^\[/ { in_sec = ($0 == sec) }
        in_sec && $1 == key && $2 == "=" { print key " = " off; next }
        { print }' "$tree/config/$file" >"$tree/config/$file.new" &&
        mv "$tree/config/$file.new" "$tree/config/$file"
    if [ "$(value_of "$tree/config/$file" "$section" "$key")" != "$off" ]; then
        echo "FAIL: could not set $key to $off"
        fail=1
    fi
done <<<"$rows"
echo "$n extension keys checked and set to their off values in $tree/config"
[ $fail -eq 0 ] || exit 1

for t in "$@"; do
    echo "== $(basename "$t") with every extension off"
    if ! KIV_TEST_SHIPPED_TREE="$tree" "$t" --gtest_brief=1; then
        echo "FAIL: $(basename "$t")"
        fail=1
    fi
done
exit $fail
