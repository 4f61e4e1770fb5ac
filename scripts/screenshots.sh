#!/usr/bin/env bash
# Regenerates the README's pictures, docs/manager.png and docs/updater.png: builds
# veltrano-screenshots and runs it headless against the device simulator.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target veltrano-screenshots
# A private settings folder, so the pictures never depend on the user's own settings.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$scratch" XDG_RUNTIME_DIR="$scratch" \
  "$build/tests/veltrano-screenshots" "$root/docs"
