#!/usr/bin/env bash
# The README's `serve --passive` recipe, run exactly as printed (from a folder where build/main is
# the build and demo/ the demo): our tool and digitemp find the demo bus's devices through the
# emulated passive adapter, and owserver's passive mode lists them.
#
#   tests/recipes/serve_passive_recipe_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail

src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

# The block after the paragraph that introduces `serve --passive`.
recipe=$(awk '/^`serve --passive` serves/ {found=1} found && /^```sh/ {inside=1; next}
              inside && /^```/ {exit} inside {print}' "$src/README.md")
[[ -n "$recipe" ]] || fail "no serve --passive recipe in README.md"
[[ "$recipe" == *"--passive --pty /tmp/onewire-passive"* ]] || fail "unexpected recipe: $recipe"

work=$(mktemp -d)
group=
cleanup() {
  [[ -n "$group" ]] && kill -TERM -- "-$group" 2>/dev/null
  rm -rf "$work" /tmp/digitemp.conf
}
trap cleanup EXIT
mkdir -p "$work/build"
ln -s "$build" "$work/build/main"
ln -s "$src/demo" "$work/demo"
rm -f /tmp/onewire-passive /tmp/digitemp.conf

# The recipe's commands in a process group of their own, so that what it leaves running (serve,
# owserver) is stopped with it.
(cd "$work" && exec setsid bash -euc "$recipe"$'\n'"wait") >"$work/out.txt" 2>&1 &
group=$!

# owserver, started last, lists the demo's thermometer once it has searched the bus.
listed=
for _ in $(seq 1 300); do
  if owdir -s 127.0.0.1:4304 / 2>/dev/null | grep -q "^/28.E20100000000"; then listed=1; break; fi
  kill -0 "$group" 2>/dev/null || fail "the recipe ended: $(cat "$work/out.txt")"
  sleep 0.1
done
[[ -n "$listed" ]] || fail "owserver did not list the demo's thermometer: $(cat "$work/out.txt")"
out=$(cat "$work/out.txt")
# Our search: every device of the demo bus, one ROM id a line.
[[ "$out" == *"940000000001E228"* && "$out" == *"B20000000008121F"* ]] ||
  fail "our search did not list the demo's devices: $out"
# digitemp's search names the thermometers in wire order.
[[ "$out" == *"28E2010000000094"* ]] || fail "digitemp did not find the thermometer: $out"
echo "the serve --passive recipe runs as printed"
