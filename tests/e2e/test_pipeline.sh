#!/usr/bin/env bash
# The simulator and the decoder end to end: offline through a pipe; the recording, PLY and PCD files
# written from a stream (the point clouds read back by Open3D); live through a pair of pseudo-terminals
# and the virtual-port shim, with a raw capture beside and Ctrl-C; and the tools' failure paths. (The
# soak, scripts/soak.sh, pulls the cable under the decoder.)
# Called by ctest as: bash test_pipeline.sh BUILD_DIR SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_init "$1" "$2"
sim="$BUILD_DIR/tools/quarvis-sim"
decode="$BUILD_DIR/tools/quarvis-decode"
vport="$SOURCE_DIR/scripts/vport.sh"
work=$E2E_WORK

faults=(--garbage 0.1 --bad-checksum 0.1 --bad-size 0.1 --cut-short 0.1)

echo "== offline: faults through a pipe"
# The decoder's stream counters must be the ones the simulator worked out (the soak checks them live).
"$sim" --frames 300 --seed 11 "${faults[@]}" --report "$work/offline.report" | "$decode" >"$work/offline.out"
for name in "Total bytes" "Good frames" "Good syncs" "Lost syncs" "Size errors" "Cksum errors" "Invalid errors"; do
  e2e_check_eq "offline: $name" "$(e2e_count_of "$work/offline.report" "$name")" "$(e2e_count_of "$work/offline.out" "$name")"
done
good=$(e2e_count_of "$work/offline.report" "Good frames")
e2e_check_eq "offline: frame lines" "$good" "$(grep -c '^frame [0-9]' "$work/offline.out")"

echo "== offline: points, file argument, sequence numbers and clock"
"$sim" --frames 3 --first-sequence 65535 --start-time 7.5 --rate 20 >"$work/three.bin"
"$decode" --points "$work/three.bin" >"$work/three.out"
e2e_check_eq "points: frame lines" "frame 65535 7 500000|frame 0 7 550000|frame 1 7 600000" \
  "$(grep '^frame [0-9]' "$work/three.out" | paste -sd '|')"
e2e_check_eq "stdin '-' equals the file" "$(cat "$work/three.out")" "$("$decode" --points - <"$work/three.bin")"

echo "== a recording, PLY and PCD files from a faulty stream"
"$sim" --frames 40 --seed 3 --garbage 0.1 --bad-checksum 0.1 >"$work/stream.bin"
"$decode" --points "$work/stream.bin" >"$work/points.out"
"$decode" --csv "$work/run.csv" --ply "$work/clouds" --pcd "$work/clouds" "$work/stream.bin" >"$work/csv.out"
e2e_check_eq "standard output unchanged" "$(grep -v ',' "$work/points.out")" "$(cat "$work/csv.out")"
e2e_check_eq "header" "time,$(for i in $(seq 480); do printf 'x%d,y%d,z%d,' $i $i $i; done)roll,pitch,yaw" \
  "$(head -n 1 "$work/run.csv")"
# After the 15-character time and its comma, a row is the frame's points as --points prints them.
e2e_check_eq "rows equal the good frames" "$(grep ',' "$work/points.out")" "$(tail -n +2 "$work/run.csv" | cut -c 17-)"
tail -n +2 "$work/run.csv" | grep -Eqv '^[0-9]{8}-[0-9]{6},' && e2e_fail "a row without its time column"
[ "$(tail -c 2 "$work/run.csv" | od -An -c | tr -d ' ')" = ",\n" ] || e2e_fail "the file does not end with ',\\n'"
# A file size limit (in 1024-byte blocks) that ends the room part-way through a row.
status=0; (ulimit -f 100; "$decode" --csv "$work/limited.csv" "$work/stream.bin" >/dev/null 2>&1) || status=$?
e2e_check_eq "size limit: status" 3 "$status"
rows=$(($(wc -l <"$work/limited.csv") - 1))
[ "$rows" -gt 0 ] || e2e_fail "size limit: no row kept"
e2e_check_eq "size limit: only whole rows" "$(grep ',' "$work/points.out" | head -n "$rows")" \
  "$(tail -n +2 "$work/limited.csv" | cut -c 17-)"
/usr/bin/python3 "$SOURCE_DIR/tests/e2e/check_clouds.py" "$work/points.out" "$work/clouds" .ply .pcd \
  || e2e_fail "Open3D read other points than the frames hold"

echo "== failure paths"
"$sim" --frames 40 >"$work/forty.bin"
cp "$work/three.bin" "$work/three.copy"
mkfifo "$work/gone.fifo"
# status | text the output must hold (extended regex) | command, run in $work with both outputs kept
while IFS='|' read -r want text command; do
  status=0; (cd "$work" && eval "$command") >"$work/out" 2>&1 || status=$?
  e2e_check_eq "'$command': status" "$want" "$status"
  grep -Eq -- "$text" "$work/out" || e2e_fail "'$command': no '$text' in '$(head -c 300 "$work/out")'"
