#!/usr/bin/env bash
# Builds the program and the simulator, puts a simulated adapter with a Kestrane device on a
# pseudo-terminal, and opens the manager with that port selected. Settings of the demo live in
# a scratch folder, so the user's own settings stay untouched.
# Without a display, the whole job runs through veltrano-cli instead: info, upload, select, switch
# to the bootloader, a dry run of the flash, the flash with launch, info again and the records the
# jobs left; it ends with a summary and exits non-zero if the device did not confirm any step.
# --tcp: the same over TCP, with the simulator serving a Wi-Fi adapter on 127.0.0.1 (tcp://HOST:PORT
# stands wherever a serial port would).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
tcp=0
if [ "${1:-}" = --tcp ]; then
  tcp=1
  shift
fi

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target veltrano veltrano-cli kestrane-sim veltrano-demo-files

demo=$(mktemp -d)
# A Wi-Fi adapter's bridge runs at 38400 bit/s for good; the simulator picks a free TCP port and names
# it in its ready line.
if [ $tcp = 1 ]; then where=(--tcp 0); else where=(--link "$demo/kestrane0" --baud 38400); fi
"$build/tools/kestrane-sim/kestrane-sim" "${where[@]}" --adapter els27 \
  --device kestrane --mode app --state "$demo/device" >"$demo/sim.out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; rm -rf "$demo"' EXIT
for _ in $(seq 50); do grep -q ready "$demo/sim.out" && break; sleep 0.1; done
grep -q ready "$demo/sim.out" || { echo "demo: the simulator did not start" >&2; cat "$demo/sim.out" >&2; exit 1; }
port=$(sed -n 's/^kestrane-sim ready //p' "$demo/sim.out" | head -n 1)

export VELTRANO_EXTRA_PORTS="$port"
export XDG_CONFIG_HOME="$demo/config"
# The jobs' records go to the demo's folder too, not to the user's own records.
export VELTRANO_RECORDS="$demo/records.sqlite"
mkdir -p "$XDG_CONFIG_HOME/Quorvane"
cat >"$XDG_CONFIG_HOME/Quorvane/Veltrano.conf" <<CONF
[IO]
Port=$port
Baud=38400
Mode=els27
CONF

cli() { "$build/cli/veltrano-cli" --port "$port" --baud 38400 --adapter els27 "$@"; }
if [ $tcp = 1 ]; then kind="Wi-Fi ELS27 adapter"; else kind="ELS27 adapter"; fi
echo "demo: simulated $kind with a Kestrane device on $port"

# The demo's inputs, made by the project's own tools: a firmware file for the manager and a
# package for the bootloader, built for the simulated board.
"$build/tools/demo-files/veltrano-demo-files" "$demo"
"$build/cli/veltrano-cli" pack "$demo/demo-image.bin" --board 0x4B455331 --info "Kestrane demo firmware 2.5" \
  --output "$demo/demo.dfu" >/dev/null
cli select >/dev/null # a device with a (still empty) active selection

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: files for you to use: $demo/FW_DEMO.bin (drop on the manager), $demo/demo.dfu (drop on the updater)"
  echo "demo: click Connect, drop FW_DEMO.bin, tick it and Apply Selection, then Firmware Upgrade and drop demo.dfu"
  "$build/veltrano" "$@"
  exit 0
fi

step() { echo; echo "== $1"; }
step "the device as the manager sees it"
cli info
step "upload the firmware file (checked, sliced, verified by MD5 on the device)"
cli upload "$demo/FW_DEMO.bin"
step "make it the active file"
cli select FW_DEMO.bin
step "switch the device to its bootloader"
cli dfu
sleep 0.5 # the device restarts into its bootloader
cli bootloader
step "check everything for the flash without erasing anything"
cli flash "$demo/demo.dfu" --dry-run
step "flash the package, then launch the new firmware"
cli flash "$demo/demo.dfu" --launch
sleep 0.5 # the application starts
step "the device afterwards"
cli info
step "the records the jobs left"
"$build/cli/veltrano-cli" records
echo
echo "demo: verified: 102112-byte firmware slice stored with matching MD5, active.cfg written,"
echo "demo:           bootloader reached, $(stat -c %s "$demo/demo-image.bin")-byte image flashed with the finalise confirmed,"
echo "demo:           application started and answering."
