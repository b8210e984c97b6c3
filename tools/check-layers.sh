#!/usr/bin/env bash
# Fails when an include in the product points up the layers:
#   base < platform < net < clients < console < relay
# A folder may include its own headers and those of the folders below it.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

layers=(base platform net clients console relay)
rank() {
  local i
  for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done
  echo -1
}

status=0
for folder in "${layers[@]}"; do
  own=$(rank "$folder")
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^#include "([^/"]+)\/.*/\1/' <<<"$text")
    theirs=$(rank "$target")
    if [ "$theirs" -gt "$own" ]; then
      echo "$file:$line: $folder/ includes $target/, a layer above it: $text" >&2
      status=1
    fi
  done < <(grep -rnE '^#include "[^/"]+/' "$folder" --include='*.h' --include='*.cpp' || true)
done
[ $status -eq 0 ] && echo "includes point only down: ${layers[*]}"
exit $status
