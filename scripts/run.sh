#!/usr/bin/env bash
# The README's run command: installs what is missing, builds, and starts the viewer with the demo
# sensor offered in the port list. Extra arguments go to the viewer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target quarvis
exec ./build/quarvis --demo "$@"
