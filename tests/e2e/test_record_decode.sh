#!/usr/bin/env bash
# quarvis-decode --csv: the good frames of a raw stream written as a recording, byte for byte as the
# viewer's writer writes one, and its failures (a file that cannot be made, a disk that fills up).
# Called by ctest as: bash test_record_decode.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

build=$(cd "$1" && pwd)
sim="$build/tools/quarvis-sim"
decode="$build/tools/quarvis-decode"
work=$(mktemp -d "${TMPDIR:-/tmp}/quarvis-record-decode.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check_eq() { if [ "$2" != "$3" ]; then fail "$1: expected '$2', got '$3'"; fi; }

header="time,"
for i in $(seq 1 480); do header+="x$i,y$i,z$i,"; done
header+="roll,pitch,yaw"

echo "== good frames of a faulty stream become rows"
"$sim" --frames 40 --seed 3 --garbage 0.1 --bad-checksum 0.1 >"$work/stream.bin"
"$decode" --points "$work/stream.bin" >"$work/points.out"
"$decode" --csv "$work/run.csv" "$work/stream.bin" >"$work/csv.out"
check_eq "standard output unchanged" "$(grep -v ',' "$work/points.out")" "$(cat "$work/csv.out")"
check_eq "header" "$header" "$(head -n 1 "$work/run.csv")"
good=$(grep -c '^frame [0-9]' "$work/points.out")
check_eq "one row per good frame" "$good" "$(($(wc -l <"$work/run.csv") - 1))"
# After the 15-character time and its comma, a row is the frame's points as a stream writes them.
check_eq "rows equal the points" "$(grep ',' "$work/points.out")" "$(tail -n +2 "$work/run.csv" | cut -c 17-)"
tail -n +2 "$work/run.csv" | grep -Eqv '^[0-9]{8}-[0-9]{6},' && fail "a row without its time column"
[ "$(tail -c 2 "$work/run.csv" | od -An -c | tr -d ' ')" = ",\n" ] || fail "the file does not end with ',\\n'"

echo "== failures"
status=0; "$decode" --csv "$work/no/such/dir.csv" "$work/stream.bin" >/dev/null 2>"$work/err" || status=$?
check_eq "unwritable path: status" 3 "$status"
grep -q "dir.csv: No such file or directory" "$work/err" || fail "unwritable path: '$(cat "$work/err")'"
status=0; "$decode" --csv /dev/full "$work/stream.bin" >/dev/null 2>"$work/err" || status=$?
check_eq "full device: status" 3 "$status"
grep -q "No space left on device" "$work/err" || fail "full device: '$(cat "$work/err")'"
# A file size limit (in 1024-byte blocks) that ends the room part-way through a row.
status=0; (ulimit -f 100; "$decode" --csv "$work/limited.csv" "$work/stream.bin" >/dev/null 2>"$work/err") || status=$?
check_eq "size limit: status" 3 "$status"
size=$(stat -c %s "$work/limited.csv")
[ "$size" -le 102400 ] || fail "size limit: $size bytes written"
rows=$(($(wc -l <"$work/limited.csv") - 1))
[ "$rows" -gt 0 ] || fail "size limit: no row kept"
check_eq "size limit: only whole rows" "$(grep ',' "$work/points.out" | head -n "$rows")" \
  "$(tail -n +2 "$work/limited.csv" | cut -c 17-)"
[ "$(tail -c 1 "$work/limited.csv" | od -An -c | tr -d ' ')" = "\n" ] || fail "size limit: a partial row is left"
status=0; "$decode" --csv "$work/x.csv" --port /dev/null >/dev/null 2>&1 || status=$?
check_eq "live with --csv: status" 2 "$status"

if [ "$failures" -ne 0 ]; then echo "$failures check(s) failed" >&2; exit 1; fi
echo PASS
