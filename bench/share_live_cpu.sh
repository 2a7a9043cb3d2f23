#!/usr/bin/env bash
# What sharing live costs: whole-process CPU of quarvis-decode reading a 51 frames/s quarvis-sim
# stream through a virtual port, alone (the baseline) and with --foxglove on 127.0.0.1 (a port the
# system picks) and CLIENTS npm Foxglove clients subscribed to every channel, over the same SECONDS;
# then the messages each client got (a client that falls behind would get fewer).
# Usage: bench/share_live_cpu.sh BUILD_DIR [SECONDS] [CLIENTS]     prints "name: value" lines on stdout
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
seconds=${2:-10}
clients=${3:-8}
source "$top/tests/e2e/lib.sh"
e2e_under_vport "$build" "$top" "$0" "$build" "$seconds" "$clients"
exec 3>&1 1>&2  # figures on the original stdout, everything else on stderr
decode="$BUILD_DIR/tools/quarvis-decode"
frame_rate=51

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }  # user + system time of a process, clock ticks

# One run: the decoder with ARGS, the stream, the clients when sharing; prints the decoder's share
# of a core in percent.
measure() {
    LD_PRELOAD=$shim_preload "$decode" --port "$VPORT_PORT" --baud 1500000 --seconds 600 "$@" \
        >/dev/null 2>"$E2E_WORK/decode.err" &
    local decoder=$! sim watcher="" port=""
    E2E_PIDS+=("$decoder")
    sleep 0.5
    "$VPORT_SIM" --baud 1500000 --rate "$frame_rate" --out "$VPORT_SENSOR" &
    sim=$!
    E2E_PIDS+=("$sim")
    if [ $# -gt 0 ]; then
        e2e_wait_for_line "$E2E_WORK/decode.err" "sharing live on" || e2e_fail "nothing served"
        port=$(sed -n 's/.*sharing live on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$E2E_WORK/decode.err")
        NODE_PATH="$top/build/npm/node_modules" node -e '
            const WebSocket = require("ws"), { FoxgloveClient } = require("@foxglove/ws-protocol");
            const [port, count, ms] = process.argv.slice(1).map(Number), got = new Array(count).fill(0);
            for (let i = 0; i < count; ++i) {
              const c = new FoxgloveClient({ ws: new WebSocket(`ws://127.0.0.1:${port}`, [FoxgloveClient.SUPPORTED_SUBPROTOCOL]) });
              c.on("advertise", (channels) => channels.forEach((ch) => c.subscribe(ch.id)));
              c.on("message", () => ++got[i]);
            }
            setTimeout(() => { console.log(got.join(" ")); process.exit(0); }, ms);' \
            "$port" "$clients" $(( (seconds + 2) * 1000 )) >"$E2E_WORK/clients.out" &
        watcher=$!
        E2E_PIDS+=("$watcher")
    fi
    sleep 1  # settled: the port open, the clients subscribed
    local before
    before=$(ticks "$decoder")
    sleep "$seconds"
    awk -v t=$(( $(ticks "$decoder") - before )) -v hz="$(getconf CLK_TCK)" -v s="$seconds" \
        'BEGIN { printf "%.2f\n", 100 * t / hz / s }'
    [ -z "$watcher" ] || wait "$watcher"
    kill -INT "$decoder"; wait "$decoder"
    kill "$sim"; wait "$sim" 2>/dev/null
}

alone=$(measure)
shared=$(measure --foxglove 127.0.0.1:0)
{
    echo "decode alone at $frame_rate frames/s, % of a core: $alone"
    echo "decode sharing to $clients clients, % of a core: $shared"
    echo "messages each client got in about $(( seconds + 1 )) s: $(cat "$E2E_WORK/clients.out")"
} >&3
