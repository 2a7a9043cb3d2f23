#!/usr/bin/env bash
# The soak: the real viewer under Xvfb for SECONDS, driven with xdotool as a user would, against a
# 1,500,000 baud stream with every kind of fault quarvis-sim injects, through the virtual-port shim.
# In cycles of a few seconds it connects, records into a new file every other cycle, and either
# disconnects or, every third cycle, pulls the cable (kills socat; the recording, if any, is cut)
# and plugs it back (a new socat on the same names). Beside it, quarvis-decode reads a second
# virtual port in rounds: 100 faulty frames whose link counters must equal what the simulator
# reports it injected, and every fourth round a cable pulled mid-stream.
# Checks: frames keep coming (a frame report on SIGUSR1 after every cycle, each with more frames);
# resident memory, open files and threads flat between the end of the warm-up (third cycle) and the
# end; every recording a header and complete rows of 1441 values only; every decoder round's
# counters as injected; Escape ends the viewer with status 0. The last lines sum the run up.
# Usage: scripts/soak.sh [SECONDS] [BUILD_DIR]     (default 600 s and build/; tests/e2e/test_soak.sh
#        runs it for 60 s)
top=$(cd "$(dirname "$0")/.." && pwd)
faults=(--garbage 0.03 --bad-checksum 0.03 --bad-size 0.03 --cut-short 0.03)
stream_counters=("Total bytes" "Good frames" "Good syncs" "Lost syncs" "Size errors" "Cksum errors" "Invalid errors")
rss_growth_limit_kib=$((20 * 1024))

# ---- The decoder's rounds (inside a vport.sh of their own) -----------------------------------------

count_of() { grep "^$2: " "$1" | tail -n 1 | sed 's/.*: //'; }
wait_for_grabber() {
    for _ in $(seq 200); do grep -q "^grabber started" "$1" 2>/dev/null && return 0; sleep 0.05; done
    return 1
}

# Writes one line per round into RESULTS: "ok ..." or "FAIL ..."; ends when the file STOP exists.
decode_rounds() {  # decode_rounds BUILD RESULTS STOP
    local decode="$1/tools/quarvis-decode" results=$2 stop=$3 work round=0 reader writer status name
    work=$(dirname "$results")
    while [ ! -e "$stop" ]; do
        round=$((round + 1))
        local out="$work/decode-$round.out"
        "$decode" --debug --port "$VPORT_PORT" --baud 1500000 --seconds 120 > "$out" 2> "$out.err" &
        reader=$!
        wait_for_grabber "$out" || { echo "FAIL round $round: the decoder did not start" >> "$results"; kill $reader; wait $reader; continue; }
        if [ $((round % 4)) -eq 0 ]; then
            "$VPORT_SIM" --out "$VPORT_SENSOR" --baud 1500000 --seed "$round" "${faults[@]}" 2> /dev/null &
            writer=$!
            sleep 1
            kill "$(cat "$VPORT_DIR/socat.pid")"
            status=0; wait $reader || status=$?
            wait $writer
            if [ "$status" = 1 ] && grep -q "is disconnected" "$out.err" && [ "$(count_of "$out" "Good frames")" -gt 0 ]; then
                echo "ok round $round: cable pulled after $(count_of "$out" "Good frames") good frames" >> "$results"
            else
                echo "FAIL round $round: pulled cable: status $status, '$(cat "$out.err")'" >> "$results"
            fi
            $VPORT_PLUG || { echo "FAIL round $round: the cable could not be plugged back" >> "$results"; return; }
            continue
        fi
        "$VPORT_SIM" --out "$VPORT_SENSOR" --baud 1500000 --frames 100 --seed "$round" "${faults[@]}" \
            --report "$out.report" 2> /dev/null
        # The decoder prints its counters every second: wait until it has read every byte written.
        for _ in $(seq 100); do
            [ "$(count_of "$out" "Total bytes")" = "$(count_of "$out.report" "Total bytes")" ] && break
            sleep 0.1
        done
        kill -INT $reader
        status=0; wait $reader || status=$?
        local differ=""
        for name in "${stream_counters[@]}"; do
            [ "$(count_of "$out.report" "$name")" = "$(count_of "$out" "$name")" ] ||
                differ+=" $name $(count_of "$out" "$name") (injected $(count_of "$out.report" "$name"))"
        done
        if [ "$status" = 0 ] && [ -z "$differ" ]; then
            echo "ok round $round: $(count_of "$out" "Good frames") good frames, $(count_of "$out" "Lost syncs") lost syncs as injected" >> "$results"
        else
            echo "FAIL round $round: status $status;$differ" >> "$results"
        fi
    done
}

if [ "${1:-}" = "--decode-rounds" ]; then
    decode_rounds "$2" "$3" "$4"
    exit 0
fi

# ---- The viewer ------------------------------------------------------------------------------------

seconds=${1:-600}
build=$(cd "${2:-$top/build}" && pwd)
source "$top/tests/e2e/lib.sh"
e2e_under_vport "$build" "$top" "$0" "$seconds" "$build"

