#!/usr/bin/env bash
# Installs everything Quarvis needs to build, run and test on Debian 12, idempotently:
# the Debian packages and the two fonts embedded in the viewer. Called by the Makefile and CI;
# with --bench (scripts/bench.sh) also what the benchmarks compare against (pcl-tools).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
fonts="$top/third_party/fonts"

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

packages=(
  build-essential cmake ninja-build pkg-config git
  clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libimgui-dev libglfw3-dev libepoxy-dev libglm-dev libserialport-dev libstb-dev
  x11-common xvfb xauth xdotool imagemagick socat mesa-utils libgl1-mesa-dri
  dpkg-dev procps python3 python3-open3d
  lintian desktop-file-utils help2man
  libzstd-dev zlib1g-dev libdeflate-dev nlohmann-json3-dev libboost-dev protobuf-compiler libprotobuf-dev
  pybind11-dev python3-dev python3-numpy python3-pytest
)
if [ "${1:-}" = "--bench" ]; then packages+=(pcl-tools); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The machine image ships Node.js with npm; Debian's npm conflicts with it, so it is only a fallback.
if ! command -v npm >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends npm || true
fi

# The independent readers the tests check our MCAP files and live bridge with, in a folder of the
# build (never installed globally): npm's MCAP reader with its zstd support, the Foxglove WebSocket
# client, a WebSocket implementation for it under Node, and a protobuf decoder.
npm_dir="$top/build/npm"
npm_packages=(@mcap/core@2.2.2 @mcap/support@1.1.0 @foxglove/ws-protocol@0.8.0 ws@8.23.1 protobufjs@8.8.1)
if [ ! -f "$npm_dir/.installed" ] || [ "$(cat "$npm_dir/.installed")" != "${npm_packages[*]}" ]; then
  mkdir -p "$npm_dir"
  (cd "$npm_dir" && [ -f package.json ] || echo '{"private": true}' > package.json)
  if (cd "$npm_dir" && npm install --silent --no-audit --no-fund "${npm_packages[@]}" >/dev/null); then
    echo "${npm_packages[*]}" > "$npm_dir/.installed"
  else
    echo "setup: could not install the npm readers into $npm_dir" >&2
    exit 1
  fi
fi

# Fonts: Droid Sans comes inside a Debian package we never install; Font Awesome from npm.
mkdir -p "$fonts"
if [ ! -s "$fonts/DroidSans.ttf" ]; then
  tmp=$(mktemp -d)
  if (cd "$tmp" && apt-get download python3-django-hyperkitty >/dev/null 2>&1); then
    deb=$(ls "$tmp"/*.deb | head -n 1)
    path=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep '/DroidSans\.ttf$' | head -n 1 || true)
    if [ -n "$path" ]; then
      dpkg-deb --fsys-tarfile "$deb" | tar -x -O "$path" > "$fonts/DroidSans.ttf"
      copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep 'doc/python3-django-hyperkitty/copyright$' | head -n 1 || true)
      if [ -n "$copyright" ]; then
        dpkg-deb --fsys-tarfile "$deb" | tar -x -O "$copyright" > "$fonts/DroidSans-LICENSE.txt"
      fi
      printf 'Droid Sans Regular, Apache License 2.0 (see DroidSans-LICENSE.txt for the package notice).\n' >> "$fonts/DroidSans-LICENSE.txt"
    fi
  else
    echo "setup: could not fetch Droid Sans; the viewer will fall back to the built-in font" >&2
  fi
  rm -rf "$tmp"
fi
if [ ! -s "$fonts/fa-solid-900.ttf" ]; then
  tmp=$(mktemp -d)
  if (cd "$tmp" && npm pack --silent @fortawesome/fontawesome-free@5.15.4 >/dev/null 2>&1); then
    tar -xzf "$tmp"/fortawesome-fontawesome-free-5.15.4.tgz -C "$tmp"
    cp "$tmp/package/webfonts/fa-solid-900.ttf" "$fonts/fa-solid-900.ttf"
    cp "$tmp/package/LICENSE.txt" "$fonts/fa-LICENSE.txt"
  else
    echo "setup: could not fetch Font Awesome; the viewer will fall back to the built-in font" >&2
  fi
  rm -rf "$tmp"
fi
