#!/usr/bin/env bash
# Checks that the dependencies between the program's folders point one way: the adapter link
# (elm/), the platform queries (platform/) and the shared widgets (widgets/) know nothing above
# them; the manager and the updater know neither each other nor the shell (app/). Both the
# #include lines and the CMake targets a folder links are checked.
#
#   scripts/check-deps.sh        (prints what breaks the rule; exits 1 if anything does)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# FOLDER: the folders it must not use.
rules=(
  "platform: elm widgets manager updater app cli"
  "elm: platform widgets manager updater app cli"
  "widgets: elm manager updater app cli"
  "manager: updater app cli"
  "updater: manager app cli"
  "cli: platform widgets app"
  "app: cli"
)

# The headers a folder owns, by the name others include them with (the folders are include
# directories, so an include names the file alone): its own, and those uic makes of its forms.
headers_of() {
  local folder=$1 file
  for file in "$folder"/*.h; do
    [ -e "$file" ] && basename "$file"
  done
  for file in "$folder"/*.ui; do
    [ -e "$file" ] && echo "ui_$(basename "$file" .ui).h"
  done
  return 0
}

# The CMake targets a folder defines.
targets_of() {
  [ -f "$1/CMakeLists.txt" ] || return 0
  sed -n -E 's/^[[:space:]]*add_(library|executable)\(([A-Za-z0-9_.+-]+).*/\2/p' "$1/CMakeLists.txt"
}

failed=0
for rule in "${rules[@]}"; do
  folder=${rule%%:*}
  own=$(headers_of "$folder")
  for other in ${rule#*:}; do
    [ -d "$other" ] || continue
    # A header of the same name in the folder itself is the folder's own.
    for header in $(headers_of "$other"); do
      grep -qxF "$header" <<<"$own" && continue
      pattern="^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]${header//./\\.}[>\"]"
      while IFS= read -r hit; do
        echo "$hit: $folder/ must not include $other/$header" >&2
        failed=1
      done < <(grep -nE "$pattern" "$folder"/*.h "$folder"/*.cpp 2>/dev/null || true)
    done
    # A target name is whole when no character a target name may hold touches it.
    for target in $(targets_of "$other"); do
      pattern="(^|[^A-Za-z0-9_.+-])${target//./\\.}([^A-Za-z0-9_.+-]|\$)"
      while IFS= read -r hit; do
        echo "$folder/CMakeLists.txt:$hit: $folder/ must not use $other/'s target $target" >&2
        failed=1
      done < <(sed 's/#.*//' "$folder/CMakeLists.txt" | grep -nE -- "$pattern" || true)
    done
  done
done

if [ "$failed" -ne 0 ]; then
  echo "check-deps: dependencies point the wrong way (see above)" >&2
  exit 1
fi
echo "check-deps: dependencies point one way"
