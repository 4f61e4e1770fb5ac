#!/usr/bin/env bash
# Builds everything (the program, kestrane-sim, the tests) with AddressSanitizer and
# UndefinedBehaviorSanitizer in a build directory of its own, then runs every test: a
# use-after-free, a leak in our code or undefined behaviour fails the run instead of passing
# unnoticed in the ordinary build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$root/build-sanitize}

# Exported before the build as well, because the build itself runs an instrumented tool (the
# desktop icon is drawn by veltrano-make-icon). abort_on_error and halt_on_error make the first
# report fail whatever hit it; the suppressions cover only leaks inside system libraries.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp"
export QT_QPA_PLATFORM=offscreen

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DVELTRANO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure -j2
