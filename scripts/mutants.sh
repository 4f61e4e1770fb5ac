#!/usr/bin/env bash
# Replays the faults planted by hand under tests/mutants/ and shows which test
# catches each one. Every planted fault must be caught: a trimmed or rewritten
# test suite is checked this way before it lands.
#
#   scripts/mutants.sh [--work DIR] [--jobs N] [--pick N --seed HEX] [MUTANT ...]
#
# A MUTANT is a patch file, its name, or its number. --pick N replays N of them only, chosen
# from HEX (a commit hash): spread over the list and moved on by each new hash, so that a few
# per run replay every one over time.
#
# A mutant is a small patch (patch -p1 at the repository's root). Its header,
# before the first "diff" line, says what it breaks and names the tests that
# should notice first:
#
#   What: the reply-count digit is off by one
#   Tests: tst_elm327io tst_linkfaults
#
# Those tests are built and run first; when they all pass, the whole suite
# runs. The mutant counts as caught when any test fails or times out. The
# sources are copied to a scratch folder, so the working tree is never touched.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="$root/build-mutants"
jobs=2
pick=0
seed=""
selected=()

while [[ $# -gt 0 ]]; do
    case "$1" in
    --work) work="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --pick) pick="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    -h | --help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "mutants.sh: unknown option $1" >&2; exit 1 ;;
    *) selected+=("$1"); shift ;;
    esac
done

mutants=()
if [[ ${#selected[@]} -eq 0 ]]; then
    mutants=("$root"/tests/mutants/*.patch)
else
    for name in "${selected[@]}"; do
        if [[ -f "$name" ]]; then mutants+=("$(cd "$(dirname "$name")" && pwd)/$(basename "$name")")
        elif [[ -f "$root/tests/mutants/${name%.patch}.patch" ]]; then mutants+=("$root/tests/mutants/${name%.patch}.patch")
        else
            numbered=("$root"/tests/mutants/"$name"-*.patch)
            [[ -f "${numbered[0]}" ]] || { echo "mutants.sh: no mutant $name" >&2; exit 1; }
            mutants+=("${numbered[0]}")
        fi
    done
fi

if [[ $pick -gt 0 && $pick -lt ${#mutants[@]} ]]; then
    [[ "$seed" =~ ^[0-9a-fA-F]+$ ]] || { echo "mutants.sh: --pick needs --seed HEX" >&2; exit 1; }
    count=${#mutants[@]}
    start=$(( 16#${seed:0:7} % count ))
    chosen=()
    for ((i = 0; i < pick; i++)); do
        chosen+=("${mutants[$(( (start + i * count / pick) % count ))]}")
    done
    mutants=("${chosen[@]}")
    echo "replaying $pick of $count planted faults, chosen from $seed"
    echo
fi

src="$work/src"
build="$work/build"
mkdir -p "$src" "$build"
# A fresh copy each run, with the files' times kept, so that only what changed is rebuilt.
# Times kept also mean that a file brought in by a merge can be older than its object, so
# the build is kept only while the tree it was made from is the same.
stamp="$(cd "$root" && { git rev-parse HEAD; git status --porcelain; git diff HEAD; } 2>/dev/null | md5sum)"
if [[ ! -f "$work/tree.stamp" || "$(cat "$work/tree.stamp")" != "$stamp" ]]; then
    rm -rf "$build"
    mkdir -p "$build"
    echo "$stamp" >"$work/tree.stamp"
fi
rm -rf "$src"
mkdir -p "$src"
tar -C "$root" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$src" -xf -
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/configure.log" 2>&1 ||
    { echo "mutants.sh: configuring failed, see $work/configure.log" >&2; exit 1; }

export QT_QPA_PLATFORM=offscreen
applied=""
restore() { [[ -n "$applied" ]] && patch -s -R -p1 -d "$src" <"$applied" && applied=""; return 0; }
trap restore EXIT

# Runs the named tests (a ctest regex) and prints the first failing test's name.
first_failure() {
    local log="$1"
    shift
    (cd "$build" && ctest -j"$jobs" --timeout 120 --output-on-failure "$@" >"$log" 2>&1) && return 1
    grep -oE '[0-9]+ - [A-Za-z0-9_]+ \((Failed|Timeout|SEGFAULT|Subprocess aborted|Child aborted|Exception)' "$log" |
        head -n1 | sed -E 's/^[0-9]+ - ([^ ]+).*/\1/'
    return 0
}

printf '| mutant | what | caught by |\n|---|---|---|\n'
caught=0
total=0
for mutant in "${mutants[@]}"; do
    name="$(basename "$mutant" .patch)"
    what="$(sed -n 's/^What: //p' "$mutant" | head -n1)"
    tests="$(sed -n 's/^Tests: //p' "$mutant" | head -n1)"
    total=$((total + 1))
    log="$work/$name.log"
    if ! patch -s -p1 --dry-run -d "$src" <"$mutant" >/dev/null 2>&1; then
        printf '| %s | %s | **does not apply** |\n' "$name" "$what"
        continue
    fi
    patch -s -p1 -d "$src" <"$mutant"
    applied="$mutant"
    verdict=""
    targets=()
    for t in $tests; do targets+=(--target "$t"); done
    if [[ ${#targets[@]} -gt 0 ]] && ! cmake --build "$build" -j"$jobs" "${targets[@]}" >"$log.build" 2>&1; then
        verdict="**does not build**"
    elif [[ -n "$tests" ]] && failed="$(first_failure "$log" -R "^($(echo "$tests" | tr ' ' '|'))\$")"; then
        verdict="$failed"
    elif ! cmake --build "$build" -j"$jobs" >"$log.build" 2>&1; then
        verdict="**does not build**"
    elif failed="$(first_failure "$log")"; then
        verdict="$failed"
    else
        verdict="**survived**"
    fi
    [[ "$verdict" != \*\** ]] && caught=$((caught + 1))
    printf '| %s | %s | %s |\n' "$name" "$what" "$verdict"
    restore
done
echo
echo "caught $caught of $total"
[[ $caught -eq $total ]]
