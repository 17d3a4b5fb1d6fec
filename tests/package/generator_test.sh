#!/usr/bin/env bash
# The systemd generator grants CAP_NET_ADMIN (the kernel's 1-Wire netlink) to the
# service exactly when the settings name a kernel master, and the unit with its drop-in passes
# systemd-analyze verify.
#
#   tests/package/generator_test.sh GENERATOR UNIT
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }
generator=$1
unit=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dropin=quellbrook-1wire.service.d/50-kernel-1wire.conf

run() {  # settings text, output folder
  printf '%b' "$1" >"$work/settings.ini"
  mkdir -p "$2"
  QB_SETTINGS="$work/settings.ini" "$generator" "$2" "$2" "$2"
}

run '[Settings]\r\nIntType = W1\r\nIntPort=w1_bus_master1\r\n' "$work/w1"
[[ -f "$work/w1/$dropin" ]] || fail "no drop-in for IntType=W1"
grep -qx "AmbientCapabilities=CAP_NET_ADMIN" "$work/w1/$dropin" || fail "no CAP_NET_ADMIN"
grep -q "^RestrictAddressFamilies=.*AF_NETLINK" "$unit" || fail "the unit does not allow netlink sockets (libusb and W1 need them)"

run '[Settings]\nIntType=DS9097U\nIntPort=/dev/ttyUSB0\n[Other]\nIntType=W1\n' "$work/serial"
[[ ! -e "$work/serial/$dropin" ]] || fail "a drop-in for a serial adapter"
run '' "$work/empty"
[[ ! -e "$work/empty/$dropin" ]] || fail "a drop-in without settings"
QB_SETTINGS=/nonexistent "$generator" "$work/none" || fail "fails without a settings file"

# The unit and its drop-in together, with the system's units beside them.
root="$work/root"
mkdir -p "$root/lib/systemd/system" "$root/etc/systemd/system" "$root/tmp"
cp -rn /lib/systemd/system/. "$root/lib/systemd/system/" 2>/dev/null || true
cp "$unit" "$root/lib/systemd/system/"
# verify checks that the program exists; the unit's own settings are what is tested here.
mkdir -p "$root/usr/bin"
printf '#!/bin/sh\n' >"$root/usr/bin/quellbrook-1wire"
chmod +x "$root/usr/bin/quellbrook-1wire"
cp -r "$work/w1/quellbrook-1wire.service.d" "$root/etc/systemd/system/"
if command -v systemd-analyze >/dev/null; then
  if ! out=$(systemd-analyze verify --root="$root" /lib/systemd/system/quellbrook-1wire.service 2>&1) ||
    [[ -n "$out" ]]; then
    fail "systemd-analyze verify on the unit with its drop-in: $out"
  fi
fi
echo "the generator grants the netlink capability only to a kernel master"
