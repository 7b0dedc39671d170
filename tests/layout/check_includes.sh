#!/usr/bin/env bash
# tests/layout/check_includes.sh [root]: fails when an include runs against the
# layers. The SDK stands common <- communication <- processing <- api, each
# layer including only those below it; the tool includes nothing of the tests.
# An include is resolved as the compiler would find it (beside the file, then
# from sdk/, sdk/api/, the root or a tool library's folder) and judged by the
# folder it lands in.
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
cd "$root"

# What a file under the first folder may not include from the second.
rules=(
  "sdk/common sdk/api"
  "sdk/common sdk/communication"
  "sdk/common sdk/processing"
  "sdk/communication sdk/api"
  "sdk/communication sdk/processing"
  "sdk/processing sdk/api"
  "tool tests"
)

# Where a quoted include of the file is found: the path from the root, or
# nothing when it is none of the project's files.
resolve() {
  local file=$1 name=$2 dir candidate
  dir=$(dirname "$file")
  for candidate in "$dir/$name" "sdk/$name" "sdk/api/$name" "$name" tool/*/"$name"; do
    if [ -f "$candidate" ]; then
      realpath -m --relative-to="$root" "$candidate"
      return
    fi
  done
  # Reached only through an include path that the file's own layer does not
  # have, such as the tests' support folders.
  find tests -path "*/$name" -print -quit 2>/dev/null
}

under() { case "$1/" in "$2"/*) return 0 ;; *) return 1 ;; esac; }

failures=0
while IFS= read -r file; do
  while IFS=: read -r line text; do
    name=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/' <<<"$text")
    target=$(resolve "$file" "$name")
    [ -n "$target" ] || continue
    for rule in "${rules[@]}"; do
      read -r from to <<<"$rule"
      if under "$file" "$from" && under "$target" "$to"; then
        echo "$file:$line: includes $target: $from may not include $to"
        failures=$((failures + 1))
      fi
    done
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
done < <(find sdk tool -type f \( -name '*.h' -o -name '*.cpp' \) | sort)

if [ "$failures" -gt 0 ]; then
  echo "$failures include(s) against the layers"
  exit 1
fi
echo "includes follow the layers"
