#!/usr/bin/env bash
# Redraws resources/veltrano.ico from resources/artwork/veltrano-icon.svg, and the updater's
# window icon resources/images/dfu_icon.png from resources/artwork/updater-icon.svg.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target veltrano-make-icon -j2
"$build/tools/veltrano-make-icon" "$root/resources/artwork/veltrano-icon.svg" "$root/resources/veltrano.ico"
echo "wrote $root/resources/veltrano.ico"
QT_QPA_PLATFORM=offscreen "$build/tools/veltrano-make-icon" --png 64 "$root/resources/artwork/updater-icon.svg" \
  "$root/resources/images/dfu_icon.png"
echo "wrote $root/resources/images/dfu_icon.png"
