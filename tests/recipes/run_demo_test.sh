#!/usr/bin/env bash
# ./run.sh as the README's first command gives it, on a first run: the demo's devices come up with
# the names and locations of demo/devices.json (not "Unknown <ROM id>-Temp"), the plug-in reads
# them, and no tracked file of the checkout changes.
#
#   tests/recipes/run_demo_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail

src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
pid=
cleanup() {
  [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export QB_VAR_DIR="$work/var" QB_BUILD_DIR="$build" QB_NO_BUILD=1 QB_HTTP=127.0.0.1:0
before=$(cd "$src" && sha256sum run.sh demo/*)

(cd "$src" && exec ./run.sh) </dev/null >"$work/out.txt" 2>&1 &
pid=$!
port=
for _ in $(seq 1 200); do
  port=$(sed -n 's|.*Web pages: http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/out.txt" | head -n 1)
  [[ -n "$port" ]] && break
  kill -0 "$pid" 2>/dev/null || fail "./run.sh ended: $(cat "$work/out.txt")"
  sleep 0.1
done
[[ -n "$port" ]] || fail "./run.sh did not say where its pages are: $(cat "$work/out.txt")"

# One device of the API per line: {"Location":...,"iomisc":"<key>",...,"name":...}.
device() { sed 's/},{/}\n{/g' "$work/devices.json" | grep "\"iomisc\":\"$1\""; }
expect() {  # KEY LOCATION NAME
  local d
  d=$(device "$1") || fail "no host device for $1: $(cat "$work/devices.json")"
  [[ "$d" == *"\"Location\":\"$2\""* && "$d" == *"\"name\":\"$3\""* ]] ||
    fail "$1 is not \"$2 $3\": $d"
}
# The living room's thermometer is read within a poll cycle or two.
for _ in $(seq 1 300); do
  curl -sf "http://127.0.0.1:$port/api/devices" >"$work/devices.json" || true
  d=$(device 940000000001E228M || true)
  [[ "$d" == *'"string":"'[0-9-]* ]] && break
  sleep 0.1
done
expect 940000000001E228M "Living room" "Temperature"
expect 640000000002F210M "Cellar" "Temperature"
expect 2A00000000000B21M "Kitchen" "Freezer"
expect AB00000000054A1DK2 "Meters" "Gas meter"
expect 4800000000066912S1 "Garage" "Lamp"
expect 3600000000090B01 "Front door" "Key"
[[ "$(device 940000000001E228M)" == *'"string":"'[0-9-]* ]] ||
  fail "the living room's thermometer was not read: $(device 940000000001E228M)"
if grep -q '"Location":"Unknown"' "$work/devices.json"; then
  fail "devices without a demo name (a channel the plug-in now creates that demo/devices.json lacks:
run scripts/regenerate-demo-devices.sh): $(sed 's/},{/}\n{/g' "$work/devices.json" | grep Unknown)"
fi
# The device list page shows it too (asked again for a while: under the sanitizers the page was
# once seen without it right after the API had it; the page is printed if it never comes).
for _ in $(seq 1 50); do
  curl -sf "http://127.0.0.1:$port/1-Wire" >"$work/list.html" && grep -q "Living room" "$work/list.html" && break
  sleep 0.2
done
grep -q "Living room" "$work/list.html" ||
  fail "the device list does not show the living room: $(cat "$work/list.html") $(tail -40 "$work/out.txt")"
# The named devices are the plug-in's own: a command switches the garage lamp on the bus.
lamp_ref=$(device 4800000000066912S1 | sed 's/.*"ref":\([0-9]*\).*/\1/')
curl -sf -X POST -H "Content-Type: application/json" -d '{"command": "On"}' \
  "http://127.0.0.1:$port/api/devices/$lamp_ref/command" >/dev/null || fail "the lamp's command failed"
for _ in $(seq 1 100); do
  curl -sf "http://127.0.0.1:$port/api/devices" >"$work/devices.json" || true
  [[ "$(device 4800000000066912S1)" == *'"string":"On"'* ]] && break
  sleep 0.1
done
[[ "$(device 4800000000066912S1)" == *'"string":"On"'* ]] ||
  fail "the lamp did not switch on: $(device 4800000000066912S1)"

kill -TERM "$pid"
wait "$pid" || fail "the demo did not stop cleanly: $(cat "$work/out.txt")"
pid=
[[ "$(cd "$src" && sha256sum run.sh demo/*)" == "$before" ]] || fail "./run.sh changed tracked files"
echo "./run.sh names the demo's devices"
