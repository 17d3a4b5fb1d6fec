#!/usr/bin/env bash
# The README's `serve --ds2482` recipe, run exactly as printed: our tool searches channel 3 of an
# emulated DS2482-800, and owserver's I2C option reads the demo's living room thermometer through
# an emulated DS2482-100.
#
#   tests/recipes/serve_ds2482_recipe_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/recipe_lib.sh" "$1" "$2"

recipe=$(recipe_after '^`serve --ds2482` puts')
[[ "$recipe" == *"--ds2482 --channels 8 --"*"owserver --foreground --i2c="* ]] ||
  fail "no serve --ds2482 recipe in README.md: $recipe"
start_recipe "$recipe"
wait_for 'grep -q "^recipe-done" "$work/out.txt"' 600
out=$(cat "$work/out.txt")
[[ "$out" == *"940000000001E228"* && "$out" == *"B20000000008121F"* ]] ||
  fail "our search on channel 3 did not list the demo's devices: $out"
grep -Eq '^ +21$' "$work/out.txt" || fail "owserver did not read the thermometer: $out"
echo "the serve --ds2482 recipe runs as printed"
