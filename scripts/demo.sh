#!/usr/bin/env bash
# Builds the program and starts it. Without a display it runs headless for a few
# seconds, which at least shows that it starts and ends cleanly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target veltrano

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: no display; running veltrano headless for 5 seconds"
  QT_QPA_PLATFORM=offscreen timeout 5 "$build/veltrano" "$@" || [ $? -eq 124 ]
  echo "demo: veltrano started and was stopped"
else
  exec "$build/veltrano" "$@"
fi
