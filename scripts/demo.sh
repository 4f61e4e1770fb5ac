#!/usr/bin/env bash
# Builds the program and the simulator, puts a simulated adapter with a Kestrane device on a
# pseudo-terminal, and opens the manager with that port selected. Settings of the demo live in
# a scratch folder, so the user's own settings stay untouched.
# Without a display, the device is shown through veltrano-cli and the window runs headless briefly.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target veltrano veltrano-cli kestrane-sim

demo=$(mktemp -d)
port="$demo/kestrane0"
"$build/tools/kestrane-sim/kestrane-sim" --link "$port" --adapter els27 --baud 38400 \
  --device kestrane --mode app --state "$demo/device" >"$demo/sim.out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; rm -rf "$demo"' EXIT
for _ in $(seq 50); do grep -q ready "$demo/sim.out" && break; sleep 0.1; done
grep -q ready "$demo/sim.out" || { echo "demo: the simulator did not start" >&2; cat "$demo/sim.out" >&2; exit 1; }

export VELTRANO_EXTRA_PORTS="$port"
export XDG_CONFIG_HOME="$demo/config"
mkdir -p "$XDG_CONFIG_HOME/Quorvane"
cat >"$XDG_CONFIG_HOME/Quorvane/Veltrano.conf" <<CONF
[IO]
Port=$port
Baud=38400
Mode=els27
CONF

cli() { "$build/cli/veltrano-cli" --port "$port" --baud 38400 --adapter els27 "$@"; }
echo "demo: simulated ELS27 adapter with a Kestrane device on $port"
cli select demo.bin >/dev/null

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "demo: no display; the device as veltrano-cli sees it:"
  cli info
  echo "demo: running the manager headless for 5 seconds"
  QT_QPA_PLATFORM=offscreen timeout 5 "$build/veltrano" "$@" || [ $? -eq 124 ]
  echo "demo: done"
else
  echo "demo: click Connect; the device's files are listed. Drop a 2 MiB .bin on the window to upload it."
  "$build/veltrano" "$@"
fi
