#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while on a copy of its corpus in
# fuzz/corpus/ (the corpus in the repository stays as it is). Usage: scripts/fuzz.sh [SECONDS]
# (default 60 each). A crash leaves its input in build-fuzz/crashes/ and fails the run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-60}

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DQUARVIS_FUZZ=ON -DQUARVIS_TESTS=OFF \
  -DQUARVIS_WERROR=ON >/dev/null
mapfile -t fuzzers < <(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
cmake --build build-fuzz -j "$(nproc)" --target "${fuzzers[@]}"

mkdir -p build-fuzz/crashes
for fuzzer in "${fuzzers[@]}"; do
  corpus="build-fuzz/corpus/${fuzzer#fuzz_}"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp -r "fuzz/corpus/${fuzzer#fuzz_}/." "$corpus/" 2>/dev/null || true
  echo "fuzz: $fuzzer for ${seconds}s"
  (cd build-fuzz && "./fuzz/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
     -artifact_prefix=crashes/ -print_final_stats=1 "../$corpus" 2>&1 | grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==|SUMMARY)' || true)
  if ls build-fuzz/crashes/* >/dev/null 2>&1; then
    echo "fuzz: $fuzzer found a failure, kept in build-fuzz/crashes/" >&2
    exit 1
  fi
done
