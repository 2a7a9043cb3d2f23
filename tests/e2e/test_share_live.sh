#!/usr/bin/env bash
# Sharing live over a virtual port, checked by npm's Foxglove client on 127.0.0.1 (ports the system
# picks) against --points of the same stream: quarvis-decode --foxglove, ended by Ctrl-C; then the
# viewer's "Share live", which lists the connected client.
# Usage: test_share_live.sh BUILD_DIR SOURCE_DIR
source "$2/tests/e2e/lib.sh"
e2e_under_vport "$1" "$2" "$0" "$1" "$2"
decode="$BUILD_DIR/tools/quarvis-decode"
npm="$SOURCE_DIR/build/npm"
work="$E2E_WORK"
stream=(--frames 600 --seed 5 --start-time 100 --rate 25 --baud 1500000)

"$VPORT_SIM" "${stream[@]}" --out "$work/stream.bin" || e2e_fail "the simulator"
"$decode" --points "$work/stream.bin" >"$work/points.txt" || e2e_fail "the offline decode"

# The headless share.
LD_PRELOAD=$shim_preload "$decode" --port "$VPORT_PORT" --baud 1500000 --foxglove 127.0.0.1:0 --seconds 120 \
    >"$work/decode.out" 2>"$work/decode.err" &
decoder=$!
E2E_PIDS+=("$decoder")
e2e_wait_for_line "$work/decode.err" "sharing live on 127.0.0.1:" || e2e_fail "no address served"
port=$(sed -n 's/.*sharing live on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/decode.err")
node "$SOURCE_DIR/tests/e2e/check_share.js" "$npm" "$port" "$work/points.txt" "Sensor 1" 5 "$work/ready" &
client=$!
E2E_PIDS+=("$client")
e2e_wait_for_line "$work/ready" subscribed || e2e_fail "the client never subscribed"
"$VPORT_SIM" "${stream[@]}" --out "$VPORT_SENSOR" &
sim=$!
E2E_PIDS+=("$sim")
wait "$client" || e2e_fail "the client's check of quarvis-decode"
kill -INT "$decoder"
wait "$decoder"
status=$?
e2e_check_eq "quarvis-decode's status after Ctrl-C" 0 "$status"
kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null

# The viewer's share, on the address of its settings.
mkdir -p "$XDG_CONFIG_HOME/quarvis"
echo "shareAddress=127.0.0.1:0" >"$XDG_CONFIG_HOME/quarvis/settings.conf"
e2e_start_display
e2e_probe_log
e2e_start_viewer
e2e_probe_connect "$VPORT_PORT"
e2e_probe_click "Share live"
"$VPORT_SIM" "${stream[@]}" --out "$VPORT_SENSOR" &
E2E_PIDS+=("$!")
e2e_wait_for_line "$VIEWER_OUT" "share live: serving on 127.0.0.1:" || e2e_fail "the viewer serves nothing"
port=$(sed -n 's/.*share live: serving on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$VIEWER_OUT")
rm -f "$work/ready"
node "$SOURCE_DIR/tests/e2e/check_share.js" "$npm" "$port" "$work/points.txt" "$VPORT_PORT" 3 "$work/ready" hold &
E2E_PIDS+=("$!")
e2e_wait_for_line "$work/ready" matched 30 || e2e_fail "the client's check of the viewer"
e2e_probe_wait "Share client 1" || e2e_fail "the panel lists no client"
e2e_pass
