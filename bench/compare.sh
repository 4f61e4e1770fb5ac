#!/usr/bin/env bash
# Measures the transfer benchmark of this tree against another commit's, in one run on one
# machine, rounds taken in turn so that both meet the same load; then counts, under callgrind,
# the instructions the link spends per adapter line in bench_isotp for both.
#
#   bench/compare.sh [BASE] [--rounds N] [-- BENCH_TRANSFER_OPTIONS...]   (BASE: default HEAD~1)
#
# Prints each transfer row's median wall time for both and the change in percent, and the
# instructions per line for both. Needs valgrind for the last part (installed when missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
base=HEAD~1
rounds=3
bench_options=(--jobs upload,flash --flash-kib 64)
while [ $# -gt 0 ]; do
  case $1 in
  --rounds) rounds=$2; shift 2 ;;
  --) shift; bench_options=("$@"); break ;;
  *) base=$1; shift ;;
  esac
done

work=$(mktemp -d /tmp/veltrano-compare.XXXXXX)
trap 'git -C "$root" worktree remove --force "$work/base-src" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
git -C "$root" worktree add --detach "$work/base-src" "$base" >/dev/null 2>&1
targets=(--target bench_transfer --target bench_isotp --target kestrane-sim --target veltrano-cli)
for side in base head; do
  src=$root
  [ $side = base ] && src=$work/base-src
  cmake -S "$src" -B "$work/$side" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$work/$side" -j2 "${targets[@]}" >/dev/null
done

# The rows' wall times: "job adapter rate switch latency usb wall ..." lines; the key is all before
# wall. A row that failed has no wall time and is left out.
for ((round = 1; round <= rounds; round++)); do
  for side in base head; do
    "$work/$side/bench/bench_transfer" "${bench_options[@]}" 2>/dev/null |
      awk -v side=$side '$1 ~ /^(upload|flash)$/ && $7 ~ /^[0-9.]+$/ { print side, $1"/"$2"/"$3"/"$4"/"$5"/"$6, $7 }'
  done
done >"$work/rows"

echo "transfer rows, median wall seconds of $rounds rounds (base $(git -C "$root" rev-parse --short "$base"), head this tree)"
awk '
  { times[$2, $1] = times[$2, $1] " " $3; if (!($2 in seen)) { seen[$2] = 1; order[++n] = $2 } }
  function median(list,   v, k, i, j, t) {
    k = split(list, v, " ")
    for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
    return k % 2 ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2
  }
  END {
    printf "%-40s %9s %9s %8s\n", "row", "base s", "head s", "change"
    for (i = 1; i <= n; i++) {
      b = median(times[order[i], "base"]); h = median(times[order[i], "head"])
      printf "%-40s %9.3f %9.3f %+7.1f%%\n", order[i], b, h, (b > 0 ? 100 * (h - b) / b : 0)
    }
  }' "$work/rows"

command -v valgrind >/dev/null || "$root/scripts/install-deps.sh" valgrind >/dev/null
echo
echo "bench_isotp under callgrind: instructions per adapter line"
for side in base head; do
  out=$work/callgrind.$side
  (cd "$work" && valgrind --tool=callgrind --callgrind-out-file="$out" "$work/$side/bench/bench_isotp" >"$work/isotp.$side" 2>&1) || true
  # No early exit in awk: callgrind_annotate would die of a broken pipe and, with pipefail, the script.
  instructions=$(callgrind_annotate "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ && !found { gsub(",", "", $1); print $1; found = 1 }' || true)
  lines=$(awk '/^adapter lines/ && !found { print $3; found = 1 }' "$work/isotp.$side")
  if [ -n "$instructions" ] && [ -n "$lines" ] && [ "$lines" -gt 0 ]; then
    echo "$side: $((instructions / lines)) per line ($instructions instructions, $lines lines)"
  else
    echo "$side: not measured (see the benchmark's output below)"
    cat "$work/isotp.$side"
  fi
done
