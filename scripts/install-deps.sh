#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, and any named on the
# command line.
# Quick and silent when everything is there; runs apt-get update first otherwise,
# because a fresh machine may start with stale package lists.
set -euo pipefail

packages=(
  cmake g++ make                       # toolchain
  qtbase5-dev                          # Qt Core, Gui, Widgets, Test
  libqt5serialport5-dev                # Qt SerialPort
  libqt5svg5-dev                       # Qt Svg
  qttools5-dev qttools5-dev-tools      # Qt LinguistTools: lupdate, lrelease
  qttranslations5-l10n                 # Qt's own catalogues (qt_ru.qm, ...)
  fonts-material-design-icons-iconfont # the icon font and its glyph table
  bash-completion man-db               # the tests of veltrano-cli's completion and manual pages
)
# Extra packages a script needs beyond these (scripts/fuzz.sh: clang and its fuzzer runtime;
# scripts/test.sh: the package checkers).
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
