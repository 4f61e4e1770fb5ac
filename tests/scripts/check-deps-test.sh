#!/usr/bin/env bash
# The dependency check must pass on the tree as it is and fail on each kind of wrong dependency
# planted in a copy of it: a window library linked by veltrano-cli, an include that climbs into
# another folder, a sibling's header, a window header in veltrano-cli, and the simulator using the
# program by include or by link.
#
#   check-deps-test.sh SOURCE_ROOT
set -euo pipefail
source_root=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

copy=$scratch/tree
mkdir -p "$copy"
for part in elm platform records widgets manager updater app cli resources tools scripts; do
  cp -r "$source_root/$part" "$copy/"
done
pristine=$scratch/pristine
cp -r "$copy" "$pristine"

failures=0
expect() { # expect pass|fail MESSAGE-PATTERN DESCRIPTION
  local want=$1 pattern=$2 what=$3 output status=0
  output=$("$copy/scripts/check-deps.sh" "$copy" 2>&1) || status=$?
  if [ "$want" = pass ] && [ "$status" -ne 0 ]; then
    echo "FAIL: $what: the check failed:"$'\n'"$output"
    failures=$((failures + 1))
  elif [ "$want" = fail ] && { [ "$status" -eq 0 ] || ! grep -qE -- "$pattern" <<<"$output"; }; then
    echo "FAIL: $what: expected a complaint matching '$pattern', got (exit $status):"$'\n'"$output"
    failures=$((failures + 1))
  else
    echo "ok: $what"
  fi
  rm -rf "$copy"
  cp -r "$pristine" "$copy"
}

expect pass '' "the tree as it is"

sed -i 's/^target_link_libraries(veltrano-cli PRIVATE /&veltrano_manager /' "$copy/cli/CMakeLists.txt"
expect fail 'veltrano-cli must not link veltrano_manager' "veltrano-cli linking the manager window's library"

sed -i '0,/^#include/s//#include "..\/updater\/hiddfu_worker.h"\n&/' "$copy/manager/canworker.cpp"
expect fail 'canworker.cpp:[0-9]+: #include "../updater/hiddfu_worker.h" climbs out of manager/' "an include climbing out of manager/"

sed -i '0,/^#include/s//#include "hiddfu_worker.h"\n&/' "$copy/manager/canworker.cpp"
expect fail 'veltrano_managercore must not include hiddfu_worker.h' "the manager's core including the updater's"

sed -i '0,/^#include/s//#include "managerwindow.h"\n&/' "$copy/cli/managerjob.cpp"
expect fail 'veltrano-cli must not include managerwindow.h' "veltrano-cli including a window"

sed -i '0,/^#include/s//#include "..\/..\/elm\/canframe.h"\n&/' "$copy/tools/kestrane-sim/hex.cpp"
expect fail 'hex.cpp:[0-9]+: #include "../../elm/canframe.h" climbs out' "the simulator reaching into elm/"

sed -i '0,/^#include/s//#include <elm327io.h>\n&/' "$copy/tools/kestrane-sim/hex.cpp"
expect fail 'kestrane-sim(-md5check)? must not include elm327io.h' "the simulator including the link's header"

echo 'target_link_libraries(kestrane-sim PRIVATE veltrano_elm)' >>"$copy/tools/kestrane-sim/CMakeLists.txt"
expect fail 'kestrane-sim must not link veltrano_elm' "the simulator linking the link's library"

sed -i 's/^target_link_libraries(veltrano_elm PUBLIC /&veltrano_widgets /' "$copy/elm/CMakeLists.txt"
expect fail 'veltrano_elm must not link veltrano_widgets' "the link linking a higher library"

touch "$copy/manager/stray.cpp"
expect fail 'manager/stray.cpp: belongs to no target' "a source no target builds"

echo
if [ "$failures" -ne 0 ]; then
  echo "$failures of the dependency check's cases failed"
  exit 1
fi
echo "every planted wrong dependency was caught"
