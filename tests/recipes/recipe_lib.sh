# Shared by the README recipe tests: finds a recipe block and runs it exactly as printed, from a
# folder where build/main is the build and demo/ the demo, in a process group of its own so that
# what it leaves running (serve, owserver, the program) is stopped with it.
#
#   source recipe_lib.sh SOURCE_DIR BUILD_DIR
#   recipe=$(recipe_after '^`serve --ds2482` puts')   # the first ```sh block after that line
#   start_recipe "$recipe"; wait_for 'grep -q X "$work/out.txt"' 300
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }

recipe_after() {
  awk -v start="$1" '$0 ~ start {found=1} found && /^```sh/ {inside=1; next}
                     inside && /^```/ {exit} inside {print}' "$src/README.md"
}

work=$(mktemp -d)
group=
recipe_cleanup() {
  [[ -n "$group" ]] && kill -TERM -- "-$group" 2>/dev/null
  rm -rf "$work"
}
trap recipe_cleanup EXIT
mkdir -p "$work/build"
ln -s "$build" "$work/build/main"
ln -s "$src/demo" "$work/demo"

start_recipe() {
  (cd "$work" && exec setsid bash -euc "$1"$'\n'"echo; echo recipe-done; wait") >"$work/out.txt" 2>&1 &
  group=$!
}

# Waits (tenths of a second) until the condition holds; fails when the recipe ends first.
wait_for() {
  local condition=$1 tenths=$2
  for _ in $(seq 1 "$tenths"); do
    eval "$condition" && return 0
    kill -0 "$group" 2>/dev/null || { eval "$condition" && return 0; fail "the recipe ended: $(cat "$work/out.txt")"; }
    sleep 0.1
  done
  fail "timed out waiting for: $condition; the recipe printed: $(cat "$work/out.txt")"
}
