#!/bin/sh
# Prints the path of a JSON file with ECS's field definitions of the given version, taken from
# the @elastic/ecs package of the npm registry (its ecs_flat: every field with its type,
# whether it holds an array, its allowed values and the event types each category expects).
# The file is kept under CACHE, so the registry is asked once; concurrent callers wait.
#   ecs_fields.sh CACHE VERSION
set -eu
cache=$1 version=$2
out=$cache/ecs_flat-$version.json
[ -s "$out" ] && { echo "$out"; exit 0; }
mkdir -p "$cache"
exec 9>"$cache/.lock"
flock 9
[ -s "$out" ] && { echo "$out"; exit 0; }
for tool in npm node tar; do
    command -v $tool >/dev/null || { echo "ecs_fields: $tool is missing (make deps installs it)" >&2; exit 2; }
done
tmp=$(mktemp -d "$cache/fetch.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
if ! (cd "$tmp" && npm pack --silent --fetch-retries=1 --fetch-timeout=60000 \
        "@elastic/ecs@$version" >npm.out 2>npm.err); then
    echo "ecs_fields: the npm registry did not give @elastic/ecs@$version:" >&2
    tail -5 "$tmp/npm.err" >&2
    exit 3
fi
tar -xzf "$tmp"/elastic-ecs-*.tgz -C "$tmp"
node -e '
const flat = require(process.argv[1]).EcsFlat, out = {};
for (const [name, f] of Object.entries(flat)) {
    const o = {type: f.type, array: (f.normalize || []).includes("array")};
    if (f.allowed_values) {
        o.allowed = f.allowed_values.map(v => v.name);
        o.expected = {};
        for (const v of f.allowed_values)
            if (v.expected_event_types) o.expected[v.name] = v.expected_event_types;
    }
    out[name] = o;
}
process.stdout.write(JSON.stringify(out));
' "$tmp/package/build/commonjs/ecs_flat.js" >"$tmp/flat.json"
mv "$tmp/flat.json" "$out"
echo "$out"
