#!/usr/bin/env bash
# The README's `serve --w1` recipe, run exactly as printed: our tool searches the demo bus through
# the emulated kernel master, and the program, started on it with the recipe's settings, opens
# the master and reads the demo's thermometers.
#
#   tests/recipes/serve_w1_recipe_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/recipe_lib.sh" "$1" "$2"

recipe=$(recipe_after '^`quellbrook-bus serve --bus FILE --w1 -- COMMAND')
[[ "$recipe" == *"--w1 -- \$B --adapter W1"*"quellbrook-1wire --standalone"* ]] ||
  fail "no serve --w1 recipe in README.md: $recipe"
rm -rf /tmp/w1-app /tmp/w1-settings.ini
trap 'recipe_cleanup; rm -rf /tmp/w1-app /tmp/w1-settings.ini' EXIT
start_recipe "$recipe"
# The program found the demo's living room thermometer through the master: it has its host device.
wait_for 'grep -q "Adapter: W1 Port: W1" "$work/out.txt" &&
          curl -sf http://127.0.0.1:8080/api/devices | grep -q 940000000001E228' 600
out=$(cat "$work/out.txt")
[[ "$out" == *"940000000001E228"*"B20000000008121F"* || "$out" == *"B20000000008121F"*"940000000001E228"* ]] ||
  fail "our search did not list the demo's devices: $out"
echo "the serve --w1 recipe runs as printed"
