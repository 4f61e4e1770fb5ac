#!/usr/bin/env bash
# Checks that the dependencies between the program's parts point one way. Each CMake target of the
# program may use only the targets it is allowed below (and what those may use in turn): the adapter
# link (elm/) and the platform queries (platform/) know nothing above them; the job records
# (records/) know only the version; the widgets know only the platform and the records; the protocol
# cores know only the link and the records; the windows know their own core, the widgets and
# the platform, never each other; veltrano-cli knows the cores and no window; the simulator and the
# other tools know nothing of the program at all.
#
# Checked: every #include of a header some target lists (by the name it is included with; the
# folders are include directories, and uic names a form's header ui_FORM.h), every include that
# climbs out of its folder ("../x.h"), every target_link_libraries line, and that every source file
# of the program belongs to a target.
#
#   scripts/check-deps.sh [ROOT]   (prints what breaks the rule; exits 1 if anything does)
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cd "$root"

# TARGET: the targets of the program it may use directly.
allowed=(
  "veltrano_version:"
  "veltrano_resources:"
  "veltrano_platform:"
  "veltrano_elm:"
  "veltrano_records: veltrano_version"
  "veltrano_widgets: veltrano_platform veltrano_records"
  "veltrano_managercore: veltrano_elm veltrano_records"
  "veltrano_updatercore: veltrano_elm veltrano_records"
  "veltrano_manager: veltrano_managercore veltrano_widgets veltrano_platform veltrano_version"
  "veltrano_updater: veltrano_updatercore veltrano_widgets veltrano_platform veltrano_version"
  "veltrano_shell: veltrano_manager veltrano_updater veltrano_widgets veltrano_platform veltrano_version"
  "veltrano: veltrano_shell veltrano_resources"
  "veltrano-cli: veltrano_managercore veltrano_updatercore veltrano_version veltrano_records"
  "kestrane-sim:"
  "kestrane-sim-md5check:"
  "veltrano-make-icon:"
)
program_folders=(elm platform records widgets manager updater app cli)
checked_folders=("${program_folders[@]}" resources tools/kestrane-sim tools/make-icon)

declare -A uses owner_of target_folder
for entry in "${allowed[@]}"; do
  uses[${entry%%:*}]=${entry#*:}
done

# Everything a target may use: its allowed targets and, in turn, theirs.
closure() {
  local seen=" " queue=($1) next
  while [ ${#queue[@]} -gt 0 ]; do
    next=${queue[0]}
    queue=("${queue[@]:1}")
    case "$seen" in *" $next "*) continue ;; esac
    seen+="$next "
    queue+=(${uses[$next]:-})
  done
  echo "$seen"
}

# The CMake files as "source TARGET FILE" and "link TARGET LIBRARY" lines: comments dropped,
# parentheses made words of their own, so a call spread over several lines reads as one.
cmake_facts() {
  local folder=$1
  sed 's/#.*//; s/(/ ( /g; s/)/ ) /g' "$folder/CMakeLists.txt" | tr -s ' \t\r\n' '\n' | awk -v folder="$folder" '
    call == "" && ($0 == "add_library" || $0 == "add_executable" || $0 == "target_link_libraries") { call = $0; next }
    call != "" && $0 == "(" { depth++; if (depth == 1) { name = ""; } next }
    call != "" && $0 == ")" { depth--; if (depth == 0) call = ""; next }
    call != "" && depth == 1 && name == "" { name = $0; if (call != "target_link_libraries") print "target", name, folder; next }
    call == "target_link_libraries" && depth == 1 && $0 !~ /^(PUBLIC|PRIVATE|INTERFACE)$/ { print "link", name, $0; next }
    (call == "add_library" || call == "add_executable") && depth == 1 && $0 ~ /\.(cpp|h|ui)$/ { print "source", name, folder "/" $0 }
  '
}

facts=$(for folder in "${checked_folders[@]}" tools; do
  if [ -f "$folder/CMakeLists.txt" ]; then cmake_facts "$folder"; fi
done)
# The version header is generated, and belongs to the target that makes it known.
owner_of[veltranoversion.h]=veltrano_version

declare -A target_of_file
while read -r kind target what; do
  case $kind in
  target) target_folder[$target]=$what ;;
  source)
    target_of_file[$what]=$target
    name=${what##*/}
    case $name in *.ui) name="ui_${name%.ui}.h" ;; esac
    [[ $name == *.h ]] && owner_of[$name]=$target
    ;;
  esac
done <<<"$facts"

declare -A may_use
for target in "${!uses[@]}"; do
  may_use[$target]=$(closure "${uses[$target]}")
done

failed=0
complain() {
  echo "$1" >&2
  failed=1
}

# Links.
while read -r kind target library; do
  [ "$kind" = link ] || continue
  [ -n "${uses[$library]+set}" ] || continue
  [ "$library" = "$target" ] && continue
  case "${may_use[$target]}" in *" $library "*) continue ;; esac
  complain "${target_folder[$target]}/CMakeLists.txt: $target must not link $library"
done <<<"$facts"

# Includes, file by file.
for folder in "${checked_folders[@]}"; do
  for file in "$folder"/*.h "$folder"/*.cpp; do
    [ -e "$file" ] || continue
    target=${target_of_file[$file]:-}
    if [ -z "$target" ]; then
      complain "$file: belongs to no target of $folder/CMakeLists.txt"
      continue
    fi
    may=${may_use[$target]:-}
    while IFS=: read -r line included; do
      case "$included" in
      ../* | */../*)
        complain "$file:$line: #include \"$included\" climbs out of $folder/"
        continue
        ;;
      esac
      header_owner=${owner_of[${included##*/}]:-}
      [ -n "$header_owner" ] || continue
      [ "$header_owner" = "$target" ] && continue
      # A header of the same name among the target's own files is its own.
      [ -n "${target_of_file[$folder/${included##*/}]:-}" ] && continue
      case "$may" in *" $header_owner "*) continue ;; esac
      complain "$file:$line: $target must not include $included (of $header_owner)"
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]' "$file" |
      sed -E 's/^([0-9]+):[^<"]*[<"]([^>"]+)[>"].*/\1:\2/' || true)
  done
done

if [ "$failed" -ne 0 ]; then
  echo "check-deps: dependencies point the wrong way (see above)" >&2
  exit 1
fi
echo "check-deps: dependencies point one way"
