#!/usr/bin/env bash
# The README's `serve --ds2490` recipe, run exactly as printed (from a folder where build/main is
# the build and demo/ the demo): our tool finds the demo bus's devices through the emulated
# DS9490R, and owserver's USB option reads the living room's thermometer through it.
#
#   tests/recipes/serve_ds2490_recipe_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/recipe_lib.sh" "$1" "$2"

recipe=$(recipe_after '^`serve --ds2490 -- COMMAND')
[[ "$recipe" == *"--ds2490 --"*"owserver --foreground -u"* ]] ||
  fail "no serve --ds2490 recipe in README.md: $recipe"
start_recipe "$recipe"
wait_for 'grep -q "^recipe-done" "$work/out.txt"' 400
out=$(cat "$work/out.txt")
[[ "$out" == *"940000000001E228"* && "$out" == *"500000001B249081"* ]] ||
  fail "our search did not list the demo's devices and the adapter's ID chip: $out"
# owread prints the demo's living room temperature (21 degrees in demo/bus.json).
grep -Eq '^ +21$' "$work/out.txt" || fail "owserver did not read the thermometer: $out"
echo "the serve --ds2490 recipe runs as printed"
