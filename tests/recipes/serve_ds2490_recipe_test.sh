#!/usr/bin/env bash
# The README's `serve --ds2490` recipe, run exactly as printed (from a folder where build/main is
# the build and demo/ the demo): our tool finds the demo bus's devices through the emulated
# DS9490R, and owserver's USB option reads the living room's thermometer through it.
#
#   tests/recipes/serve_ds2490_recipe_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail

src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

# The block after the paragraph that introduces `serve --ds2490`.
recipe=$(awk '/^`serve --ds2490 -- COMMAND/ {found=1} found && /^```sh/ {inside=1; next}
              inside && /^```/ {exit} inside {print}' "$src/README.md")
[[ "$recipe" == *"--ds2490 --"*"owserver --foreground -u"* ]] ||
  fail "no serve --ds2490 recipe in README.md: $recipe"

work=$(mktemp -d)
group=
cleanup() {
  [[ -n "$group" ]] && kill -TERM -- "-$group" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/build"
ln -s "$build" "$work/build/main"
ln -s "$src/demo" "$work/demo"

# In a process group of its own, so that the owserver it leaves running is stopped with it.
(cd "$work" && exec setsid bash -euc "$recipe"$'\n'"echo; echo recipe-done") >"$work/out.txt" 2>&1 &
group=$!
for _ in $(seq 1 400); do
  grep -q "^recipe-done" "$work/out.txt" && break
  if ! kill -0 "$group" 2>/dev/null; then
    grep -q "^recipe-done" "$work/out.txt" && break
    fail "the recipe failed: $(cat "$work/out.txt")"
  fi
  sleep 0.1
done
out=$(cat "$work/out.txt")
[[ "$out" == *"recipe-done"* ]] || fail "the recipe did not finish: $out"
[[ "$out" == *"940000000001E228"* && "$out" == *"500000001B249081"* ]] ||
  fail "our search did not list the demo's devices and the adapter's ID chip: $out"
# owread prints the demo's living room temperature (21 degrees in demo/bus.json).
grep -Eq '^ +21$' "$work/out.txt" || fail "owserver did not read the thermometer: $out"
echo "the serve --ds2490 recipe runs as printed"
