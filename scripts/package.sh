#!/usr/bin/env bash
# Builds the Debian package from a build folder and checks it as a user meets it: the desktop entry is
# valid, lintian finds no error, apt-get installs it with its dependencies, the three programs answer
# from their installed paths, Debian's python3 imports the module and decodes with it, and it is removed
# again (on any exit). Called by scripts/test.sh.
# Usage: scripts/package.sh [BUILD_DIR]   (default build/; as root, or with sudo)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

cmake --build "$build" -j "$(nproc)"
rm -f "$build"/quarvis_*.deb
(cd "$build" && cpack -G DEB >"$build/cpack.log" 2>&1) || { cat "$build/cpack.log" >&2; exit 1; }
deb=$(echo "$build"/quarvis_*.deb)
[ -f "$deb" ] || { echo "package: cpack made no quarvis_*.deb in $build" >&2; exit 1; }
echo "== $(basename "$deb")"

desktop-file-validate "$top/packaging/quarvis.desktop"
status=0
lintian --fail-on error "$deb" >"$build/lintian.log" 2>&1 || status=$?
grep -v '^running with root privileges' "$build/lintian.log" || true
[ "$status" -eq 0 ] || { echo "package: lintian reports errors" >&2; exit 1; }

installed() { dpkg-query -W -f='${Status}' quarvis 2>/dev/null | grep -q 'install ok installed'; }
if installed; then
  echo "package: a quarvis package is installed on this machine already; it is left alone and the" >&2
  echo "package: install check is not run (remove it first to run it)" >&2
  exit 1
fi
trap 'installed && DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get purge -y -qq quarvis >/dev/null' EXIT
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "$deb" >/dev/null

failures=0
check() {  # check WHAT COMMAND...: the command must succeed
  local what=$1; shift
  if ! "$@"; then echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}
version=$(dpkg-deb -f "$deb" Version)
check "quarvis --version" test "$(/usr/bin/quarvis --version)" = "quarvis $version"
check "quarvis-sim --help" bash -c '/usr/bin/quarvis-sim --help | grep -q "^Usage: quarvis-sim"'
check "quarvis-decode --help" bash -c '/usr/bin/quarvis-decode --help | grep -q "^Usage: quarvis-decode"'
check "installed tools decode a stream" \
  bash -c '/usr/bin/quarvis-sim --frames 3 | /usr/bin/quarvis-decode | grep -qx "Good frames: 3"'
check "python3 imports quarvis from dist-packages" bash -c 'cd / && /usr/bin/quarvis-sim --frames 3 |
  env -u PYTHONPATH /usr/bin/python3 -c "import sys, quarvis
assert quarvis.__file__.startswith(\"/usr/lib/python3/dist-packages/\"), quarvis.__file__
assert quarvis.decode(sys.stdin.buffer.read()).stats[\"Good frames\"] == 3"'
check "quarvis.pyi installed" test -s /usr/lib/python3/dist-packages/quarvis.pyi
shared=(applications/quarvis.desktop icons/hicolor/scalable/apps/quarvis.svg doc/quarvis/copyright
        doc/quarvis/README.md man/man1/quarvis.1.gz)
# The licence of each font embedded in the viewer ships with it.
for licence in DroidSans-LICENSE.txt fa-LICENSE.txt; do
  if [ -s "$top/third_party/fonts/$licence" ]; then shared+=("doc/quarvis/fonts/$licence"); fi
done
for file in "${shared[@]}"; do check "/usr/share/$file installed" test -s "/usr/share/$file"; done
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get purge -y -qq quarvis >/dev/null
check "removed" bash -c '! dpkg-query -W -f="\${Status}" quarvis 2>/dev/null | grep -q "install ok installed"'
check "no program left" test ! -e /usr/bin/quarvis

if [ "$failures" -ne 0 ]; then echo "package: $failures check(s) failed" >&2; exit 1; fi
echo "package: lintian clean of errors, installed, run and removed"
