#!/usr/bin/env bash
# Fault soak: uploads and flashes through veltrano-cli against kestrane-sim with a random fault
# in each run, including the simulator being killed mid-transfer. Every run must end within its
# time-out, either with exit 0 and the device's stored content equal to what was sent, or with a
# non-zero exit and a message. A success whose content does not match is a false success.
#
#   scripts/soak.sh [--short] [--uploads N] [--flashes N] [--seed N] [--retries N]
#
# --retries N is handed to veltrano-cli: a run that failed from a passing fault is done again.
# With the same seed the faults are the same, so runs with and without it can be compared.
# --windows runs the window soak instead: the real manager and updater windows (offscreen).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
uploads=100
flashes=30
seed=$$
retries=0
short=0
while [ $# -gt 0 ]; do
  case $1 in
    --short) uploads=8; flashes=5; short=1 ;;
    --uploads) uploads=$2; window_uploads=$2; shift ;;
    --flashes) flashes=$2; window_flashes=$2; shift ;;
    --seed) seed=$2; shift ;;
    --retries) retries=$2; shift ;;
    --windows) windows=1 ;;
    *) echo "usage: $0 [--short] [--uploads N] [--flashes N] [--seed N] [--retries N] [--windows]" >&2; exit 2 ;;
  esac
  shift
done
RANDOM=$seed

if [ "${windows:-0}" = 1 ]; then
  # The window soak is a program of its own: 40 uploads and 20 flashes, 6 and 4 with --short.
  soak_bin="$build/tests/veltrano-window-soak"
  [ -x "$soak_bin" ] || { echo "soak: build the project first ($soak_bin is missing)" >&2; exit 2; }
  [ "$short" = 1 ] && : "${window_uploads:=6}" "${window_flashes:=4}"
  QT_QPA_PLATFORM=offscreen exec "$soak_bin" --uploads "${window_uploads:-40}" --flashes "${window_flashes:-20}" \
    --seed "$seed"
fi

sim_bin="$build/tools/kestrane-sim/kestrane-sim"
cli_bin="$build/cli/veltrano-cli"
work=$(mktemp -d)
sim_pid=
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

"$build/tools/demo-files/veltrano-demo-files" "$work" || exit 1
"$cli_bin" pack "$work/demo-image.bin" --board 0x4B455331 --output "$work/demo.dfu" >/dev/null || exit 1
dd if="$work/FW_DEMO.bin" of="$work/slice.bin" bs=4096 skip=$((0x1C2000 / 4096)) count=$((0x18EE0 / 4096 + 1)) \
  status=none && truncate -s $((0x18EE0)) "$work/slice.bin"
port="$work/k0"
export VELTRANO_EXTRA_PORTS="$port"

start_sim() { # mode, faults...
  local mode=$1
  shift
  rm -f "$work/sim.out"
  "$sim_bin" --link "$port" --adapter els27 --baud 38400 --device kestrane --mode "$mode" \
    --state "$work/state" "$@" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do grep -q ready "$work/sim.out" 2>/dev/null && return 0; sleep 0.1; done
  echo "soak: the simulator did not start: $(cat "$work/sim.out")" >&2
  exit 1
}
stop_sim() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=
}

# One random fault for a run; "kill" is handled by the caller.
# Sets `fault` rather than printing it: a command substitution is a subshell, and bash gives
# each subshell a RANDOM of its own, so the faults would not follow the seed.
pick_fault() { # mode
  local write=36
  [ "$1" = app ] && write=21
  case $((RANDOM % 8)) in
    0) fault="" ;;
    1) fault="--lose-write-reply $((RANDOM % 20 + 1))" ;;
    2) fault="--can-error $((RANDOM % 30 + 1)):$((RANDOM % 6 + 1))" ;;
    3) fault="--busy-replies $write:$((RANDOM % 3 + 1))" ;;
    4) fault="--negative $write:31" ;;
    5) fault="--silent-requests $((RANDOM % 20 + 1)):$((RANDOM % 3 + 1))" ;;
    6) fault="--malformed $([ "$1" = app ] && echo 32 || echo 37)" ;;
    7) fault="kill" ;;
  esac
}

current_fault=
runs=0 verified=0 reported=0 false_success=0 hangs=0 repeats_failed=0
run_cli() { # expected-file stored-file cli-args...
  local expected=$1 stored=$2
  shift 2
  runs=$((runs + 1))
  timeout 180 "$cli_bin" --port "$port" --baud 38400 --adapter els27 --timeout 10 --retries "$retries" "$@" \
    >"$work/cli.out" 2>&1
  local status=$?
  if [ $status -eq 124 ]; then
    hangs=$((hangs + 1))
    echo "soak: HANG with fault '${current_fault}': $*" >&2
  elif [ $status -eq 0 ]; then
    if cmp -s "$expected" <(head -c "$(stat -c %s "$expected")" "$stored" 2>/dev/null); then
      verified=$((verified + 1))
    else
      false_success=$((false_success + 1))
      echo "soak: FALSE SUCCESS with fault '${current_fault}': $*" >&2
    fi
  elif [ -s "$work/cli.out" ]; then
    reported=$((reported + 1))
  else
    false_success=$((false_success + 1)) # a failure without a message counts against the tool
    echo "soak: silent failure (status $status): $*" >&2
  fi
  return $status
}

transfer() { # mode expected stored cli-args...
  local mode=$1 expected=$2 stored=$3
  shift 3
  local fault
  pick_fault "$mode"
  current_fault=$fault
  rm -rf "$work/state"
  if [ "$fault" = kill ]; then
    start_sim "$mode"
    local delay="0.$((RANDOM % 9 + 1))"
    ( sleep "$delay"; kill -9 "$sim_pid" 2>/dev/null ) &
    run_cli "$expected" "$stored" "$@"
    wait $! 2>/dev/null
    stop_sim
    # The device comes back with what it kept; the work done again must bring it to the new content.
    start_sim "$mode"
    sleep 0.4
    run_cli "$expected" "$stored" "$@" || {
      repeats_failed=$((repeats_failed + 1))
      echo "soak: the work repeated after a kill failed: $*" >&2
    }
    stop_sim
  else
    # shellcheck disable=SC2086
    start_sim "$mode" $fault
    run_cli "$expected" "$stored" "$@"
    stop_sim
  fi
}

for _ in $(seq "$uploads"); do
  transfer app "$work/slice.bin" "$work/state/files/FW_DEMO.bin" upload "$work/FW_DEMO.bin"
done
for _ in $(seq "$flashes"); do
  transfer boot "$work/demo-image.bin" "$work/state/flash.bin" flash "$work/demo.dfu"
done

echo "soak: runs $runs, successes verified $verified, failures reported $reported, false successes $false_success," \
  "hangs $hangs, repeats after a kill that failed $repeats_failed (seed $seed, retries $retries)"
[ "$false_success" -eq 0 ] && [ "$hangs" -eq 0 ] && [ "$repeats_failed" -eq 0 ]
