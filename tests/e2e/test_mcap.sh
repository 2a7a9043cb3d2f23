#!/usr/bin/env bash
# Session files end to end: a capture with faults, whose sensor clock jumps back, converted with
# quarvis-decode --mcap and read by npm's MCAP reader (points, stamps, counters, transform, raw bytes
# byte for byte, CRCs, a seek from the index); a disk that fills up part way (a file size limit) and
# files cut short still open, holding a prefix of the stream; a session decodes as its capture does;
# a live session through the virtual-port shim, beside a capture of the same run.
# Called by ctest as: bash test_mcap.sh BUILD_DIR SOURCE_DIR
# Only the tools and node run here, no viewer and no display.
set -euo pipefail
BUILD_DIR=$(cd "$1" && pwd)
SOURCE_DIR=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quarvis-mcap.XXXXXX")
export HOME=$work XDG_CONFIG_HOME=$work/config
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
check_eq() { [ "$2" = "$3" ] || fail "$1: expected '$2', got '$3'"; }
sim="$BUILD_DIR/tools/quarvis-sim"
decode="$BUILD_DIR/tools/quarvis-decode"
check=(node "$SOURCE_DIR/tests/e2e/check_mcap.js" "$BUILD_DIR/npm")
[ -d "$BUILD_DIR/npm/node_modules/@mcap/core" ] || fail "the npm readers are missing: run scripts/setup.sh"

faults=(--garbage 0.05 --bad-checksum 0.05 --bad-size 0.05 --cut-short 0.05 --rate 100)
{ "$sim" --frames 1500 --seed 5 --start-time 50 "${faults[@]}"; "$sim" --frames 1500 --seed 6 --start-time 10 "${faults[@]}"; } \
  >"$work/capture.bin"
"$decode" --points "$work/capture.bin" >"$work/points.txt"
"$decode" "$work/capture.bin" >"$work/plain.txt"

echo "== conversion, read back by @mcap/core"
"$decode" --mcap "$work/session.mcap" "$work/capture.bin" >"$work/convert.txt" || fail "--mcap failed"
cmp -s "$work/plain.txt" "$work/convert.txt" || fail "--mcap changed the decoder's output"
"${check[@]}" full "$work/session.mcap" "$work/points.txt" "$work/raw.bin" || fail "the session file does not check"
cmp "$work/raw.bin" "$work/capture.bin" || fail "the raw messages are not the capture"

echo "== a session decodes as its capture"
"$decode" --points "$work/session.mcap" >"$work/session-points.txt" || fail "the session does not decode"
cmp -s "$work/points.txt" "$work/session-points.txt" || fail "the session decodes unlike its capture"

echo "== a disk that fills up, files cut short"
size=$(stat -c %s "$work/session.mcap")
check_prefix() {  # check_prefix FILE: both readers open it and find a prefix of the stream
  "${check[@]}" cut "$1" "$work/points.txt" "$work/prefix.bin" || fail "$1 does not open in @mcap/core"
  cmp -s -n "$(stat -c %s "$work/prefix.bin")" "$work/prefix.bin" "$work/capture.bin" || fail "$1: raw bytes are no prefix"
  "$decode" "$1" >"$work/cut.txt" 2>"$work/cut.err" || fail "$1 does not decode: $(cat "$work/cut.err")"
}
for blocks in 2 $((size / 4096)) $((size / 1536)); do   # 1024-byte blocks for ulimit -f
  status=0
  (trap '' XFSZ; ulimit -f "$blocks"; exec "$decode" --mcap "$work/full-$blocks.mcap" "$work/capture.bin") \
    >/dev/null 2>"$work/full.err" || status=$?
  check_eq "exit status at $blocks blocks" 3 "$status"
  grep -q "cannot write $work/full-$blocks.mcap: File too large" "$work/full.err" || fail "no message: $(cat "$work/full.err")"
  check_prefix "$work/full-$blocks.mcap"
done
for cut in 100 $((size / 3)) $((size - 40)); do
  head -c "$cut" "$work/session.mcap" >"$work/cut-$cut.mcap"
  check_prefix "$work/cut-$cut.mcap"
done

echo "== a session cut inside its header"
head -c 20 "$work/session.mcap" >"$work/header-only.mcap"
status=0; "$decode" "$work/header-only.mcap" >/dev/null 2>"$work/err" || status=$?
check_eq "exit status" 2 "$status"
grep -q "header-only.mcap: It is truncated before its first record." "$work/err" || fail "no reason: $(cat "$work/err")"
echo "== a live session beside a capture, through a virtual port"
bash "$SOURCE_DIR/scripts/vport.sh" --build "$BUILD_DIR" -- bash -c '
  "'"$decode"'" --debug --port "$VPORT_PORT" --baud 1500000 --capture "'"$work"'/live.ostrel" \
    --mcap "'"$work"'/live.mcap" >"'"$work"'/live.out" &
  reader=$!
  for i in $(seq 100); do grep -qs "grabber started" "'"$work"'/live.out" && break; sleep 0.05; done
  "$VPORT_SIM" --out "$VPORT_SENSOR" --baud 1500000 --frames 60 --seed 8 --garbage 0.1 --bad-checksum 0.1
  sleep 1
  kill -INT $reader
  wait $reader' || fail "live: the run failed (status $?)"
"$sim" --baud 1500000 --frames 60 --seed 8 --garbage 0.1 --bad-checksum 0.1 >"$work/live-expected.bin"
cmp "$work/live-expected.bin" "$work/live.ostrel" || fail "live: the capture differs from the simulator's stream"
"$decode" --points "$work/live.ostrel" >"$work/live-points.txt"
"${check[@]}" live "$work/live.mcap" "$work/live-points.txt" "$work/live-raw.bin" || fail "the live session does not check"
cmp "$work/live-raw.bin" "$work/live-expected.bin" || fail "live: the raw messages are not the stream sent"
echo PASS
