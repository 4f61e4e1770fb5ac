#!/usr/bin/env bash
# Keeps the program's sources small enough to read: no source file of the program's folders above
# 600 lines, and no function above 80 lines there or in the simulator. A function is measured from
# its opening brace at the start of a line to the closing one (the house style puts both there),
# plus the line that names it.
#
#   scripts/check-sizes.sh [--list]   (--list prints every function above 60 lines as well)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

max_file=600
max_function=80
list=0
[ "${1:-}" = --list ] && list=1

product=(elm platform records widgets manager updater app cli)
failed=0

for folder in "${product[@]}"; do
  for file in "$folder"/*.cpp "$folder"/*.h; do
    [ -e "$file" ] || continue
    lines=$(wc -l <"$file")
    if [ "$lines" -gt "$max_file" ]; then
      echo "$file: $lines lines (at most $max_file)" >&2
      failed=1
    fi
  done
done

sources=()
for folder in "${product[@]}" tools/kestrane-sim; do
  for file in "$folder"/*.cpp; do
    [ -e "$file" ] && sources+=("$file")
  done
done

# A brace alone at the start of a line opens a function (or a class, whose closing "};" tells
# it apart); the previous line holds the name.
report=$(awk -v max="$max_function" -v list="$list" '
  FNR == 1 { open = 0 }
  /^\{[[:space:]]*$/ { open = FNR; name = previous; next }
  open && /^\}[[:space:]]*$/ {
    length_ = FNR - open + 2
    if (length_ > max) printf "%s:%d: %s: %d lines (at most %d)\n", FILENAME, open - 1, name, length_, max
    else if (list && length_ > 60) printf "%s:%d: %s: %d lines\n", FILENAME, open - 1, name, length_
    open = 0
  }
  open && /^\};/ { open = 0 }
  { previous = $0 }
' "${sources[@]}")
if [ -n "$report" ]; then
  echo "$report" >&2
  grep -q 'at most' <<<"$report" && failed=1
fi

if [ "$failed" -ne 0 ]; then
  echo "check-sizes: sources above their size limits (see above)" >&2
  exit 1
fi
echo "check-sizes: every file and function within its limit"