sim_pid=""
start_stream() {
    "$VPORT_SIM" --out "$VPORT_SENSOR" --baud 1500000 --seed "$1" "${faults[@]}" 2>> "$E2E_WORK/sim.err" &
    sim_pid=$!
    E2E_PIDS+=("$sim_pid")
}
lines_of() { grep -c -- "$2" "$1"; }
# Waits up to 10 s for more lines matching TEXT in the viewer's output than BEFORE.
wait_more_lines() {  # wait_more_lines TEXT BEFORE
    for _ in $(seq 200); do
        [ "$(lines_of "$VIEWER_OUT" "$1")" -gt "$2" ] && return 0
        sleep 0.05
    done
    return 1
}
shown=""
show_panel() {
    [ "$shown" = "$1" ] && return
    e2e_probe_click "$1"
    shown=$1
}

frames_drawn=0
longest_report_ms=0
# A frame report within 10 s, with more frames drawn than the one before.
check_frames_coming() {
    local start_ns report waited drawn
    start_ns=$(date +%s%N)
    report=$(e2e_frame_report) || e2e_fail "cycle $cycle: no frame report within 10 s"
    waited=$(( ($(date +%s%N) - start_ns) / 1000000 ))
    [ "$waited" -gt "$longest_report_ms" ] && longest_report_ms=$waited
    drawn=$(echo "$report" | awk '{ print $3 }')
    [ "$drawn" -gt "$frames_drawn" ] || e2e_fail "cycle $cycle: no frame drawn since the last report ($drawn)"
    frames_drawn=$drawn
}
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$VIEWER_PID/status"; }
open_files() { ls "/proc/$VIEWER_PID/fd" | wc -l; }
threads() { ls "/proc/$VIEWER_PID/task" | wc -l; }

connect() {
    show_panel "Ostrel"
    e2e_probe_click "##Rescan"
    e2e_probe_click "##Port Combo"
    e2e_probe_click "$VPORT_PORT"
    local before
    before=$(lines_of "$VIEWER_OUT" "^serial open code: 0")
    e2e_probe_click "Connect to Sensor"
    wait_more_lines "^serial open code: 0" "$before" || e2e_fail "cycle $cycle: connecting failed"
}
start_recording() {
    show_panel "Record"
    e2e_probe_click "Record Start"
    e2e_probe_wait "##FileName" || e2e_fail "cycle $cycle: the chooser did not open"
    e2e_probe_click "##FileName"
    e2e_chord ctrl a
    e2e_chord BackSpace
    xdotool type --delay 20 "soak-$cycle"
    e2e_probe_click "OK"
    e2e_probe_wait "Recording Seconds" 5 || e2e_fail "cycle $cycle: the recording did not start"
    recordings=$((recordings + 1))
}
stop_recording() {
    e2e_probe_click "Record Stop"
    e2e_probe_wait "Recording Succeed/Close" 5 || e2e_fail "cycle $cycle: no 'Recording Succeed'"
    e2e_probe_click "Recording Succeed/Close"
}
disconnect() {
    show_panel "Ostrel"
    local before
    before=$(lines_of "$VIEWER_OUT" "^grabber halted")
    e2e_probe_click "Disconnect from Sensor"
    wait_more_lines "^grabber halted" "$before" || e2e_fail "cycle $cycle: disconnecting did not stop the grabber"
}
# Kills socat while connected: the viewer must notice, cut the recording if one runs, and the
# sensor is plugged back in with a fresh stream.
pull_cable() {
    local before=$(lines_of "$VIEWER_OUT" "^code: 1")
    E2E_PROBE_MARK=$(wc -l < "$E2E_PROBES")
    kill "$(cat "$VPORT_DIR/socat.pid")"
    wait_more_lines "^code: 1" "$before" || e2e_fail "cycle $cycle: the pulled cable went unnoticed"
    e2e_probe_wait "The Port is Disconnected" 5 || e2e_fail "cycle $cycle: no banner after the pulled cable"
    if [ "$1" = 1 ]; then
        e2e_probe_wait "Recording Notice/Close" 5 || e2e_fail "cycle $cycle: no notice of the cut recording"
        e2e_probe_click "Recording Notice/Close"
    fi
    for _ in $(seq 60); do kill -0 "$sim_pid" 2>/dev/null || break; sleep 0.05; done
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    $VPORT_PLUG || e2e_fail "cycle $cycle: the cable could not be plugged back"
    start_stream "$cycle"
    pulls=$((pulls + 1))
}

