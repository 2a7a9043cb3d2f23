#!/usr/bin/env bash
# Live sensors through the virtual-port shim: quarvis-decode reading one, two and then eight ports,
# each fed its own simulated stream (its own seed and fault rates) at 1.5 Mbaud and captured, ended
# by Ctrl-C; every sensor's counters must be what its simulator's report says and every capture its
# stream byte for byte. In the run of eight one cable is pulled mid-stream while the others run on.
# Called by ctest as: bash test_multi.sh BUILD_DIR SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_init "$1" "$2"
export sim="$BUILD_DIR/tools/quarvis-sim" decode="$BUILD_DIR/tools/quarvis-decode" work=$E2E_WORK
counters=("Total bytes" "Good frames" "Good syncs" "Lost syncs" "Size errors" "Cksum errors" "Invalid errors")

# Sensor K's stream: a seed and fault rates of its own.
sim_options() {
  echo "--baud 1500000 --seed $((20 + $1)) --garbage 0.0$1 --bad-checksum 0.0$(($1 % 4)) --cut-short 0.0$(($1 % 3))"
}
grabbers_running() { [ "$(grep -sc '^grabber started' "$1")" -ge "$2" ] 2>/dev/null; }

# Inside scripts/vport.sh: N sensors of FRAMES frames each while quarvis-decode reads and captures
# them all; sensor PULL (0: none) streams on until its socat is killed a second in.
run_sensors() {
  local n=$1 pull=$2 frames=$3 out="$work/run$1" k reader sims=() pulled="" args=()
  read -ra sensors <<<"$VPORT_SENSORS"
  echo "$VPORT_PORTS" >"$out.ports"
  [ "$("$decode" --list-ports | paste -sd " ")" = "$VPORT_PORTS" ] || return 7
  for port in $VPORT_PORTS; do args+=(--port "$port"); done
  for k in $(seq 1 "$n"); do args+=(--capture "$out.$k.ostrel"); done
  "$decode" --debug --baud 1500000 "${args[@]}" >"$out.out" 2>"$out.err" &
  reader=$!
  e2e_until 10 grabbers_running "$out.out" "$n" || return 8
  for k in $(seq 1 "$n"); do
    # shellcheck disable=SC2046  # the options are meant to be split into words
    if [ "$k" = "$pull" ]; then
      "$sim" --out "${sensors[k - 1]}" $(sim_options "$k") 2>/dev/null & pulled=$!
    else
      "$sim" --out "${sensors[k - 1]}" $(sim_options "$k") --frames "$frames" --report "$out.$k.report" & sims+=($!)
    fi
  done
  if [ -n "$pulled" ]; then sleep 1; kill "$(cut -d ' ' -f "$pull" <<<"$VPORT_SOCAT_PIDS")"; fi
  wait "${sims[@]}" || return 9
  sleep 1  # the last bytes through the grabbers
  kill -INT "$reader"
  wait "$reader"
  echo $? >"$out.status"  # the pulled sensor's simulator goes with the command's process group
}
export -f run_sensors sim_options grabbers_running e2e_until

# The final statistics of PORT in a run's output: its last "[PORT]" block (one port: the output, whose
# last counters are the final ones).
final_block() { awk -v head="[$2]" -v one="$3" 'one { print; next } $0 == head { on = 1; n = 0; delete lines; next }
                    /^\[/ || !NF { on = 0 } on { lines[++n] = $0 } END { for (i = 1; i <= n; ++i) print lines[i] }' "$1"; }

# N sensors run as above, then each one's counters and capture checked, and the decoder's status.
sensors_run() {
  local n=$1 pull=$2 frames=$3 out="$work/run$1" k block="$work/block" size want=""
  echo "== $n sensors$([ "$pull" = 0 ] || echo ", cable $pull pulled")"
  bash "$SOURCE_DIR/scripts/vport.sh" --build "$BUILD_DIR" --ports "$n" -- bash -c 'run_sensors "$@"' _ "$n" "$pull" "$frames" ||
    e2e_fail "$n sensors: the run failed (status $?)"
  read -ra ports <<<"$(cat "$out.ports")"
  for k in $(seq 1 "$n"); do
    final_block "$out.out" "${ports[k - 1]}" "$((n == 1))" >"$block"
    # shellcheck disable=SC2046
    "$sim" $(sim_options "$k") --frames $((k == pull ? 500 : frames)) >"$work/expected.bin"
    if [ "$k" = "$pull" ]; then
      size=$(stat -c %s "$out.$k.ostrel")
      e2e_check_eq "$n sensors: pulled sensor's bytes" "$size" "$(e2e_count_of "$block" "Total bytes")"
      cmp -n "$size" "$work/expected.bin" "$out.$k.ostrel" || e2e_fail "$n sensors: the pulled capture is not its stream"
      continue
    fi
    for name in "${counters[@]}"; do
      e2e_check_eq "$n sensors, sensor $k: $name" "$(e2e_count_of "$out.$k.report" "$name")" "$(e2e_count_of "$block" "$name")"
    done
    cmp "$work/expected.bin" "$out.$k.ostrel" || e2e_fail "$n sensors: capture $k is not its stream"
  done
  e2e_check_eq "$n sensors: decoder status" "$4" "$(cat "$out.status")"
  grep -q "^grabber halted" "$out.out" || e2e_fail "$n sensors: Ctrl-C did not stop the grabbers"
  [ "$pull" = 0 ] || want="quarvis-decode: the port ${ports[pull - 1]} is disconnected"
  e2e_check_eq "$n sensors: messages" "$want" "$(cat "$out.err")"
}

sensors_run 1 0 50 0
sensors_run 2 0 60 0
sensors_run 8 3 40 1
e2e_pass
