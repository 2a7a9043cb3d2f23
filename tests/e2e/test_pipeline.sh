#!/usr/bin/env bash
# The simulator and the decoder end to end: offline through a pipe, live through a pair of
# pseudo-terminals and the virtual-port shim, an unplugged sensor, and the tools' failure paths.
# Called by ctest as: bash test_pipeline.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
sim="$build/tools/quarvis-sim"
decode="$build/tools/quarvis-decode"
vport="$source_dir/scripts/vport.sh"
work=$(mktemp -d "${TMPDIR:-/tmp}/quarvis-pipeline.XXXXXX")
tty_socat=""
trap '[ -z "$tty_socat" ] || kill "$tty_socat" 2>/dev/null; rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check_eq() { if [ "$2" != "$3" ]; then fail "$1: expected '$2', got '$3'"; fi; }
# The value of "NAME: COUNT" in a file (the last occurrence: live runs print several rounds).
count_of() { grep "^$2: " "$1" | tail -n 1 | sed 's/.*: //'; }
stream_counters="Total bytes|Good frames|Good syncs|Lost syncs|Size errors|Cksum errors|Invalid errors"
# The stream counters of the decoder's last round must be the ones the simulator worked out.
check_counters() {
  local what=$1 report=$2 decoded=$3 name
  while IFS= read -r name; do
    check_eq "$what: $name" "$(count_of "$report" "$name")" "$(count_of "$decoded" "$name")"
  done < <(echo "$stream_counters" | tr '|' '\n')
}
faults=(--garbage 0.1 --bad-checksum 0.1 --bad-size 0.1 --cut-short 0.1)

echo "== offline: faults through a pipe"
"$sim" --frames 300 --seed 11 "${faults[@]}" --report "$work/offline.report" | "$decode" >"$work/offline.out"
check_counters offline "$work/offline.report" "$work/offline.out"
good=$(count_of "$work/offline.report" "Good frames")
check_eq "offline: frame lines" "$good" "$(grep -c '^frame [0-9]' "$work/offline.out")"
check_eq "offline: overruns" 0 "$(count_of "$work/offline.out" "write overrun")"
check_eq "offline: frames processed" "$good" "$(count_of "$work/offline.out" "frame processed")"
check_eq "offline: buffers processed" "$good" "$(count_of "$work/offline.out" "buffer processed")"
[ "$(count_of "$work/offline.report" "Lost syncs")" -gt 0 ] || fail "offline: the faults lost no sync"

echo "== offline: points, file argument, sequence numbers and clock"
"$sim" --frames 3 --first-sequence 65535 --start-time 7.5 --rate 20 >"$work/three.bin"
"$decode" --points "$work/three.bin" >"$work/three.out"
check_eq "points: frame lines" "frame 65535 7 500000|frame 0 7 550000|frame 1 7 600000" \
  "$(grep '^frame [0-9]' "$work/three.out" | paste -sd '|')"
check_eq "points: values per line" 1440 "$(sed -n 2p "$work/three.out" | tr -cd ',' | wc -c)"
sed -n 2p "$work/three.out" | grep -Eq '^(-?[0-9]+(\.[0-9]+)?(e-?[0-9]+)?,){1440}$' || fail "points: not a list of numbers"
check_eq "stdin '-' equals the file" "$(cat "$work/three.out")" "$("$decode" --points - <"$work/three.bin")"

echo "== failure paths"
"$sim" --frames 40 >"$work/forty.bin"
cp "$work/three.bin" "$work/three.copy"
mkfifo "$work/gone.fifo"
# status | text the output must hold (extended regex) | command, run in $work with both outputs kept
while IFS='|' read -r want text command; do
  status=0; (cd "$work" && eval "$command") >"$work/out" 2>&1 || status=$?
  check_eq "'$command': status" "$want" "$status"
  grep -Eq -- "$text" "$work/out" || fail "'$command': no '$text' in '$(head -c 300 "$work/out")'"
