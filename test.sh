#!/usr/bin/env bash
# Builds and runs every test: once in a normal build, once under AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the fuzzers for a fixed time. QB_SKIP_SANITIZERS=1 and
# QB_SKIP_FUZZ=1 leave those out; QB_FUZZ_SECONDS sets the time per fuzzer (default 6).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
jobs="$(nproc 2>/dev/null || echo 2)"

"$root/scripts/bootstrap.sh" "$root/build/main"
# The database tests run on SQLite and on this throwaway PostgreSQL server, stopped at the end.
source "$root/scripts/postgres_test_server.sh"
start_test_postgres
trap stop_test_postgres EXIT
echo "==> Running the tests"
ctest --test-dir "$root/build/main" --output-on-failure --timeout 60 -j "$jobs"

if [[ "${QB_SKIP_SANITIZERS:-0}" != 1 ]]; then
  "$root/scripts/bootstrap.sh" "$root/build/sanitize" -DQB_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DQB_BUILD_BENCH=OFF
  # The browser tests, the benchmarks' short runs and the tests that measure memory are left out
  # here (the sanitizers' own bookkeeping swamps what they measure): the browser tests hold
  # the whole machine for two minutes each run, and the program paths they drive also run under
  # the sanitizers in the program, hostile-request, MQTT and dialog tests.
  echo "==> Running the tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$root/build/sanitize" --output-on-failure --timeout 120 -j "$jobs" -LE 'chromium|bench|memory'
fi
if [[ "${QB_SKIP_FUZZ:-0}" != 1 ]]; then
  echo "==> Fuzzing the adapter reply parsers (DS2480B, passive, DS2490, kernel netlink), the bus file loader, query decoding, the settings reader, the device table loader and the file structure reader (${QB_FUZZ_SECONDS:-6} s each)"
  "$root/scripts/fuzz.sh" "${QB_FUZZ_SECONDS:-6}"
fi
echo "==> All tests passed"
