#!/usr/bin/env bash
# A live sensor without hardware, for end-to-end tests and by hand: a pair of pseudo-terminals
# joined by socat, optionally quarvis-sim writing into one end, and a command that sees the other
# end as a serial port through the test-only LD_PRELOAD shim.
#
# Usage: scripts/vport.sh [--build DIR] [--ports N] [--sim "SIM OPTIONS"] -- COMMAND [ARGS...]
#        scripts/vport.sh --plug DIR [K] (from inside COMMAND: plug sensor K (default 1) back in)
#   --build DIR   build folder holding tools/quarvis-sim and tests/libquarvis_vport_shim.so
#                 (default: build/ beside this script's folder)
#   --ports N     N sensors (1 to 8, default 1), each a pair of its own; --sim feeds the first
#   --sim OPTS    start "quarvis-sim --out <sensor end> OPTS" before COMMAND (word-split); without
#                 it, COMMAND may start its own simulator into $VPORT_SENSOR when it is ready to read
# COMMAND runs with LD_PRELOAD set to the shim and these variables exported:
#   VPORT_PORT           the port name to open or pick (the shim lists it first)
#   VPORT_SENSOR         the sensor's end, for a simulator to write into
#   VPORT_SIM            the quarvis-sim executable
#   VPORT_SOCAT_PID      kill it to unplug the sensor (also in the file $VPORT_DIR/socat.pid)
#   VPORT_PLUG           after an unplug, this command [K] plugs sensor K back in: a new socat on
#                        the same two names (socat.pid names it); a simulator must be started anew
#   VPORT_PORTS, VPORT_SENSORS, VPORT_SOCAT_PIDS
#                        the N ports, sensor ends and socat ids, space-separated, in order (the
#                        first is VPORT_PORT's); sensor K > 1 has the names portK, sensorK, socatK.pid
#   VPORT_DIR            a scratch folder removed at the end
#   VIRTUAL_PORTS, LD_PRELOAD   only the virtual port exists for COMMAND (never a port of the host)
# The script exits with COMMAND's status; socat, the simulator and the folder are cleaned up on
# every exit, Ctrl-C included. Examples:
#   scripts/vport.sh --sim "--baud 1500000" -- build/quarvis --demo
#       the viewer lists the virtual port first; unplug with: kill "$(cat /tmp/quarvis-vport.*/socat.pid)"
#   scripts/vport.sh -- bash -c 'build/tools/quarvis-decode --port "$VPORT_PORT" --seconds 5 & sleep 0.5;
#       "$VPORT_SIM" --out "$VPORT_SENSOR" --baud 1500000 --frames 100; wait'
#       the reader first, then the sensor: every byte is counted (see tests/e2e/test_pipeline.sh)
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)

# The pair of pseudo-terminals of sensor K (default 1), linked as DIR/sensorS and DIR/portS where S
# is K but empty for the first; socat's process id goes to DIR/socatS.pid. It runs on after this
# script: the cleanup below, or the caller, ends it.
plug() {
  local dir=$1 s=${2:-1}
  [ "$s" = 1 ] && s=""
  socat -d -d "pty,raw,echo=0,link=$dir/sensor$s" "pty,raw,echo=0,link=$dir/port$s" \
    </dev/null >/dev/null 2>>"$dir/socat.log" 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- 10>&- &
  echo "$!" >"$dir/socat$s.pid"
  for _ in $(seq 1 100); do
    if [ -e "$dir/sensor$s" ] && [ -e "$dir/port$s" ]; then return 0; fi
    sleep 0.05
  done
  echo "vport.sh: socat did not make its pseudo-terminals:" >&2
  cat "$dir/socat.log" >&2
  return 1
}

if [ "${1:-}" = "--plug" ]; then
  [ $# -ge 2 ] && [ -d "$2" ] || { echo "vport.sh: --plug takes the folder \$VPORT_DIR" >&2; exit 2; }
  s=${3:-1}
  [ "$s" = 1 ] && s=""
  if [ -e "$2/sensor$s" ] || [ -e "$2/port$s" ]; then
    echo "vport.sh: the sensor is still plugged in (kill the socat of $2/socat$s.pid first)" >&2
    exit 1
  fi
  plug "$2" "${3:-1}"
  exit
fi

build="$top/build"
sim_options=""
start_sim=0
ports=1
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --sim) sim_options=$2; start_sim=1; shift 2 ;;
    --ports) ports=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "vport.sh: unknown option '$1' (see the usage at the top of the script)" >&2; exit 2 ;;
  esac
