#!/usr/bin/env bash
# The README's test command: installs what is missing, builds with warnings as errors, runs every
# test (unit, headless GUI, end-to-end under Xvfb), then the tests again under ThreadSanitizer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DQUARVIS_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 600

# Everything that touches threads, again under ThreadSanitizer (the unit tests hold them all).
cmake -S . -B build-tsan -G Ninja -DQUARVIS_WERROR=ON -DQUARVIS_SANITIZE=thread >/dev/null
cmake --build build-tsan -j "$jobs" --target quarvis_unit_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L unit --timeout 900