# Header and complete rows of 1441 values only (each value followed by a comma), ending in a newline.
check_recording() {
    local file=$1 header rows
    header=$(head -n 1 "$file")
    [[ "$header" =~ ^time,x1,y1,z1,x2,.*,z480,roll,pitch,yaw$ ]] || e2e_fail "$file: bad header"
    [ "$(tail -c 1 "$file" | od -An -c | tr -d ' ')" = '\n' ] || e2e_fail "$file: the last row is cut"
    tail -n +2 "$file" | awk -F',' '
        NF != 1442 || $1 !~ /^[0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]-[0-9][0-9][0-9][0-9][0-9][0-9]$/ || $1442 != "" { bad = NR + 1; exit }
        { for (i = 2; i <= 1441; ++i) if ($i !~ /^-?[0-9.]+(e[-+][0-9]+)?$/) { bad = NR + 1; exit } }
        END { if (bad) { print "row at line " bad " is malformed"; exit 1 } }' > "$E2E_WORK/check.out" ||
        e2e_fail "$file: $(cat "$E2E_WORK/check.out")"
    rows=$(($(wc -l < "$file") - 1))
    [ "$rows" -ge 1 ] || e2e_fail "$file: no row"
    # Frames kept coming while it recorded: the moving object makes rows differ.
    if [ "$rows" -ge 10 ] && [ "$(tail -n +2 "$file" | cut -d ',' -f 2- | sort -u | wc -l)" -lt 2 ]; then
        e2e_fail "$file: $rows rows, all the same frame"
    fi
    recorded_rows=$((recorded_rows + rows))
}

e2e_start_display
e2e_probe_log
LD_PRELOAD=$shim_preload e2e_start_viewer
start_stream 0
rounds="$E2E_WORK/rounds/results"
mkdir -p "$(dirname "$rounds")"
: > "$rounds"
bash "$top/scripts/vport.sh" --build "$build" -- \
    bash "$0" --decode-rounds "$build" "$rounds" "$E2E_WORK/rounds/stop" > "$E2E_WORK/rounds/log" 2>&1 &
rounds_pid=$!
E2E_PIDS+=("$rounds_pid")

show_panel "Ostrel"
e2e_probe_click "##Baud Combo"
e2e_probe_click "1500000"

cycle=0 recordings=0 pulls=0 recorded_rows=0
warm_rss="" warm_files="" warm_threads=""
deadline=$((SECONDS + seconds))
warm_up_cycles=3
while [ "$SECONDS" -lt "$deadline" ] || [ "$cycle" -le "$warm_up_cycles" ]; do
    cycle=$((cycle + 1))
    connect
    recording=0
    if [ $((cycle % 2)) -eq 1 ]; then start_recording; recording=1; fi
    sleep 2
    if [ $((cycle % 3)) -eq 0 ]; then
        pull_cable "$recording"
    else
        [ "$recording" = 1 ] && stop_recording
        disconnect
    fi
    check_frames_coming
    echo "cycle $cycle: frames drawn $frames_drawn, RSS $(rss_kib) KiB, $(open_files) open files, $(threads) threads"
    if [ "$cycle" -eq "$warm_up_cycles" ]; then
        warm_rss=$(rss_kib) warm_files=$(open_files) warm_threads=$(threads)
    fi
done
end_rss=$(rss_kib) end_files=$(open_files) end_threads=$(threads)
[ "$end_rss" -le $((warm_rss + rss_growth_limit_kib)) ] ||
    e2e_fail "resident memory grew from $warm_rss KiB to $end_rss KiB"
[ "$end_files" -le "$warm_files" ] || e2e_fail "open files grew from $warm_files to $end_files"
[ "$end_threads" -eq "$warm_threads" ] || e2e_fail "threads went from $warm_threads to $end_threads"

e2e_key Escape
e2e_wait_viewer_exit 20
[ "$VIEWER_STATUS" = "0" ] || e2e_fail "after Escape the viewer's status was $VIEWER_STATUS"

touch "$E2E_WORK/rounds/stop"
for _ in $(seq 300); do kill -0 "$rounds_pid" 2>/dev/null || break; sleep 0.1; done
grep "^FAIL" "$rounds" && e2e_fail "decoder rounds failed (above)"
counted=$(grep -c "^ok round .* as injected" "$rounds")
decoder_pulls=$(grep -c "^ok round .* cable pulled" "$rounds")
[ "$counted" -ge 1 ] || e2e_fail "no decoder round finished: $(cat "$E2E_WORK/rounds/log")"

files=("$E2E_WORK"/soak-*.csv)
[ "${#files[@]}" -eq "$recordings" ] && [ -e "${files[0]}" ] ||
    e2e_fail "$recordings recordings started, files: $(ls "$E2E_WORK")"
for file in "${files[@]}"; do check_recording "$file"; done

echo "soak: $seconds s, $cycle cycles: $recordings recordings ($recorded_rows rows, all well formed), $pulls cables pulled"
echo "soak: frames drawn $frames_drawn; longest wait for a frame report $longest_report_ms ms"
# With --debug the viewer prints the sensor's time stamp of every good frame.
echo "soak: $(grep -cE '^[0-9]+\.[0-9]{4}$' "$VIEWER_OUT") good frames received, $(lines_of "$VIEWER_OUT" "^overrun") dropped as overruns"
echo "soak: resident memory $warm_rss KiB after the warm-up, $end_rss KiB at the end; open files $warm_files -> $end_files; threads $warm_threads -> $end_threads"
echo "soak: decoder rounds: $counted with every counter as injected, $decoder_pulls with the cable pulled"
grep -h "^frames: " "$VIEWER_OUT"
e2e_pass
