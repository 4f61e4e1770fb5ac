#!/usr/bin/env bash
# Installs what is missing, builds everything, runs every test, checks the Debian package and
# runs the demo's whole job headless.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

# The package checkers and patch (for the planted faults) are needed here only, not for building.
"$root/scripts/install-deps.sh" lintian desktop-file-utils appstream patch
# The folders' dependencies point one way; a source check, so it runs before the long build.
"$root/scripts/check-deps.sh"
# Files and functions of a size a reader can hold in mind.
"$root/scripts/check-sizes.sh"
# Every planted fault still applies to the code as it stands, so that a replay tests the suite and
# not a patch gone stale when the code around it moved.
for mutant in "$root"/tests/mutants/*.patch; do
  patch -s -p1 --dry-run -d "$root" <"$mutant" >/dev/null ||
    { echo "planted fault no longer applies: $mutant (make it again against this code)" >&2; exit 1; }
done
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j2
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2

# The Debian package: built from this tree, checked by Debian's archive checker and the desktop
# validators, unpacked into a scratch root, and its programs, manual pages and completion used
# from there, so that a missing install rule, library or licence shows up here and not on a
# user's machine.
cpack -G DEB >/dev/null
deb=$(ls -t "$build"/veltrano_*.deb | head -n 1)
root_dir=$(mktemp -d)
trap 'rm -rf "$root_dir"' EXIT
dpkg-deb -x "$deb" "$root_dir"
passed=0
failed=0
# check WHAT COMMAND...: the command must succeed; its output is shown only when it does not.
check() {
  local what=$1 output
  shift
  if output=$("$@" 2>&1); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "package check failed: $what" >&2
    [ -z "$output" ] || printf '%s\n' "$output" | sed 's/^/  /' >&2
  fi
}
# silent COMMAND...: succeeds when the command succeeds and prints nothing at all (the checkers
# report hints and warnings without failing).
silent() {
  local output
  output=$("$@" 2>&1) || { printf '%s\n' "$output"; return 1; }
  [ -z "$output" ] || { printf '%s\n' "$output"; return 1; }
}
app_id=com.quorvane.veltrano
lintian_root=()
[ "$(id -u)" -ne 0 ] || lintian_root=(--allow-root)
check "lintian: no error, no warning" silent lintian --fail-on error,warning "${lintian_root[@]}" "$deb"
check "veltrano-cli --help" "$root_dir/usr/bin/veltrano-cli" --help
check "veltrano --version" env QT_QPA_PLATFORM=offscreen "$root_dir/usr/bin/veltrano" --version
check "desktop entry" silent desktop-file-validate "$root_dir/usr/share/applications/$app_id.desktop"
check "AppStream metadata" appstreamcli validate --no-net "$root_dir/usr/share/metainfo/$app_id.metainfo.xml"
check "AppStream metadata with its desktop entry" appstreamcli validate-tree --no-net "$root_dir"
check "128x128 icon" test -s "$root_dir/usr/share/icons/hicolor/128x128/apps/veltrano.png"
check "scalable icon" test -s "$root_dir/usr/share/icons/hicolor/scalable/apps/veltrano.svg"
check "copyright names the icon font's licence" \
  sh -c 'grep -q "^Files: MaterialIcons-Regular.ttf" "$1" && grep -q "^License: Apache-2.0" "$1"' \
  -- "$root_dir/usr/share/doc/veltrano/copyright"
check "man veltrano-cli" bash "$root/tests/packaging/manpage.sh" \
  "$root_dir/usr/share/man/man1/veltrano-cli.1.gz" "$root_dir/usr/bin/veltrano-cli"
check "man veltrano" env QT_QPA_PLATFORM=offscreen bash "$root/tests/packaging/manpage.sh" \
  "$root_dir/usr/share/man/man1/veltrano.1.gz" "$root_dir/usr/bin/veltrano"
check "bash completion of veltrano-cli" bash -c '
  source /usr/share/bash-completion/bash_completion && source "$1" &&
  COMP_WORDS=("$2" up) COMP_CWORD=1 COMP_LINE="$2 up" && COMP_POINT=${#COMP_LINE} &&
  _veltrano_cli "$2" up "$2" && [ "${COMPREPLY[*]}" = upload ]' \
  -- "$root_dir/usr/share/bash-completion/completions/veltrano-cli" "$root_dir/usr/bin/veltrano-cli"
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
