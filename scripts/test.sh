#!/usr/bin/env bash
# The README's test command: installs what is missing, builds with warnings as errors, runs every
# test (unit, headless GUI, end-to-end under Xvfb), checks the Debian package (scripts/package.sh),
# then runs the unit and GUI tests again under AddressSanitizer with UndefinedBehaviorSanitizer and
# under ThreadSanitizer, then each fuzzer briefly.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DQUARVIS_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 600

# The Debian package: lintian, then installed, its programs run from their installed paths, removed.
bash scripts/package.sh build

# The unit and headless GUI tests (the worker threads run in both) under the sanitizers.
sanitized() {  # sanitized NAME FLAVOUR
  cmake -S . -B "build-$1" -G Ninja -DQUARVIS_WERROR=ON -DQUARVIS_SANITIZE="$2" >/dev/null
  cmake --build "build-$1" -j "$jobs" --target quarvis_unit_tests quarvis_gui_tests
  ctest --test-dir "build-$1" --output-on-failure -j "$jobs" -L 'unit|gui' --timeout 900
}
ASAN_OPTIONS="detect_leaks=1 abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1" \
  sanitized asan address
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" sanitized tsan thread

# Each fuzzer for a short run on its corpus.
bash scripts/fuzz.sh 45
