#!/usr/bin/env bash
# Renders a manual page as man shows it and checks that every entry of the program's --help
# (each option, command and exit status, in its section) is on the page, and that man reports
# no formatting problem.
#
#   manpage.sh PAGE PROGRAM [ARGUMENT...]
set -uo pipefail
page=$1
shift

help=$("$@" --help 2>/dev/null) || { echo "FAIL: $* --help" >&2; exit 1; }
warnings=$(mktemp)
trap 'rm -f "$warnings"' EXIT
# Wide enough that no term is broken; bold and underline overstrikes and typographic dashes
# removed, so that the page compares with plain --help text.
rendered=$(LC_ALL=C.UTF-8 MANWIDTH=200 man --warnings -E UTF-8 -l "$page" 2>"$warnings" |
  sed -e 's/.\x08//g' -e 's/\xe2\x80\x90/-/g' -e 's/\xe2\x88\x92/-/g')
failures=0
if [ -s "$warnings" ]; then
  echo "FAIL: man reports problems with $page:" >&2
  cat "$warnings" >&2
  failures=$((failures + 1))
fi
[ -n "$rendered" ] || { echo "FAIL: $page renders empty" >&2; exit 1; }

# The rendered section of the page with the given heading.
page_section() {
  printf '%s\n' "$rendered" | awk -v heading="$1" '
    /^[A-Z]/ { inside = ($0 == heading); next }
    inside'
}

checked=0
section=""
while IFS= read -r line; do
  if [[ $line =~ ^([A-Z][A-Za-z\ ]*):$ ]]; then
    section=${BASH_REMATCH[1]}
    text=$(page_section "${section^^}")
    [ -n "$text" ] || { echo "FAIL: no section ${section^^} for '$line' of --help" >&2; failures=$((failures + 1)); }
    continue
  fi
  [ -n "$section" ] || continue
  [[ $line =~ ^\ \ [^\ ] ]] || continue
  # The entry's term, without its value placeholders; every word of it must start a term line.
  term=$(printf '%s\n' "${line:2}" | sed -E 's/  .*//; s/<[^>]*>//g; s/ +$//')
  for word in ${term//,/ }; do
    if ! printf '%s\n' "$text" | grep -qE -- "^ +(.*[ ,])?$(printf '%s' "$word" | sed 's/[][\.*^$]/\\&/g')([ ,]|$)"; then
      echo "FAIL: '$word' ($section) is not on the page" >&2
      failures=$((failures + 1))
    fi
  done
  checked=$((checked + 1))
done <<<"$help"

if [ "$failures" -ne 0 ]; then
  echo "$failures manual page checks failed" >&2
  exit 1
fi
echo "$(basename "$page"): all $checked entries of '$(basename "$1") --help' are on the page"
