#!/usr/bin/env bash
# Fuzzes the adapter-output handling, the ISO-TP reassembly, both protocol clients and the two
# file checks with libFuzzer, each for a given time, starting from the committed seed corpus.
#
#   scripts/fuzz.sh [--seconds N] [target ...]     (default: 60 s for each of all targets)
#
# New inputs the fuzzer finds go to build-fuzz/corpus/<target>; an input that crashes, leaks or
# breaks a check is kept as build-fuzz/artifacts/<target>-crash-... and fails the run. To keep one
# for good, copy it into tests/fuzz/corpus/<target>: the ordinary test run replays that folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=60
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 1 ;;
    *) targets+=("$1"); shift ;;
  esac
done
# Every target is one tests/fuzz/fuzz_*.cpp.
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$root"/tests/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

"$root/scripts/install-deps.sh" clang libclang-rt-14-dev
cmake -S "$root" -B "$build" -DVELTRANO_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzz_targets

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp"
mkdir -p "$build/artifacts" "$build/logs"
failed=0
report=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  mkdir -p "$work"
  log="$build/logs/$t.log"
  echo "fuzz.sh: $t for ${seconds} s"
  # -timeout: an input that takes this long is a hang, and is reported like a crash.
  if "$build/tests/fuzz/$t" "$work" "$root/tests/fuzz/corpus/$t" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1; then
    verdict=clean
  else
    verdict=FAILED
    failed=1
    grep -E "ERROR|fuzz check failed|SUMMARY|Test unit written" "$log" | head -20 >&2 || true
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  report+=("$(printf '%-22s %12s %10s %8s  %s' "$t" "${runs:-?}" "${added:-?}" "${cov:-?}" "$verdict")")
done
printf '\n%-22s %12s %10s %8s  %s\n' target executions new-inputs edges result
printf '%s\n' "${report[@]}"
exit $failed
