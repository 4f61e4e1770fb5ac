#!/usr/bin/env bash
# Drives veltrano-cli's bash completion the way bash does on TAB: COMP_WORDS, COMP_CWORD,
# COMP_LINE and COMP_POINT set, the completion function called, COMPREPLY checked. Every
# command and option that 'veltrano-cli --help' lists must be offered.
#
#   completion.sh COMPLETION_FILE VELTRANO_CLI
set -uo pipefail
# Both are used from a scratch folder, so relative paths are made absolute first.
completion_file=$(realpath -- "$1")
cli=$2
[[ $cli == */* ]] && cli=$(realpath -- "$cli")
bash_completion=${BASH_COMPLETION:-/usr/share/bash-completion/bash_completion}
if [ ! -r "$bash_completion" ]; then
  echo "FAIL: $bash_completion not found (Debian package bash-completion)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch fw.bin fw2.bin image.BIN package.dfu notes.txt trace.log
mkdir firmware
# A port that 'veltrano-cli ports' lists on any machine, serial hardware or not.
touch "$work/sim0"
export VELTRANO_EXTRA_PORTS="$work/sim0"

# shellcheck source=/dev/null
source "$bash_completion"
# shellcheck source=/dev/null
source "$completion_file"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# complete WORD... : the words of the command line as bash splits them, the last one being the
# word under the cursor (empty after a space). Bash splits "--adapter=els" into "--adapter", "="
# and "els" with nothing between them on the line. Leaves the offers in COMPREPLY.
complete_words() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$1
  local i
  for ((i = 1; i < ${#COMP_WORDS[@]}; i++)); do
    if [ "${COMP_WORDS[i]}" = "=" ] || [ "${COMP_WORDS[i - 1]}" = "=" ]; then
      COMP_LINE+=${COMP_WORDS[i]}
    else
      COMP_LINE+=" ${COMP_WORDS[i]}"
    fi
  done
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  local previous=""
  [ "$COMP_CWORD" -gt 0 ] && previous=${COMP_WORDS[COMP_CWORD - 1]}
  _veltrano_cli "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "$previous"
}

offers() {
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

# expect "OFFERS" WORD... : exactly these offers, in any order.
expect() {
  local wanted=$1
  shift
  complete_words "$@"
  local got
  got=$(offers)
  wanted=$(printf '%s\n' $wanted | sort | tr '\n' ' ' | sed 's/ $//')
  [ "$got" = "$wanted" ] || fail "'${*}': expected [$wanted], got [$got]"
}

# includes WORD WORD... : the first word is among the offers for the rest.
includes() {
  local wanted=$1
  shift
  complete_words "$@"
  printf '%s\n' "${COMPREPLY[@]}" | grep -qxF -- "$wanted" || fail "'${*}': [$wanted] not offered, got [$(offers)]"
}

complete -p veltrano-cli >/dev/null 2>&1 || fail "no completion registered for veltrano-cli"

help=$("$cli" --help) || { echo "FAIL: $cli --help" >&2; exit 1; }
# The options are the terms of the Options section (text before the first run of two spaces),
# the commands the first words of the Commands section's unindented-by-two lines.
options=$(printf '%s\n' "$help" | sed -n '/^Options:/,/^$/p' | grep -E '^  -' | sed -E 's/^  //; s/  .*//' |
  grep -oE '(^|[ ,])-{1,2}[A-Za-z0-9][-A-Za-z0-9]*' | tr -d ' ,')
commands=$(printf '%s\n' "$help" | sed -n '/^Commands:/,/^$/p' | grep -E '^  [a-z]' | awk '{print $1}')
[ -n "$options" ] || fail "no options found in --help"
[ -n "$commands" ] || fail "no commands found in --help"

# Every command and every option the help lists: the commands first, the options wherever an
# option may stand.
expect "$commands" "$cli" ""
expect "$options" "$cli" "-"
expect "$options" "$cli" flash package.dfu "-"
expect "$options" "$cli" --json info --port "$work/sim0" "-"

# Prefixes narrow the offers.
expect "remove reboot records restart-bootloader" "$cli" re
expect "--adapter" "$cli" --ad
expect "upload" "$cli" --port "$work/sim0" --baud 0 up

# Option values: the adapter kinds, the ports 'veltrano-cli ports' prints, nothing for numbers.
expect "auto elm327 els27" "$cli" info --adapter ""
expect "els27" "$cli" info --adapter els
expect "auto elm327 els27" "$cli" info --adapter = ""
expect "elm327" "$cli" info --adapter = elm
expect "flash" "$cli" records --job fl
includes "$work/sim0" "$cli" info --port ""
expect "$work/sim0" "$cli" info --port "$work/s"
expect "" "$cli" info --timeout ""
expect "" "$cli" info --baud ""

# Files: firmware files for upload and pack, packages for flash and pack's --output; directories
# to walk into; the command after its file takes no more files.
expect "firmware fw.bin fw2.bin image.BIN" "$cli" upload ""
expect "fw.bin fw2.bin" "$cli" upload --port "$work/sim0" fw
expect "firmware package.dfu" "$cli" flash ""
expect "firmware package.dfu" "$cli" flash --launch ""
expect "firmware fw.bin fw2.bin image.BIN" "$cli" pack ""
expect "firmware package.dfu" "$cli" pack fw.bin --board 7 --output ""
expect "" "$cli" upload fw.bin ""
expect "" "$cli" info ""

if [ "$failures" -ne 0 ]; then
  echo "$failures completion checks failed" >&2
  exit 1
fi
echo "completion: $(echo "$commands" | wc -w) commands, $(echo "$options" | wc -w) options and the value and file offers checked"
