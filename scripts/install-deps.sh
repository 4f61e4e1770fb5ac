#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, and any named on the
# command line. With --qt6 it also installs what building against Qt 6 needs
# (cmake -DVELTRANO_QT_MAJOR=6); the Qt 5 packages stay, as the default build and the .deb use them.
# Quick and silent when everything is there; runs apt-get update first otherwise,
# because a fresh machine may start with stale package lists.
set -euo pipefail

packages=(
  cmake g++ make                       # toolchain
  qtbase5-dev                          # Qt Core, Gui, Widgets, Test
  libqt5serialport5-dev                # Qt SerialPort
  libqt5svg5-dev                       # Qt Svg
  libqt5sql5-sqlite                    # Qt SQL's SQLite driver (the Sql headers come with qtbase5-dev)
  qttools5-dev qttools5-dev-tools      # Qt LinguistTools: lupdate, lrelease
  qttranslations5-l10n                 # Qt's own catalogues (qt_ru.qm, ...)
  fonts-material-design-icons-iconfont # the icon font and its glyph table
  bash-completion man-db               # the tests of veltrano-cli's completion and manual pages
)
qt6_packages=(
  qt6-base-dev libgl-dev               # Qt Core, Gui, Widgets, Network, Test; Gui's CMake files want OpenGL
  qt6-serialport-dev                   # Qt SerialPort
  qt6-svg-dev                          # Qt Svg
  libqt6sql6-sqlite                    # Qt SQL's SQLite driver
  qt6-tools-dev qt6-tools-dev-tools    # Qt LinguistTools' CMake files
  qt6-l10n-tools                       # lupdate, lrelease
  qt6-translations-l10n                # Qt's own catalogues
)
# Extra packages a script needs beyond these (scripts/fuzz.sh: clang and its fuzzer runtime;
# scripts/test.sh: the package checkers).
for arg in "$@"; do
  if [ "$arg" = --qt6 ]; then
    packages+=("${qt6_packages[@]}")
  else
    packages+=("$arg")
  fi
done

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