done <<'TABLE'
2|missing.bin: No such file|"$decode" missing.bin
2|^Usage:|"$decode" --bogus
1|libserialport status -|"$decode" --port no-such-port --seconds 1
2|more than 1|"$sim" --garbage 0.7 --cut-short 0.7
2|names the input itself|ln -f three.bin linked.bin; "$decode" --csv linked.bin - <three.bin
2|a live run takes none of|"$decode" --csv x.csv --port /dev/null
2|only a live run takes|"$decode" --capture x.ostrel forty.bin
3|dir.csv: No such file or directory|"$decode" --csv no/such/dir.csv forty.bin
2|gone.fifo: It is a named pipe \(FIFO\), not a regular file|"$decode" gone.fifo
2|null.bin: It is a character device|ln -sf /dev/null null.bin; "$decode" null.bin
2|empty name for '--port'|"$decode" --port ""
1|^kept$|echo kept >keep.ostrel; "$decode" --port no/such/port --seconds 1 --capture keep.ostrel; s=$?; cat keep.ostrel; exit $s
3|del.ostrel was deleted while capturing|"$decode" --port "DEMO SENSOR" --seconds 3 --capture del.ostrel & until [ -e del.ostrel ]; do sleep 0.05; done; rm del.ostrel; wait $!
0|^8736$|timeout 60 "$sim" --rate 0.001 --frames 3 --out unpaced.bin; wc -c <unpaced.bin
3|It is not a folder|"$decode" --ply forty.bin forty.bin
3|such.ostrel No such file or directory|"$decode" --port "DEMO SENSOR" --seconds 1 --capture no/such.ostrel
3|standard output: No space left|"$decode" --help >/dev/full
3|gone.fifo: It is a named pipe|"$decode" --csv gone.fifo forty.bin
1|standard output: No space left|"$sim" --frames 1 >/dev/full
1|report /dev/full: It is a character device|"$sim" --frames 1 --report /dev/full >/dev/null
2|seconds 'inf'|"$decode" --port x --seconds inf
2|--rate '0.0001' makes a frame period|"$sim" --rate 0.0001
2|value 'nan'|"$sim" --rate nan
2|number '-1'|"$sim" --frames -1
0|no frame found in 6 bytes of standard input|printf 'hello\n' | "$decode"
0|no good frame found in 2912 bytes of three.bad|"$sim" --frames 1 --bad-checksum 1 >three.bad; "$decode" three.bad
0|^quarvis [0-9]+\.[0-9]+\.[0-9]+$|"$QUARVIS" --version
0|^Usage: quarvis .*--connect PORT|"$QUARVIS" -h
2|offered baud rate: 'no-such-port@115200'|"$QUARVIS" --connect no-such-port@115200
2|unknown option '--bogus'|"$QUARVIS" --bogus
TABLE
cmp -s "$work/three.bin" "$work/three.copy" || e2e_fail "--csv onto its input changed the input"
# A reader that stops early: both tools end quietly, as filters do.
for tool in "$sim" "$decode --points $work/forty.bin"; do
  status=0; $tool 2>"$work/err" | head -c 10000 >/dev/null || status=${PIPESTATUS[0]}
  e2e_check_eq "closed pipe: ${tool##*/} status" 0 "$status"
  e2e_check_eq "closed pipe: ${tool##*/} messages" "" "$(cat "$work/err")"
done

# The decoder opens the port first; the sensor starts once the grabber runs ("grabber started" with
# --debug), so every byte it writes is counted. Only the virtual port is listed.
export -f e2e_until e2e_wait_for_line
echo "== live: 1500000 baud through a pseudo-terminal, captured, ended by Ctrl-C"
bash "$vport" --build "$BUILD_DIR" -- bash -c '
  [ "$("'"$decode"'" --list-ports | paste -sd " ")" = "$VPORT_PORT" ] || exit 8
  "'"$decode"'" --debug --port "$VPORT_PORT" --baud 1500000 --capture "'"$work"'/live.ostrel" >"'"$work"'/live.out" &
  reader=$!
  e2e_wait_for_line "'"$work"'/live.out" "grabber started" 5
  "$VPORT_SIM" --out "$VPORT_SENSOR" --baud 1500000 --frames 50 --seed 5 '"${faults[*]}"'
  sleep 1
  kill -INT $reader
  wait $reader' || e2e_fail "live: the run failed (status $?)"
grep -q "^grabber halted" "$work/live.out" || e2e_fail "live: Ctrl-C did not stop the grabber"
# The same seed and rate (the rate sets the frames' clock) write the same bytes again.
"$sim" --baud 1500000 --frames 50 --seed 5 "${faults[@]}" >"$work/expected.bin"
cmp "$work/expected.bin" "$work/live.ostrel" || e2e_fail "the capture differs from the simulator's stream"

e2e_pass
