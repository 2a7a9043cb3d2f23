#!/usr/bin/env bash
# The README's run command: installs what is missing, builds what the README's examples use (the
# viewer, quarvis-sim, quarvis-decode, the Python module and the virtual-port shim), and starts the viewer with the demo
# sensor offered in the port list, in a folder of its own where its scenes land: $QUARVIS_RUN_DIR,
# by default ~/quarvis. Extra arguments go to the viewer.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
targets=(quarvis quarvis-sim quarvis-decode)
if cmake --build build --target help | grep -q '^quarvis_python: '; then targets+=(quarvis_python); fi
# The shim is a test rig: it exists only while the tests are configured (the default).
if cmake --build build --target help | grep -q '^quarvis_vport_shim: '; then targets+=(quarvis_vport_shim); fi
cmake --build build -j "$(nproc)" --target "${targets[@]}"

run_dir=${QUARVIS_RUN_DIR:-$HOME/quarvis}
mkdir -p "$run_dir"
echo "run: the viewer works in $run_dir (scenes are saved there)"
cd "$run_dir"
exec "$top/build/quarvis" --demo "$@"
