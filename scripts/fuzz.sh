#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang in build/fuzz and runs each for a fixed time.
# Fails when a target finds a crash, a hang, a leak or undefined behaviour; the input that caused
# it is left in build/fuzz/artifacts/ to reproduce with: build/fuzz/fuzz/<target> <file>.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]    (default 60)
#
# The seed inputs in fuzz/corpus/ are copied to build/fuzz/corpus/ and the fuzzer grows that
# copy, so runs build on each other without touching the source tree.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
build="$root/build/fuzz"
targets=(fuzz_ds2480b_replies fuzz_passive_echoes fuzz_ds2490_state fuzz_bus_file fuzz_query fuzz_settings_file fuzz_device_table fuzz_file_structure fuzz_w1_packets)
seeds=(ds2480b passive ds2490 bus_file query settings_file device_table file_structure w1)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
  -DQB_BUILD_FUZZ=ON -DQB_BUILD_TESTS=OFF -DQB_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

mkdir -p "$build/artifacts"
status=0
for i in "${!targets[@]}"; do
  target="${targets[$i]}"
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  cp -n "$root/fuzz/corpus/${seeds[$i]}/"* "$corpus/" 2>/dev/null || true
  echo "==> $target for ${seconds}s"
  if ! "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" 2>"$build/$target.log"; then
    echo "!! $target found a problem; see $build/$target.log and $build/artifacts/" >&2
    tail -n 40 "$build/$target.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$build/$target.log" || true
  fi
done
exit "$status"