done
case "$ports" in [1-8]) ;; *) echo "vport.sh: --ports takes 1 to 8, not '$ports'" >&2; exit 2 ;; esac
if [ $# -eq 0 ]; then
  echo "vport.sh: no command given (see the usage at the top of the script)" >&2
  exit 2
fi
build=$(cd "$build" && pwd)
shim="$build/tests/libquarvis_vport_shim.so"
sim="$build/tools/quarvis-sim"
for needed in "$shim" "$sim"; do
  [ -e "$needed" ] || { echo "vport.sh: $needed is missing; build it first" >&2; exit 2; }
done
command -v socat >/dev/null || { echo "vport.sh: socat is not installed (scripts/setup.sh installs it)" >&2; exit 2; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/quarvis-vport.XXXXXX")
socat_pid=""
socat_pids=()
sim_pid=""
command_pid=""
command_group=""
# Asks a process (or with a leading '-', a process group) to end, and insists after two seconds:
# a simulator finishes the frame it is writing first, unless the line is blocked.
stop() {
  kill -TERM -- "$1" 2>/dev/null || return 0
  for _ in $(seq 1 40); do kill -0 -- "$1" 2>/dev/null || return 0; sleep 0.05; done
  kill -KILL -- "$1" 2>/dev/null || true
}
cleanup() {
  # The command runs in a process group of its own: whatever it left running goes with it.
  if [ -n "$command_group" ]; then stop "-$command_group"; fi
  if [ -n "$sim_pid" ]; then stop "$sim_pid"; fi
  for pid in "${socat_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  # A sensor plugged back in with --plug runs a socat of its own.
  local plugged file
  for file in "$dir"/socat*.pid; do
    plugged=$(cat "$file" 2>/dev/null || true)
    if [ -n "$plugged" ] && [[ " ${socat_pids[*]} " != *" $plugged "* ]]; then kill "$plugged" 2>/dev/null || true; fi
  done
  for pid in "$command_pid" "$sim_pid" "${socat_pids[@]}"; do
    if [ -n "$pid" ]; then wait "$pid" 2>/dev/null || true; fi
  done
  exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- 10>&- 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

port_names=() sensor_names=()
for k in $(seq 1 "$ports"); do
  s=$k
  [ "$k" = 1 ] && s=""
  plug "$dir" "$k" || exit 1
  socat_pids+=("$(cat "$dir/socat$s.pid")")
  port_names+=("$dir/port$s")
  sensor_names+=("$dir/sensor$s")
  # Holding each sensor's end open keeps its socat alive between simulator runs (its last close
  # would end it): descriptors 3, 4, ... for sensors 1, 2, ...
  eval "exec $((k + 2))<>\"\$dir/sensor\$s\""
done
socat_pid=${socat_pids[0]}

if [ "$start_sim" -eq 1 ]; then
  # shellcheck disable=SC2086  # the options are meant to be split into words
  "$sim" --out "$dir/sensor" $sim_options 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- 10>&- &
  sim_pid=$!
fi

export VPORT_PORT="$dir/port" VPORT_SENSOR="$dir/sensor" VPORT_SIM="$sim" VPORT_SOCAT_PID="$socat_pid" VPORT_DIR="$dir"
export VPORT_PLUG="bash $top/scripts/vport.sh --plug $dir"
export VPORT_PORTS="${port_names[*]}" VPORT_SENSORS="${sensor_names[*]}" VPORT_SOCAT_PIDS="${socat_pids[*]}"
export VIRTUAL_PORTS
VIRTUAL_PORTS=$(IFS=,; echo "${port_names[*]}")
export LD_PRELOAD="$shim${LD_PRELOAD:+:$LD_PRELOAD}"
status=0
setsid "$@" 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- 10>&- 0<&0 &
command_pid=$!
command_group=$command_pid
wait "$command_pid" || status=$?
command_pid=""
exit "$status"
