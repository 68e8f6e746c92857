#!/usr/bin/env bash
# Lists the includes between folders of src/ ("from -> to: file") and fails on any that runs
# against the layer order:
#   base <- comm <- kernel <- framework <- log <- sensors (task file net log_collector
#   block_logger kmod) <- startup
# A sensor never includes another sensor, and only src/kernel/ includes the stand-in.
# Usage: tools/check_layers.sh [--quiet]
set -u
cd "$(dirname "$0")/../src"
rank() {
  case "$1" in
    base) echo 0 ;; comm) echo 1 ;; kernel) echo 2 ;; framework) echo 3 ;; log) echo 4 ;;
    task|file|net|log_collector|block_logger|kmod) echo 5 ;; startup) echo 6 ;; *) echo 99 ;;
  esac
}
bad=0
while IFS= read -r f; do
  from=${f%%/*}
  while IFS= read -r inc; do
    to=${inc%%/*}
    [ "$to" = qxkiv ] && continue
    [ "$to" = "$from" ] && continue
    [ "${1:-}" = --quiet ] || echo "$from -> $to: $f"
    rf=$(rank "$from"); rt=$(rank "$to")
    if [ "$rt" -ge "$rf" ] || [[ "$inc" == kernel/standin/* ]]; then
      echo "layer violation: $f includes $inc" >&2
      bad=1
    fi
  done < <(grep -ho '^#include "[^"]*"' "$f" | sed 's/#include "//;s/"$//')
done < <(find . -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.inc' -o -name '*.c' \) | sed 's|^\./||' | sort)
exit $bad
