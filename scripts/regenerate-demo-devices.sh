#!/usr/bin/env bash
# Rebuilds demo/devices.json, the host's device table that run.sh puts in place on a first run so
# that the demo's devices come up with names and locations (a real bus gets the plug-in's own
# names). Runs the built program on the demo bus until every channel has its host device, then
# names them with scripts/demo-device-names.py. Run it after a change to demo/bus.json or to the
# channels the plug-in creates.
#
#   scripts/regenerate-demo-devices.sh [BUILD_DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build/main}"
work=$(mktemp -d)
pid=
trap '[[ -n "$pid" ]] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT

sed "s|@DEMO_BUS@|$root/demo/bus.json|" "$root/demo/settings.ini" >"$work/settings.ini"
"$build/src/host/quellbrook-1wire" --standalone --app-dir "$work/app" \
  --settings "$work/settings.ini" --http 127.0.0.1:0 >"$work/log.txt" 2>&1 &
pid=$!
# Every channel has its device once the count stays the same over two enumerations.
last=-1
stable=0
for _ in $(seq 1 60); do
  sleep 3
  count=$(grep -c "iomisc" "$work/app/devices.json" 2>/dev/null || echo 0)
  if [[ "$count" == "$last" && "$count" -gt 0 ]]; then
    stable=$((stable + 1))
    ((stable >= 4)) && break
  else
    stable=0
  fi
  last=$count
done
kill -TERM "$pid"
wait "$pid" || true
pid=
"$root/scripts/demo-device-names.py" "$work/app/devices.json" "$root/demo/devices.json"
echo "demo/devices.json: $(grep -c '"iomisc"' "$root/demo/devices.json") devices"
