#!/usr/bin/env bash
# Installs what is missing, builds everything, runs every test, checks the Debian package and
# runs the demo's whole job headless.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2

# The Debian package: built from this tree, unpacked into a scratch root, and its programs run
# from there, so that a missing install rule or library shows up here and not on a user's machine.
cpack -G DEB >/dev/null
deb=$(ls -t "$build"/veltrano_*.deb | head -n 1)
root_dir=$(mktemp -d)
trap 'rm -rf "$root_dir"' EXIT
dpkg-deb -x "$deb" "$root_dir"
passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "package check failed: $what" >&2
  fi
}
check "veltrano-cli --help" "$root_dir/usr/bin/veltrano-cli" --help
check "veltrano --version" env QT_QPA_PLATFORM=offscreen "$root_dir/usr/bin/veltrano" --version
check "desktop entry" test -s "$root_dir/usr/share/applications/com.quorvane.veltrano.desktop"
check "128x128 icon" test -s "$root_dir/usr/share/icons/hicolor/128x128/apps/veltrano.png"
check "scalable icon" test -s "$root_dir/usr/share/icons/hicolor/scalable/apps/veltrano.svg"
check "no test tools" sh -c "! dpkg-deb -c '$deb' | grep -Eq 'kestrane|tst_|bench|make-icon'"
echo "package check ($(basename "$deb")): $passed of $((passed + failed)) checks passed"
[ "$failed" -eq 0 ]

# The main job, as a newcomer runs it on a machine without a display.
env -u DISPLAY -u WAYLAND_DISPLAY BUILD_DIR="$build" "$root/scripts/demo.sh" >"$build/demo.log" 2>&1 || {
  cat "$build/demo.log" >&2
  echo "demo failed" >&2
  exit 1
}
echo "demo: the whole job completed (log: $build/demo.log)"