done <<'TABLE'
2|missing.bin: No such file|"$decode" missing.bin
2|^Usage:|"$decode" --bogus
1|libserialport status -|"$decode" --port no-such-port --seconds 1
2|more than 1|"$sim" --garbage 0.7 --cut-short 0.7
2|names the input itself|"$decode" --csv three.bin three.bin
2|names the input itself|ln -f three.bin linked.bin; "$decode" --csv linked.bin - <three.bin
3|standard output: No space left|"$decode" three.bin >/dev/full
3|standard output: No space left|"$decode" --help >/dev/full
3|gone.fifo: Broken pipe|(head -c 1 gone.fifo >/dev/null &); "$decode" --csv gone.fifo forty.bin >/dev/null
1|standard output: No space left|"$sim" --frames 1 >/dev/full
1|report /dev/full: No space left|"$sim" --frames 1 --report /dev/full >/dev/null
1|standard output: No space left|"$sim" --version >/dev/full
2|seconds 'inf'|"$decode" --port x --seconds inf
2|seconds '1e300'|"$decode" --port x --seconds 1e300
2|seconds '-1'|"$decode" --port x --seconds -1
2|--rate '0.0001' makes a frame period|"$sim" --rate 0.0001
2|--baud '6' makes a frame period|"$sim" --baud 6
2|value 'nan'|"$sim" --rate nan
2|number '-1'|"$sim" --frames -1
0|no frame found in 6 bytes of standard input|printf 'hello\n' | "$decode"
0|no good frame found in 2912 bytes of three.bad|"$sim" --frames 1 --bad-checksum 1 >three.bad; "$decode" three.bad
0|^Usage: quarvis-decode|"$decode" --help
0|^Usage: quarvis-sim|"$sim" --help
0|^quarvis-decode [0-9]+\.[0-9]+\.[0-9]+$|"$decode" --version
0|^quarvis-sim [0-9]+\.[0-9]+\.[0-9]+$|"$sim" --version
0|^quarvis [0-9]+\.[0-9]+\.[0-9]+$|"$build/quarvis" --version
0|^Usage: quarvis \[--debug\]|"$build/quarvis" --help
2|unknown option '--bogus'|"$build/quarvis" --bogus
TABLE
cmp -s "$work/three.bin" "$work/three.copy" || fail "--csv onto its input changed the input"
# A reader that stops early: the simulator ends quietly.
status=0; "$sim" 2>"$work/err" | head -c 10000 >/dev/null || status=${PIPESTATUS[0]}
check_eq "closed pipe: sim status" 0 "$status"
check_eq "closed pipe: sim messages" "" "$(cat "$work/err")"

echo "== a terminal: raw only when --out names it, its settings given back on every exit"
socat -u pty,link="$work/tty" OPEN:/dev/null 2>/dev/null &
tty_socat=$!
for _ in $(seq 1 100); do [ -e "$work/tty" ] && break; sleep 0.05; done
exec 4<>"$work/tty"  # keeps socat alive between the runs
cooked=$(stty -F "$work/tty" -g)
"$sim" --frames 2 >"$work/tty"
check_eq "terminal as standard output: settings" "$cooked" "$(stty -F "$work/tty" -g)"
"$sim" --frames 1 --out "$work/tty" --report "$work/no/report" 2>/dev/null && fail "terminal: the report did not fail"
check_eq "terminal after a failure: settings" "$cooked" "$(stty -F "$work/tty" -g)"
for signals in TERM "INT INT"; do
  "$sim" --baud 9600 --out "$work/tty" &
  pid=$!
  for _ in $(seq 1 100); do [ "$(stty -F "$work/tty" -g)" != "$cooked" ] && break; sleep 0.05; done
  [ "$(stty -F "$work/tty" -g)" != "$cooked" ] || fail "terminal: --out did not make it raw"
  for signal in $signals; do kill -"$signal" "$pid"; sleep 0.1; done
  wait "$pid" || true
  check_eq "terminal after $signals: settings" "$cooked" "$(stty -F "$work/tty" -g)"
done
exec 4>&-

