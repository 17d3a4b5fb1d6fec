#!/usr/bin/env bash
# Checks the Debian package the build made: its files and control data, the systemd unit (through
# systemd-analyze verify), and the packaged program started with the packaged default settings
# on the packaged demo bus.
#
#   tests/package/package_test.sh PACKAGE_FOLDER
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }

deb=$(ls "$1"/quellbrook-1wire_*.deb 2>/dev/null | head -n 1 || true)
[[ -n "$deb" ]] || fail "no quellbrook-1wire_*.deb in $1 (build it with: cmake --build BUILD --target package)"
work=$(mktemp -d)
pid=
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

root="$work/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"

for f in usr/bin/quellbrook-1wire usr/bin/quellbrook-bus \
  usr/lib/systemd/system-generators/quellbrook-1wire-generator; do
  [[ -x "$root/$f" ]] || fail "$f is missing or not executable"
done
for f in usr/lib/systemd/system/quellbrook-1wire.service usr/share/quellbrook-1wire/settings.ini \
  usr/share/quellbrook-1wire/demo-bus.json usr/share/doc/quellbrook-1wire/README.md \
  usr/lib/quellbrook-1wire/libqb_w1_preload.so \
  usr/lib/udev/rules.d/60-quellbrook-1wire-i2c.rules; do
  [[ -f "$root/$f" ]] || fail "$f is missing"
done
grep -q "Install as a service" "$root/usr/share/doc/quellbrook-1wire/README.md" ||
  fail "the packaged README has no \"Install as a service\" section"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libmosquitto1 libstdc++6 libc6 adduser; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends does not name $lib: $depends"
done
# A server installs without a desktop: neither the package nor its program needs Qt.
[[ "${depends,,}" != *qt* ]] || fail "the program's package depends on Qt: $depends"
if readelf -d "$root/usr/bin/quellbrook-1wire" | grep -i "NEEDED.*qt"; then
  fail "the packaged program links Qt"
fi
copyright=usr/share/doc/quellbrook-1wire/copyright
[[ -f "$root/$copyright" ]] || fail "$copyright is missing"
grep -q "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
  "$root/$copyright" || fail "$copyright is not in the machine-readable format"
grep -q "^Copyright: " "$root/$copyright" || fail "$copyright names no copyright holder"

# The Setup dialog's package (a build with Qt): the desktop program, its help where the program
# looks for it (beside it in the installation), and a dependency on the program's package.
dialog=$(ls "$1"/quellbrook-1wire-dialog_*.deb 2>/dev/null | head -n 1 || true)
if [[ -n "$dialog" ]]; then
  droot="$work/dialog"
  dpkg-deb -x "$dialog" "$droot"
  [[ -x "$droot/usr/bin/quellbrook-1wire-desktop" ]] || fail "the desktop program is missing"
  file -L "$droot/usr/bin/quellbrook-1wire-desktop" | grep -q ", stripped" ||
    fail "the desktop program is not stripped: $(file -L "$droot/usr/bin/quellbrook-1wire-desktop")"
  [[ -f "$droot/usr/bin/../share/quellbrook-1wire/help/index.html" ]] ||
    fail "the help is not beside the desktop program (usr/share/quellbrook-1wire/help/index.html)"
  [[ -f "$droot/usr/share/doc/quellbrook-1wire-dialog/copyright" ]] ||
    fail "the dialog's package has no copyright file"
  ddepends=$(dpkg-deb -f "$dialog" Depends)
  version=$(dpkg-deb -f "$deb" Version)
  [[ "$ddepends" == *"quellbrook-1wire (= $version)"* ]] ||
    fail "the dialog's package does not depend on the program's package $version: $ddepends"
  [[ "$ddepends" == *libqt6widgets6* ]] || fail "the dialog's package does not name Qt: $ddepends"
  dpkg-deb -c "$dialog" | grep -q " ./usr/bin/quellbrook-1wire$" &&
    fail "the dialog's package holds the program's own file /usr/bin/quellbrook-1wire"
  "$droot/usr/bin/quellbrook-1wire-desktop" --version | grep -q "^quellbrook-1wire " ||
    fail "the desktop program does not run"
fi
for script in postinst prerm postrm; do
  [[ -x "$work/control/$script" ]] || fail "the maintainer script $script is missing"
  sh -n "$work/control/$script" || fail "$script is not a valid shell script"
done
grep -q "adduser --system" "$work/control/postinst" || fail "postinst creates no user"

# The unit, with the system's own units beside it so that its dependencies resolve.
unit=usr/lib/systemd/system/quellbrook-1wire.service
mkdir -p "$root/lib/systemd/system" "$root/tmp"
cp -rn /lib/systemd/system/. "$root/lib/systemd/system/" 2>/dev/null || true
if ! out=$(systemd-analyze verify --root="$root" "/$unit" 2>&1) || [[ -n "$out" ]]; then
  fail "systemd-analyze verify on the unit: $out"
fi
for option in "User=quellbrook-1wire" "SupplementaryGroups=dialout" "Restart=on-failure" \
  "NoNewPrivileges=yes" "ProtectSystem=strict" "ProtectHome=yes" "PrivateTmp=yes" \
  "StateDirectory=quellbrook-1wire" "/etc/quellbrook-1wire/settings.ini"; do
  grep -q -- "$option" "$root/$unit" || fail "the unit lacks $option"
done

# The packaged program on the packaged settings, with the packaged demo bus where it would be
# installed.
sed "s|/usr/share/quellbrook-1wire/|$root/usr/share/quellbrook-1wire/|" \
  "$root/usr/share/quellbrook-1wire/settings.ini" >"$work/settings.ini"
"$root/usr/bin/quellbrook-1wire" --standalone --app-dir "$work/app" --settings "$work/settings.ini" \
  --http 127.0.0.1:0 >"$work/out.txt" 2>&1 &
pid=$!
for _ in $(seq 1 300); do
  grep -q "Polling devices begins" "$work/out.txt" && break
  kill -0 "$pid" 2>/dev/null || fail "the packaged program ended: $(cat "$work/out.txt")"
  sleep 0.1
done
grep -q "Polling devices begins" "$work/out.txt" || fail "the packaged program does not poll: $(cat "$work/out.txt")"
port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/1-Wire.*|\1|p' "$work/out.txt" | head -n 1)
devices=""
for _ in $(seq 1 60); do
  devices=$(curl -sf "http://127.0.0.1:$port/api/devices" || true)
  [[ "$devices" == *940000000001E228* ]] && break
  sleep 0.5
done
[[ "$devices" == *940000000001E228* ]] || fail "the demo bus's thermometer never reached the host: $devices"
kill -TERM "$pid"
wait "$pid" || fail "the packaged program did not stop cleanly: $(cat "$work/out.txt")"
pid=
echo "The package $(basename "$deb") is complete and its program runs"
