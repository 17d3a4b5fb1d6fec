#!/usr/bin/env bash
# Rewrites the recorded DS2480B conversations in tests/fixtures/ds2480b/ from the current master
# and emulation.
#
# The captures pin down, byte for byte, what our DS2480B master sends and what the emulated
# adapter answers in a few scenarios (a search of a mixed bus, temperature reads, a CRC error and
# a lost reply with their retries, memory written through the scratchpad and read back on each
# kind of scratchpad device). tests/peer/recorded_traffic_test.cpp fails when either side
# changes. When the change was deliberate (a new configuration step, a different way to search),
# run this script, look at the diff of the captures to see that it shows exactly that change, and
# commit the captures with the code.
#
# The captures are deterministic: the bus runs on simulated time, the master's waits move that
# time, and the fault injection uses fixed answer positions and the devices' fixed seeds.
#
#   scripts/regenerate-captures.sh [BUILD_DIR]    (default build/main)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build/main}"

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug
fi
cmake --build "$build" -j1 --target qb_peer_tests
QB_REGENERATE_CAPTURES=1 "$build/tests/qb_peer_tests" --gtest_filter='Captures/RecordedTraffic.*'
# Check what was written the normal way.
"$build/tests/qb_peer_tests" --gtest_filter='Captures/RecordedTraffic.*:RecordedTrafficCaptures.*'
git -C "$root" status --short -- tests/fixtures/ds2480b
