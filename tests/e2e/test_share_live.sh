#!/usr/bin/env bash
# quarvis-decode --foxglove over a virtual port: npm's Foxglove client subscribes to the sensor's
# points on 127.0.0.1 (a port the system picks) and checks them against --points of the same
# stream; Ctrl-C then ends the tool cleanly.
# Usage: test_share_live.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$2" && pwd)
[ -n "${VPORT_PORT:-}" ] || exec bash "$top/scripts/vport.sh" --build "$build" -- bash "$0" "$build" "$top"
shim_preload=$LD_PRELOAD
unset LD_PRELOAD
work="$VPORT_DIR/share"
mkdir -p "$work/home/.config"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
decode="$build/tools/quarvis-decode"
stream=(--frames 60 --seed 5 --start-time 100 --rate 25 --baud 1500000)
pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; cat "$work/decode.err" >&2 2>/dev/null; exit 1; }
until_file() { for _ in $(seq 400); do grep -qs "$2" "$1" && return 0; sleep 0.05; done; return 1; }

"$VPORT_SIM" "${stream[@]}" --out "$work/stream.bin" || fail "the simulator"
"$decode" --points "$work/stream.bin" >"$work/points.txt" || fail "the offline decode"

LD_PRELOAD=$shim_preload "$decode" --port "$VPORT_PORT" --baud 1500000 --foxglove 127.0.0.1:0 --seconds 120 \
    >"$work/decode.out" 2>"$work/decode.err" &
decoder=$!
pids+=("$decoder")
until_file "$work/decode.err" "sharing live on 127.0.0.1:" || fail "no address served"
port=$(sed -n 's/.*sharing live on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/decode.err")

node "$top/tests/e2e/check_share.js" "$top/build/npm" "$port" "$work/points.txt" 5 "$work/ready" &
client=$!
pids+=("$client")
until_file "$work/ready" subscribed || fail "the client never subscribed"
"$VPORT_SIM" "${stream[@]}" --out "$VPORT_SENSOR" &
pids+=("$!")
wait "$client" || fail "the client's check"

kill -INT "$decoder"
wait "$decoder"
status=$?
[ "$status" -eq 0 ] || fail "quarvis-decode ended with status $status after Ctrl-C"
echo PASS
