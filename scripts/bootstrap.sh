#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those missing), then configures
# and builds the project.
#
#   scripts/bootstrap.sh [BUILD_DIR] [extra CMake arguments...]
#
# BUILD_DIR defaults to build/main. Safe to run again: it installs and rebuilds only what changed.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${1:-$root/build/main}"
shift || true

say() { printf '==> %s\n' "$*"; }

packages=(
  cmake g++ make pkg-config ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcrypt-dev libmicrohttpd-dev libcurl4-openssl-dev
  owserver ow-shell digitemp
  libusb-1.0-0-dev umockdev libumockdev-dev socat
  clang libclang-rt-14-dev lld
  chromium chromium-driver
  libsqlite3-dev libpq-dev postgresql
  libcairo2-dev libjpeg-dev fontconfig fonts-dejavu-core gnuplot-nox
  libmosquitto-dev mosquitto mosquitto-clients systemd dpkg-dev file curl jq
  qt6-base-dev
  prometheus
  xvfb xauth x11-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  say "Installing missing Debian packages: ${missing[*]}"
  if [[ $(id -u) -eq 0 ]]; then
    sudo=()
  elif command -v sudo >/dev/null; then
    sudo=(sudo)
  else
    echo "These packages are missing and this user cannot install them: ${missing[*]}" >&2
    echo "Install them as root (apt-get install ${missing[*]}) and run this again." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  say "All Debian packages the build needs are installed"
fi

jobs="$(nproc 2>/dev/null || echo 2)"
say "Configuring in $build_dir"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
say "Building with $jobs parallel jobs"
cmake --build "$build_dir" -j "$jobs"
say "Build finished: $build_dir"
