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
# --commands runs the command soak instead: every command of veltrano-cli against every kind of
# fault, 500 runs (--short: 30), see "The command soak" below. On the 2-core build machine 500 runs
# take about 26 minutes, --short about 2. --command and --fault (repeatable) narrow the draw;
# --keep DIR keeps the simulator's logs, the output and the device's state of every run with a
# problem.
#
#   scripts/soak.sh --commands [--runs N] [--short] [--seed N] [--retries N]
#                   [--command NAME]... [--fault KIND]... [--keep DIR]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
uploads=100
flashes=30
seed=$$
retries=0
short=0
commands=0
runs=
only_commands=()
only_faults=()
keep=
while [ $# -gt 0 ]; do
  case $1 in
    --short) uploads=8; flashes=5; short=1 ;;
    --commands) commands=1 ;;
    --runs) runs=$2; shift ;;
    --command) only_commands+=("$2"); shift ;;
    --fault) only_faults+=("$2"); shift ;;
    --keep) keep=$2; shift ;;
    --uploads) uploads=$2; window_uploads=$2; shift ;;
    --flashes) flashes=$2; window_flashes=$2; shift ;;
    --seed) seed=$2; shift ;;
    --retries) retries=$2; shift ;;
    --windows) windows=1 ;;
    *) echo "usage: $0 [--short] [--uploads N] [--flashes N] [--seed N] [--retries N] [--windows]" >&2
       echo "       $0 --commands [--runs N] [--short] [--seed N] [--retries N] [--command NAME]... [--fault KIND]..." \
         "[--keep DIR]" >&2
       exit 2 ;;
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

for bin in "$sim_bin" "$cli_bin" "$build/tools/demo-files/veltrano-demo-files"; do
  [ -x "$bin" ] || { echo "soak: build the project first ($bin is missing)" >&2; exit 2; }
done
"$build/tools/demo-files/veltrano-demo-files" "$work" >/dev/null || exit 1
"$cli_bin" pack "$work/demo-image.bin" --board 0x4B455331 --output "$work/demo.dfu" >/dev/null || exit 1
dd if="$work/FW_DEMO.bin" of="$work/slice.bin" bs=4096 skip=$((0x1C2000 / 4096)) count=$((0x18EE0 / 4096 + 1)) \
  status=none && truncate -s $((0x18EE0)) "$work/slice.bin"
port="$work/k0"
export VELTRANO_EXTRA_PORTS="$port"
# The soak's jobs keep their records here, never among the user's own.
export VELTRANO_RECORDS="$work/records.sqlite"