echo "== live: 1500000 baud through a pseudo-terminal"
# The decoder opens the port first; the simulator starts once the grabber runs ("grabber started"
# with --debug), so every byte it writes is counted.
bash "$vport" --build "$build" -- bash -c '
  "'"$decode"'" --debug --port "$VPORT_PORT" --baud 1500000 --seconds 3 >"'"$work"'/live.out" &
  reader=$!
  for _ in $(seq 1 100); do grep -q "^grabber started" "'"$work"'/live.out" 2>/dev/null && break; sleep 0.05; done
  "$VPORT_SIM" --out "$VPORT_SENSOR" --baud 1500000 --frames 50 --seed 5 '"${faults[*]}"' --report "'"$work"'/live.report"
  wait $reader' || fail "live: the run failed (status $?)"
check_counters live "$work/live.report" "$work/live.out"
good=$(count_of "$work/live.out" "Good frames")
handed=$(( $(count_of "$work/live.out" "buffer processed") + $(count_of "$work/live.out" "write overrun") ))
[ "$handed" -eq "$good" ] || [ "$handed" -eq $((good - 1)) ] || fail "live: $good good frames but $handed processed or overrun"

echo "== live: the sensor unplugged"
status=0
bash "$vport" --build "$build" -- bash -c '
  "'"$decode"'" --debug --port "$VPORT_PORT" --baud 1500000 --seconds 60 >"'"$work"'/unplug.out" 2>"'"$work"'/unplug.err" &
  reader=$!
  for _ in $(seq 1 100); do grep -q "^grabber started" "'"$work"'/unplug.out" 2>/dev/null && break; sleep 0.05; done
  "$VPORT_SIM" --out "$VPORT_SENSOR" --baud 1500000 2>"'"$work"'/unplug-sim.err" &
  writer=$!
  sleep 0.5
  kill "$VPORT_SOCAT_PID"
  status=0; wait $reader || status=$?
  wait $writer || { echo "the simulator failed"; exit 9; }
  exit $status' || status=$?
check_eq "unplug: decoder status" 1 "$status"
grep -q "is disconnected" "$work/unplug.err" || fail "unplug: no message in '$(cat "$work/unplug.err")'"
[ "$(count_of "$work/unplug.out" "Good frames")" -gt 0 ] || fail "unplug: no frame before the unplug"
check_eq "unplug: lost syncs" 0 "$(count_of "$work/unplug.out" "Lost syncs")"

echo "== live: Ctrl-C ends the run cleanly"
status=0
bash "$vport" --build "$build" -- bash -c '
  "'"$decode"'" --debug --port "$VPORT_PORT" --seconds 60 >"'"$work"'/interrupt.out" &
  reader=$!
  for _ in $(seq 1 100); do grep -q "^grabber started" "'"$work"'/interrupt.out" 2>/dev/null && break; sleep 0.05; done
  kill -INT $reader
  wait $reader' || status=$?
check_eq "interrupt: decoder status" 0 "$status"
check_eq "interrupt: final statistics" 0 "$(count_of "$work/interrupt.out" "frame processed")"
grep -q "^grabber halted" "$work/interrupt.out" || fail "interrupt: the grabber was not stopped"

echo "== port list: only the virtual port (never the host's), gone once unplugged"
bash "$vport" --build "$build" -- bash -c '
  listed=$("'"$decode"'" --list-ports | paste -sd " ")
  [ "$listed" = "$VPORT_PORT" ] || { echo "listed: $listed"; exit 1; }
  kill "$VPORT_SOCAT_PID"; sleep 0.3
  ! "'"$decode"'" --list-ports | grep -qxF "$VPORT_PORT"' || fail "port list: the virtual port is not listed as it should be"

echo "== live: the demo sensor"
status=0; "$decode" --port "DEMO SENSOR" --baud 921600 --seconds 2 >"$work/demo.out" || status=$?
check_eq "demo: status" 0 "$status"
[ "$(count_of "$work/demo.out" "Good frames")" -gt 0 ] || fail "demo: no frame"
for name in "Lost syncs" "Size errors" "Cksum errors" "Invalid errors"; do
  check_eq "demo: $name" 0 "$(count_of "$work/demo.out" "$name")"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all pipeline checks passed"
