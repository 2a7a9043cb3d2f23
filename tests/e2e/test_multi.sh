#!/usr/bin/env bash
# Several sensors at once through the virtual-port shim: quarvis-decode reading two and then eight
# ports, each fed its own simulated stream (its own seed and fault rates) and captured; every
# sensor's counters must be what its simulator's report says and every capture its stream byte for
# byte. In the run of eight one cable is pulled mid-stream while the others run to the end.
# Called by ctest as: bash test_multi.sh BUILD_DIR SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_init "$1" "$2"
export sim="$BUILD_DIR/tools/quarvis-sim" decode="$BUILD_DIR/tools/quarvis-decode" work=$E2E_WORK
counters=("Total bytes" "Good frames" "Good syncs" "Lost syncs" "Size errors" "Cksum errors" "Invalid errors")

# Sensor K's stream: a seed and fault rates of its own.
sim_options() {
  echo "--baud 1500000 --seed $((20 + $1)) --garbage 0.0$1 --bad-checksum 0.0$(($1 % 4)) --cut-short 0.0$(($1 % 3))"
}
grabbers_running() { [ "$(grep -c '^grabber started' "$1")" -ge "$2" ]; }

# Inside scripts/vport.sh: N sensors of FRAMES frames each while quarvis-decode reads and captures
# them all; sensor PULL (0: none) streams on until its socat is killed a second in.
run_sensors() {
  local n=$1 pull=$2 frames=$3 out="$work/run$1" k reader sims=() pulled=""
  read -ra ports <<<"$VPORT_PORTS"
  read -ra sensors <<<"$VPORT_SENSORS"
  read -ra socats <<<"$VPORT_SOCAT_PIDS"
  local args=()
  for k in $(seq 1 "$n"); do args+=(--port "${ports[k - 1]}"); done
  for k in $(seq 1 "$n"); do args+=(--capture "$out.$k.ostrel"); done
  "$decode" --debug --baud 1500000 "${args[@]}" >"$out.out" 2>"$out.err" &
  reader=$!
  e2e_until 10 grabbers_running "$out.out" "$n" || return 8
  for k in $(seq 1 "$n"); do
    # shellcheck disable=SC2046  # the options are meant to be split into words
    if [ "$k" = "$pull" ]; then
      "$sim" --out "${sensors[k - 1]}" $(sim_options "$k") 2>/dev/null &
      pulled=$!
    else
      "$sim" --out "${sensors[k - 1]}" $(sim_options "$k") --frames "$frames" --report "$out.$k.report" &
      sims+=($!)
    fi
  done
  if [ -n "$pulled" ]; then sleep 1; kill "${socats[pull - 1]}"; fi
  wait "${sims[@]}" || return 9
  sleep 1  # the last bytes through the grabbers
  kill -INT "$reader"
  wait "$reader"
  echo $? >"$out.status"
  if [ -n "$pulled" ]; then kill "$pulled" 2>/dev/null; wait "$pulled"; fi
  return 0
}
export -f run_sensors sim_options grabbers_running e2e_until

# The final statistics of PORT in a run's output: its last "[PORT]" block.
final_block() { awk -v head="[$2]" '$0 == head { on = 1; n = 0; delete lines; next } /^\[/ || !NF { on = 0 } on { lines[++n] = $0 }
                                     END { for (i = 1; i <= n; ++i) print lines[i] }' "$1"; }

check_run() {
  local n=$1 pull=$2 frames=$3 out="$work/run$1" k block
  read -ra ports <<<"$(cat "$out.ports")"
  for k in $(seq 1 "$n"); do
    block="$work/block$k"
    final_block "$out.out" "${ports[k - 1]}" >"$block"
    # shellcheck disable=SC2046
    "$sim" $(sim_options "$k") --frames $((k == pull ? 500 : frames)) >"$work/expected$k.bin"
    if [ "$k" = "$pull" ]; then
      local size
      size=$(stat -c %s "$out.$k.ostrel")
      [ "$size" -gt 0 ] || e2e_fail "$n sensors: the pulled sensor's capture is empty"
      e2e_check_eq "$n sensors: pulled sensor's bytes" "$size" "$(e2e_count_of "$block" "Total bytes")"
      cmp -n "$size" "$work/expected$k.bin" "$out.$k.ostrel" || e2e_fail "$n sensors: the pulled capture is not its stream"
      continue
    fi
    for name in "${counters[@]}"; do
      e2e_check_eq "$n sensors, sensor $k: $name" "$(e2e_count_of "$out.$k.report" "$name")" "$(e2e_count_of "$block" "$name")"
    done
    cmp "$work/expected$k.bin" "$out.$k.ostrel" || e2e_fail "$n sensors: capture $k is not its stream"
  done
}

multi_run() {
  local n=$1 pull=$2 frames=$3
  echo "== $n sensors$([ "$pull" = 0 ] || echo ", cable $pull pulled")"
  bash "$SOURCE_DIR/scripts/vport.sh" --build "$BUILD_DIR" --ports "$n" -- \
    bash -c 'echo "$VPORT_PORTS" >"$work/run'"$n"'.ports"; run_sensors "$@"' _ "$n" "$pull" "$frames" ||
    e2e_fail "$n sensors: the run failed (status $?)"
}

multi_run 2 0 60
check_run 2 0 60
e2e_check_eq "2 sensors: decoder status" 0 "$(cat "$work/run2.status")"

multi_run 8 3 40
check_run 8 3 40
e2e_check_eq "8 sensors: decoder status" 1 "$(cat "$work/run8.status")"
read -ra ports8 <<<"$(cat "$work/run8.ports")"
e2e_check_eq "8 sensors: lost port" "quarvis-decode: the port ${ports8[2]} is disconnected" "$(cat "$work/run8.err")"

e2e_pass