if [ "$commands" = 1 ]; then
  # ---- The command soak ----------------------------------------------------------------------
  # Every command of both workers through `veltrano-cli --json` against kestrane-sim with its state
  # in a folder (--state), one random fault per run, and after each run five checks:
  #  1. one end: the process exited and printed exactly one JSON object, and nothing else, on
  #     standard output, whose "status" is its exit status (anything else is a double end; a run
  #     killed at its deadline, or one that printed no object, is a missing end);
  #  2. in time: its wall time is at most the command's deadline (table below);
  #  3. no false success: exit 0 with "ok":true only when the device's state shows the work done
  #     (the stored file byte for byte after upload, active.cfg after select, the file gone after
  #     remove, no files after erase, mode=app after reboot, the device's own restart note after
  #     restart-bootloader, mode=boot after dfu, mode=app after launch, flash.bin holding the image
  #     and image=final after flash, and for info and bootloader the reported files, UUID and board
  #     equal to the device's; a flash is never right once the device reported another board
  #     before the erase);
  #  4. recovery: once the fault has passed, a fault-free follow-up (info when the device's state
  #     says mode=app, bootloader when it says boot) succeeds on the same simulator. A fault that
  #     lasts (a refusal, a garbled reply, a silent or streaming port, a vanished port, another
  #     board, a flow control refused on every message) or one whose place the command did not
  #     reach is taken away first: the follow-up then runs on a new simulator on the same state,
  #     as after unplugging the adapter and plugging it in again;
  #  5. no stray frame: the device never noted a Consecutive Frame that no live exchange sent (out
  #     of sequence, with no message under way, beyond its block size, before its CTS): nothing of
  #     an exchange is written once it has ended.
  #
  # Deadlines, with --timeout T (5 s): the set-up's own budget (T), the longest silence the
  # command's watchdog allows (T), the work itself on a quiet link (the column), and 3 s to close
  # the port. A long erase adds its time; --launch adds the launch's; --retries R makes it (R+1)
  # times as long plus the second between tries. A run still going 5 s past its deadline is
  # killed and counted as overrun and as a missing end.
  #
  # The other columns aim the faults: a fault placed by number (a frame line, a device request, a
  # write) is drawn within the first ones the command sends, and a refusal, a busy or a garbled
  # reply at one of the requests it sends. info shows the device's file list too (there is no
  # list command of its own); dfu, reboot, launch and restart-bootloader may confirm the switch
  # with a request to the other firmware.
  #
  #   command             mode  work s  frame lines  requests  writes  request prefixes it sends
  cs_table='
  info                  app   3       8            3         0       10 11 33
  select                app   3       10           3         1       20 21 32
  upload                app   15      400          30        30      20 21 32
  remove                app   3       3            1         0       22
  erase                 app   3       2            1         0       23
  reboot                app   8       3            2         0       30 10
  dfu                   app   8       3            2         0       31 B100B0
  bootloader            boot  3       8            3         0       B100B1 B100B3 B100B0
  flash                 boot  15      300          20        20      B100B0 B100B2 34 36 37
  launch                boot  8       3            2         0       11 10
  restart-bootloader    boot  8       3            2         0       10 B100B0'
  # Fault kinds; long-erase, board-swap and busy-status only in boot mode.
  cs_faults=(none can-error can-error-every word lost-reply silent-requests lose-write-reply negative
    busy-replies malformed flow-control silent-adapter vanish restart raised-rate stream-text long-erase
    board-swap busy-status late-answer answer stray-bytes short-reply flow-waits strict-blocks slow-commands)
  cs_timeout=5
  cs_retries=$retries
  [ -z "$runs" ] && { [ "$short" = 1 ] && runs=30 || runs=500; }
  cs_board=0x4B455331
  cs_other_board=0x4B455332
  cs_uuid=4B53494D0102030405060708
  state="$work/state"
  simlog="$work/sim.log"

  declare -A c_mode c_work c_lines c_requests c_writes c_codes
  cs_names=()
  while read -r name mode seconds lines requests writes codes; do
    [ -z "$name" ] && continue
    cs_names+=("$name")
    c_mode[$name]=$mode c_work[$name]=$seconds c_lines[$name]=$lines c_requests[$name]=$requests
    c_writes[$name]=$writes c_codes[$name]=$codes
  done <<<"$cs_table"
  for name in ${only_commands[@]+"${only_commands[@]}"}; do
    [ -n "${c_mode[$name]:-}" ] || { echo "soak: no command $name (${cs_names[*]})" >&2; exit 2; }
  done
  for kind in ${only_faults[@]+"${only_faults[@]}"}; do
    [[ " ${cs_faults[*]} " == *" $kind "* ]] || { echo "soak: no fault $kind (${cs_faults[*]})" >&2; exit 2; }
  done
  [ ${#only_commands[@]} -gt 0 ] && cs_names=("${only_commands[@]}")
  [ ${#only_faults[@]} -gt 0 ] && cs_faults=("${only_faults[@]}")

  cs_sim_args=()
  cs_start_sim() { # adapter, fault arguments...
    local adapter=$1
    shift
    rm -f "$work/sim.out"
    "$sim_bin" --link "$port" --adapter "$adapter" --baud 38400 --device kestrane --state "$state" \
      --log "$simlog" "$@" >"$work/sim.out" 2>&1 &
    sim_pid=$!
    cs_sim_args=(--adapter "$adapter" "$@")
    for _ in $(seq 50); do grep -q ready "$work/sim.out" 2>/dev/null && return 0; sleep 0.1; done
    echo "soak: the simulator did not start: $(cat "$work/sim.out")" >&2
    exit 1
  }
  cs_stop_sim() {
    if [ -n "$sim_pid" ]; then
      kill "$sim_pid" 2>/dev/null
      wait "$sim_pid" 2>/dev/null
    fi
    sim_pid=
  }
  cs_sim_alive() { [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; }

  # The device as the run finds it: app mode with two files, one of them active; or its bootloader
  # with the factory application in place.
  cs_prepare_state() { # mode
    rm -rf "$state" && mkdir -p "$state/files"
    if [ "$1" = app ]; then
      printf 'mode=app\n' >"$state/device.cfg"
      head -c 3000 "$work/slice.bin" >"$state/files/A.bin"
      tail -c 2000 "$work/slice.bin" >"$state/files/B.bin"
      printf '["A.bin"]' >"$state/files/active.cfg"
    else
      printf 'mode=boot\nimage=final\n' >"$state/device.cfg"
    fi
  }
  cs_cfg() { sed -n "s/^$1=//p" "$state/device.cfg" 2>/dev/null; }

  # What the simulator's log says the device and the adapter went through so far.
  cs_data_lines() {
    awk '$2 == "<" { t = toupper(substr($0, index($0, "<") + 2)); gsub(/[ \t]/, "", t)
      if (t != "" && t !~ /^(AT|ST)/) n++ } END { print n + 0 }' "$simlog" 2>/dev/null
  }
  cs_requests() { # [prefix]
    grep -cE "device: kestrane [a-z]+: request [0-9]+: ${1:-}" "$simlog" 2>/dev/null
  }

  # One random fault for a run of command $1: sets fault_kind, adapter, baud, sim_fault (the
  # simulator's arguments), fault_lasts (1: it never passes by itself) and fault_passed (how to
  # tell from the log that it has passed: lines:N, requests:N, writes:N, prefix:HEX:N, note:TEXT,
  # wait:SECONDS or now).
  # Sets variables rather than printing them: a command substitution is a subshell, and bash gives
  # each subshell a RANDOM of its own, so the faults would not follow the seed.
  cs_pick_fault() { # command
    local cmd=$1 mode=${c_mode[$1]} lines=${c_lines[$1]} requests=${c_requests[$1]} writes=${c_writes[$1]}
    local -a codes
    read -r -a codes <<<"${c_codes[$cmd]}"
    local code=${codes[RANDOM % ${#codes[@]}]}
    local -a kinds=()
    local k
    for k in "${cs_faults[@]}"; do
      case $k in long-erase | board-swap | busy-status) [ "$mode" = boot ] && kinds+=("$k") ;; *) kinds+=("$k") ;; esac
    done
    [ ${#kinds[@]} -eq 0 ] && kinds=(none)
    fault_kind=${kinds[RANDOM % ${#kinds[@]}]}
    sim_fault=() fault_lasts=0 fault_passed=now adapter=els27 baud=38400 transfer=auto
    [ $((RANDOM % 2)) = 0 ] && adapter=elm327
    # An ELS27 segments messages itself unless told to go frame by frame: both are soaked.
    [ "$adapter" = els27 ] && [ $((RANDOM % 2)) = 0 ] && transfer=frames
    local n=$((RANDOM % lines + 1)) c
    case $fault_kind in
      none) ;;
      can-error)
        c=$((RANDOM % 6 + 1))
        sim_fault=(--can-error "$n:$c") fault_passed=lines:$((n + c - 1)) ;;
      can-error-every) sim_fault=(--can-error-every $((RANDOM % 6 + 3))) fault_lasts=1 ;;
      word)
        local words=("HELLO" "BUS BUSY" "BUS ERROR" "DATA ERROR" "BUFFER FULL" "ERR94" "UNABLE TO CONNECT"
          "62F190 <RX ERROR" "\$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47")
        sim_fault=(--word "$n:${words[RANDOM % ${#words[@]}]}") fault_passed=lines:$n ;;
      lost-reply) sim_fault=(--no-reply-on "$n") fault_passed=lines:$n ;;
      silent-requests)
        n=$((RANDOM % requests + 1)) c=$((RANDOM % 3 + 1))
        sim_fault=(--silent-requests "$n:$c") fault_passed=requests:$((n + c - 1)) ;;
      lose-write-reply)
        [ "$writes" -gt 0 ] || { fault_kind=none; return; }
        n=$((RANDOM % writes + 1))
        sim_fault=(--lose-write-reply "$n") fault_passed=writes:$n ;;
      busy-status)
        [ "$writes" -gt 0 ] || { fault_kind=none; return; }
        n=$((RANDOM % writes + 1))
        sim_fault=(--lose-write-reply "$n" --busy-status $((RANDOM % 3 + 1))) fault_passed=writes:$n ;;
      negative)
        local refusals=(31 22 72 10 13)
        sim_fault=(--negative "$code:${refusals[RANDOM % ${#refusals[@]}]}") fault_lasts=1 ;;
      busy-replies)
        c=$((RANDOM % 3 + 1))
        sim_fault=(--busy-replies "$code:$c") fault_passed=prefix:$code:$c ;;
      malformed) sim_fault=(--malformed "$code") fault_lasts=1 ;;
      flow-control)
        local how=wait
        [ $((RANDOM % 2)) = 0 ] && how=overflow
        if [ $((RANDOM % 3)) = 0 ]; then
          sim_fault=(--flow-control "$how") fault_lasts=1
        else
          n=$((RANDOM % 3 + 1))
          sim_fault=(--flow-control "$how:$n") fault_passed="note:first frame $n answered"
        fi ;;
      silent-adapter)
        if [ $((RANDOM % 3)) = 0 ]; then sim_fault=(--silent); else sim_fault=(--silent-after $((RANDOM % (lines + 20) + 5))); fi
        fault_lasts=1 ;;
      vanish) sim_fault=(--vanish-after $((RANDOM % (lines + 30) + 3))) fault_lasts=1 ;;
      restart)
        if [ $((RANDOM % 2)) = 0 ]; then sim_fault=(--restart-on "$n"); else sim_fault=(--lv-reset "$n"); fi
        fault_passed=lines:$n ;;
      raised-rate)
        # An ELM327 that an earlier, killed run raised with AT BRD: it stays there until the
        # program resets it, so the follow-up on the same simulator shows whether it did.
        adapter=elm327
        local rates=(500000 250000 115200)
        sim_fault=(--raised-rate "${rates[RANDOM % 3]}") ;;
      stream-text)
        sim_fault=(--stream-text) fault_lasts=1
        [ $((RANDOM % 2)) = 0 ] && baud=0 ;;
      long-erase)
        c=$((RANDOM % 3501 + 1500))
        sim_fault=(--erase-ms "$c") fault_passed=wait:$((c / 1000 + 1)) ;;
      board-swap)
        sim_fault=(--board-swap "$((RANDOM % 3)):$cs_other_board") fault_lasts=1 ;;
      # The link's own faults: an answer after its line's deadline (a word, a CAN ERROR, NO DATA
      # or the reply), a word or "?" in place of any line's answer (the set-up's included), control
      # bytes before every prompt, a reply shorter than it announces, a device that asks to wait,
      # one that drops frames beyond its block size, an adapter whose commands take 600 ms (more
      # than --timeout allows its set-up). The long transfers get the waits and blocks they can
      # carry within their deadline.
      late-answer)
        local late=(--late-answer "$n:$((RANDOM % 1500 + 1500))")
        case $((RANDOM % 3)) in
          0) late+=(--can-error "$n") ;;
          1) late+=(--word "$n:BUS BUSY") ;;
        esac
        sim_fault=("${late[@]}") fault_passed=lines:$n ;;
      answer)
        local texts=("?" "BUS BUSY" "CAN ERROR" "ERR94" "NO DATA")
        sim_fault=(--answer "$((RANDOM % (lines + 20) + 1)):${texts[RANDOM % ${#texts[@]}]}") fault_lasts=1 ;;
      stray-bytes)
        local bytes=(00 07 001b 0a00)
        sim_fault=(--before-prompt "${bytes[RANDOM % ${#bytes[@]}]}") fault_lasts=1 ;;
      short-reply) sim_fault=(--short-reply "$code") fault_lasts=1 ;;
      flow-waits)
        if [ "$writes" -gt 0 ]; then c=$((RANDOM % 2 + 1)); else c=$((RANDOM % 13 + 1)); fi
        sim_fault=(--fc-waits "$c:$((RANDOM % 10 + 5))") fault_lasts=1 ;;
      strict-blocks)
        if [ "$writes" -gt 0 ]; then c=15; else c=$((RANDOM % 4 + 1)); fi
        sim_fault=(--fc-bs "$c" --block-pause "$((RANDOM % 5 + 2))") ;;
      slow-commands) sim_fault=(--command-latency-ms 600) fault_lasts=1 ;;
    esac
  }

  cs_fault_passed() {
    local what=${fault_passed%%:*} arg=${fault_passed#*:}
    case $what in
      now) return 0 ;;
      # The simulator counts the lines it carried out; the log also shows lines it dropped, so a
      # few more than the fault's last are asked for before it is taken as passed.
      lines) [ "$(cs_data_lines)" -ge $((arg + 5)) ] ;;
      requests) [ "$(cs_requests)" -ge "$arg" ] ;;
      writes) [ "$(cs_requests '(36|21)')" -ge "$arg" ] ;;
      prefix) [ "$(cs_requests "${arg%%:*}")" -ge "${arg#*:}" ] ;;
      note) grep -q "$arg" "$simlog" 2>/dev/null ;;
      wait) sleep "$arg"; return 0 ;;
    esac
  }

  # Runs veltrano-cli; sets out (its standard output), rc, wall (ms) and killed.
  cs_run_cli() { # deadline-seconds, cli arguments...
    local deadline=$1
    shift
    local start end
    start=$(date +%s%N)
    timeout -k 2 $((deadline + 5)) "$cli_bin" "$@" --port "$port" --baud "$baud" --adapter "$adapter" \
      --transfer "$transfer" --timeout "$cs_timeout" --json >"$work/cli.out" 2>"$work/cli.err" </dev/null
    rc=$?
    end=$(date +%s%N)
    wall=$(((end - start) / 1000000))
    killed=0
    [ $rc -eq 124 ] || [ $rc -eq 137 ] && killed=1
    out=$(cat "$work/cli.out")
  }

  cs_ok() { grep -q '"ok":true' "$work/cli.out" && echo true || echo false; }

  # What the device notes when a frame comes that no live exchange of the program sent.
  cs_stray_frames='wrong sequence number|consecutive frame without a first frame|beyond the block size dropped|before the CTS dropped'


  # Check 1: how the command ended. Sets ends: one, missing or double (with why).
  cs_judge_end() {
    local objects others status
    objects=$(grep -c '^{.*}$' "$work/cli.out")
    others=$(grep -cv '^{.*}$' "$work/cli.out")
    status=$(grep -o '"status":[0-9]*' "$work/cli.out" | tail -1 | cut -d: -f2)
    if [ "$killed" = 1 ] || [ "$objects" -eq 0 ]; then
      ends=missing why="no result object (exit $rc$([ "$killed" = 1 ] && echo ', killed at its deadline'))"
    elif [ "$objects" -gt 1 ] || [ "$others" -gt 0 ]; then
      ends=double why="$objects result objects and $others other lines on standard output"
    elif [ "$status" != "$rc" ] || [ "$([ $rc -eq 0 ] && echo true || echo false)" != "$(cs_ok)" ]; then
      ends=double why="a result that contradicts the exit status $rc"
    else
      ends=one why=
    fi
  }

  # Check 3: the device's own evidence for the command's work. Returns 0 when it shows it.
  cs_device_shows() { # command
    local files active
    case $1 in
      info)
        files=$(echo "$out" | grep -o '"files":\[[^]]*\]' | grep -o '"[^"]*"' | tail -n +2 | tr -d '"' | sort)
        active=$(echo "$out" | grep -o '"active":\[[^]]*\]' | grep -o '"[^"]*"' | tail -n +2 | tr -d '"' | sort)
        [ "$files" = "$(find "$state/files" -mindepth 1 -printf '%f\n' | sort)" ] \
          && [ "$active" = "$(grep -o '"[^"]*"' "$state/files/active.cfg" 2>/dev/null | tr -d '"' | sort)" ] ;;
      select) cmp -s <(printf '%s' "$select_expect") "$state/files/active.cfg" ;;
      upload) cmp -s "$work/slice.bin" "$state/files/FW_DEMO.bin" ;;
      remove) [ ! -e "$state/files/A.bin" ] ;;
      erase) [ -z "$(find "$state/files" -mindepth 1)" ] ;;
      # The application answers alike before and after a restart, so a reboot request the device
      # drops in silence cannot be told from one it carries out; what shows is the application
      # answering again, which the command waits for.
      reboot) [ "$(cs_cfg mode)" = app ] ;;
      dfu) [ "$(cs_cfg mode)" = boot ] ;;
      bootloader)
        echo "$out" | grep -q "\"uuid\":\"$cs_uuid\"" || return 1
        local board
        board=$(echo "$out" | grep -o '"boardId":[0-9]*' | cut -d: -f2)
        [ "$board" = $((cs_board)) ] || { [ "$fault_kind" = board-swap ] && [ "$board" = $((cs_other_board)) ]; } ;;
      flash)
        cmp -s "$work/demo-image.bin" <(head -c "$(stat -c %s "$work/demo-image.bin")" "$state/flash.bin") \
          && [ "$(cs_cfg image)" = final ] || return 1
        [ "$launch" = 0 ] || [ "$(cs_cfg mode)" = app ] || return 1
        # A package for one board written onto another is no success, whatever the device says.
        local swapped erased
        swapped=$(grep -n 'another board was plugged in' "$simlog" | head -1 | cut -d: -f1)
        erased=$(grep -nE 'device: kestrane boot: request [0-9]+: B100B2' "$simlog" | head -1 | cut -d: -f1)
        [ -z "$swapped" ] || { [ -n "$erased" ] && [ "$erased" -lt "$swapped" ]; } ;;
      launch) [ "$(cs_cfg mode)" = app ] ;;
      restart-bootloader) [ "$(cs_cfg mode)" = boot ] && grep -q 'device: kestrane boot: restarting' "$simlog" ;;
    esac
  }

  declare -A t_runs t_verified t_reported t_missing t_double t_false t_overrun t_follow t_longest t_stray f_runs f_bit
  declare -A f_problems f_verified
  declare -A f_reported
  for name in "${cs_names[@]}"; do
    t_runs[$name]=0 t_verified[$name]=0 t_reported[$name]=0 t_missing[$name]=0 t_double[$name]=0
    t_false[$name]=0 t_overrun[$name]=0 t_follow[$name]=0 t_longest[$name]=0 t_stray[$name]=0
  done
  [ -n "$keep" ] && mkdir -p "$keep"
  problems=0

  cs_problem() { # run, text
    problems=$((problems + 1))
    echo "soak: run $1 (seed $seed): $2" >&2
    [ -s "$work/cli.out" ] && [ "${2%%:*}" != "FOLLOW-UP FAILED" ] && echo "      $(head -c 300 "$work/cli.out")" >&2
    echo "      veltrano-cli ${cli_args[*]} --baud $baud --adapter $adapter --transfer $transfer --timeout $cs_timeout" \
      "--json" >&2
    echo "      kestrane-sim ${cs_sim_args[*]} (wall ${wall} ms, exit $rc)" >&2
    if [ -n "$keep" ]; then
      local dir="$keep/run-$1"
      mkdir -p "$dir"
      cp "$simlog" "$work/cli.out" "$work/cli.err" "$dir/" 2>/dev/null
      [ -e "$work/sim-first.log" ] && cp "$work/sim-first.log" "$dir/" 2>/dev/null
      cp -r "$state" "$dir/state" 2>/dev/null
    fi
  }

  for run in $(seq "$runs"); do
    cmd=${cs_names[RANDOM % ${#cs_names[@]}]}
    cs_pick_fault "$cmd"
    launch=0 select_expect=
    cli_args=("$cmd")
    case $cmd in
      upload) cli_args+=("$work/FW_DEMO.bin") ;;
      select)
        case $((RANDOM % 3)) in
          0) cli_args+=(B.bin) select_expect='["B.bin"]' ;;
          1) cli_args+=(A.bin B.bin) select_expect='["A.bin","B.bin"]' ;;
          2) select_expect='[]' ;;
        esac ;;
      remove) cli_args+=(A.bin) ;;
      flash)
        cli_args+=("$work/demo.dfu")
        [ $((RANDOM % 2)) = 0 ] && { cli_args+=(--launch); launch=1; } ;;
    esac
    deadline=$((2 * cs_timeout + c_work[$cmd] + 3))
    [ "$launch" = 1 ] && deadline=$((deadline + 8))
    [ "$fault_kind" = long-erase ] && deadline=$((deadline + sim_fault[1] / 1000 + 1))
    if [ "$cmd" = upload ] || [ "$cmd" = flash ]; then
      [ "$cs_retries" -gt 0 ] && cli_args+=(--retries "$cs_retries")
      deadline=$(((cs_retries + 1) * deadline + cs_retries))
    fi

    rm -f "$simlog" "$work/sim-first.log"
    problems_before=$problems
    cs_prepare_state "${c_mode[$cmd]}"
    cs_start_sim "$adapter" ${sim_fault[@]+"${sim_fault[@]}"}
    cs_run_cli "$deadline" "${cli_args[@]}"
    t_runs[$cmd]=$((t_runs[$cmd] + 1))
    [ "$wall" -gt "${t_longest[$cmd]}" ] && t_longest[$cmd]=$wall
    label="$cmd with ${fault_kind}${sim_fault[*]:+ (${sim_fault[*]})}"

    cs_judge_end
    case $ends in
      missing) t_missing[$cmd]=$((t_missing[$cmd] + 1)); cs_problem "$run" "MISSING END: $label: $why" ;;
      double) t_double[$cmd]=$((t_double[$cmd] + 1)); cs_problem "$run" "DOUBLE END: $label: $why" ;;
    esac
    if [ $((wall / 1000)) -ge "$deadline" ]; then
      t_overrun[$cmd]=$((t_overrun[$cmd] + 1))
      cs_problem "$run" "DEADLINE OVERRUN: $label: ${wall} ms, deadline ${deadline} s"
    fi
    # Check 5: no frame of an exchange that had ended, or beyond what the device's flow control
    # allowed, reached the device.
    if stray=$(grep -m1 -E "$cs_stray_frames" "$simlog" 2>/dev/null); then
      t_stray[$cmd]=$((t_stray[$cmd] + 1))
      cs_problem "$run" "FRAME AFTER THE END: $label: ${stray#* }"
    fi
    if [ $rc -eq 0 ] || [ "$(cs_ok)" = true ]; then
      if cs_device_shows "$cmd"; then
        t_verified[$cmd]=$((t_verified[$cmd] + 1))
        f_verified[$fault_kind]=$((${f_verified[$fault_kind]:-0} + 1))
      else
        t_false[$cmd]=$((t_false[$cmd] + 1))
        cs_problem "$run" "FALSE SUCCESS: $label: the device's state does not show it"
      fi
    elif [ "$ends" = one ]; then
      t_reported[$cmd]=$((t_reported[$cmd] + 1))
      f_reported[$fault_kind]=$((${f_reported[$fault_kind]:-0} + 1))
    fi

    # Check 4: a fault-free follow-up once the fault has passed.
    # Whether the fault was at work at all (the simulator notes it): a kind that never bites is
    # a mistake of this script.
    if [ "$fault_kind" != none ] && grep -qE '\(fault\)|vanishing after|silent from line|request [0-9]+: B100B2' \
      "$simlog" 2>/dev/null; then
      f_bit[$fault_kind]=$((${f_bit[$fault_kind]:-0} + 1))
    fi
    f_runs[$fault_kind]=$((${f_runs[$fault_kind]:-0} + 1))
    cp "$simlog" "$work/sim-first.log" 2>/dev/null
    run_fault=$fault_kind
    if [ "$fault_lasts" = 1 ] || ! cs_sim_alive || ! cs_fault_passed; then
      cs_stop_sim
      fault_kind=none sim_fault=()
      cs_start_sim "$adapter"
      [ "$baud" = 0 ] && baud=38400
    fi
    if [ "$(cs_cfg mode)" = boot ]; then follow=bootloader; else follow=info; fi
    saved=("${cli_args[@]}") saved_rc=$rc saved_wall=$wall
    cli_args=("$follow")
    fdeadline=$((2 * cs_timeout + c_work[$follow] + 3))
    cs_run_cli "$fdeadline" "$follow"
    cs_judge_end
    if [ "$ends" != one ] || [ $rc -ne 0 ] || [ $((wall / 1000)) -ge "$fdeadline" ] || ! cs_device_shows "$follow"; then
      t_follow[$cmd]=$((t_follow[$cmd] + 1))
      cs_problem "$run" "FOLLOW-UP FAILED: $follow after $label (${saved[*]}: exit $saved_rc in $saved_wall ms):
      $(head -c 300 "$work/cli.out")"
    fi
    cs_stop_sim
    [ "$problems" -gt "$problems_before" ] && f_problems[$run_fault]=$((${f_problems[$run_fault]:-0} + 1))
    [ $((run % 25)) = 0 ] && echo "soak: $run of $runs runs done" >&2
  done

  printf '\n%-20s %5s %9s %9s %8s %7s %7s %8s %7s %10s %9s\n' command runs verified reported missing double false \
    overrun stray follow-up "longest s"
  total_bad=0
  for name in "${cs_names[@]}"; do
    printf '%-20s %5d %9d %9d %8d %7d %7d %8d %7d %10d %9s\n' "$name" "${t_runs[$name]}" "${t_verified[$name]}" \
      "${t_reported[$name]}" "${t_missing[$name]}" "${t_double[$name]}" "${t_false[$name]}" "${t_overrun[$name]}" \
      "${t_stray[$name]}" "${t_follow[$name]}" "$((t_longest[$name] / 1000)).$((t_longest[$name] % 1000 / 100))"
    total_bad=$((total_bad + t_missing[$name] + t_double[$name] + t_false[$name] + t_overrun[$name] + t_follow[$name]
      + t_stray[$name]))
  done
  # Per fault: how often the simulator shows it at work ("bit"; a kind that never bites is a
  # mistake of this script), what the commands made of it, and in how many runs a check failed.
  printf '\n%-20s %5s %5s %9s %9s %9s\n' fault runs bit verified reported problems
  for kind in "${cs_faults[@]}"; do
    [ -n "${f_runs[$kind]:-}" ] && printf '%-20s %5d %5s %9d %9d %9d\n' "$kind" "${f_runs[$kind]}" \
      "$([ "$kind" = none ] && echo - || echo "${f_bit[$kind]:-0}")" "${f_verified[$kind]:-0}" \
      "${f_reported[$kind]:-0}" "${f_problems[$kind]:-0}"
  done
  echo "soak: $runs runs (seed $seed, --timeout $cs_timeout, retries $cs_retries); problems: $problems"
  [ "$total_bad" -eq 0 ]
  exit $?
fi

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
# Every other transfer goes frame by frame; the others as the ELS27 chooses (segmented).
transfer_mode=auto
runs=0 verified=0 reported=0 false_success=0 hangs=0 repeats_failed=0
run_cli() { # expected-file stored-file cli-args...
  local expected=$1 stored=$2
  shift 2
  runs=$((runs + 1))
  timeout 180 "$cli_bin" --port "$port" --baud 38400 --adapter els27 --transfer "$transfer_mode" --timeout 10 \
    --retries "$retries" "$@" \
    >"$work/cli.out" 2>&1
  local status=$?
  if [ $status -eq 124 ]; then
    hangs=$((hangs + 1))
    echo "soak: HANG with fault '${current_fault}' ($transfer_mode): $*" >&2
  elif [ $status -eq 0 ]; then
    if cmp -s "$expected" <(head -c "$(stat -c %s "$expected")" "$stored" 2>/dev/null); then
      verified=$((verified + 1))
    else
      false_success=$((false_success + 1))
      echo "soak: FALSE SUCCESS with fault '${current_fault}' ($transfer_mode): $*" >&2
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
  [ "$transfer_mode" = auto ] && transfer_mode=frames || transfer_mode=auto
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
