#!/usr/bin/env bash
# Redraws resources/veltrano.ico from resources/artwork/veltrano-icon.svg.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target veltrano-make-icon -j2
"$build/tools/veltrano-make-icon" "$root/resources/artwork/veltrano-icon.svg" "$root/resources/veltrano.ico"
echo "wrote $root/resources/veltrano.ico"
