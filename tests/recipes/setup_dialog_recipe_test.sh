#!/usr/bin/env bash
# The README's Setup dialog command, taken from README.md and run exactly as printed on a virtual
# X display (xvfb-run), while the plain ./run.sh demo holds its folder and, when it is free, port
# 8080. The dialog must come up on the demo bus (its window, the demo's devices in the API, no
# start-up failure), and no tracked file of the checkout may change.
#
#   tests/recipes/setup_dialog_recipe_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail

src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in xvfb-run xwininfo curl; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/bootstrap.sh installs it)"
done

# The first fenced block of the section "The Setup dialog (desktop)".
command=$(awk '
  /^## / { in_section = ($0 == "## The Setup dialog (desktop)") }
  in_section && /^```/ { if (in_block) exit; in_block = 1; next }
  in_section && in_block { print }
' "$src/README.md")
[[ -n "$command" ]] || fail "README.md has no command block in \"The Setup dialog (desktop)\""
echo "The README's command: $command"

work=$(mktemp -d)
demo_pid=
cleanup() {
  [[ -n "$demo_pid" ]] && kill "$demo_pid" 2>/dev/null && wait "$demo_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# The demo folders go to the test's own folder, and run.sh uses the build under test as it is.
export QB_VAR_DIR="$work/var" QB_BUILD_DIR="$build" QB_NO_BUILD=1
unset QB_HTTP QT_QPA_PLATFORM

# What the checkout holds now: tracked files' contents and git's view of them. The pictures in
# docs/ are left out: screenshot tests running beside this one may rewrite them on request.
tracked_state() {
  if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$src" status --porcelain --untracked-files=no
    git -C "$src" ls-files -z | (cd "$src" && xargs -0 sha256sum 2>/dev/null) || true
  else
    (cd "$src" && sha256sum README.md run.sh demo/*)
  fi | grep -vE 'docs/[^ ]*\.(png|jpg)$' || true
}
tracked_state >"$work/before"

wait_for() {  # FILE TEXT PID SECONDS
  for _ in $(seq 1 $(($4 * 10))); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# The demo of ./run.sh, as a user following the README has it running: on port 8080 unless
# something else holds that port already.
if (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null; then
  echo "Port 8080 is in use already; the demo takes a free port"
  demo_http=127.0.0.1:0
else
  demo_http=127.0.0.1:8080
fi
(cd "$src" && QB_HTTP=$demo_http exec ./run.sh) </dev/null >"$work/demo.txt" 2>&1 &
demo_pid=$!
wait_for "$work/demo.txt" "Web pages: http" "$demo_pid" 20 ||
  fail "the ./run.sh demo did not start: $(cat "$work/demo.txt")"

# The README's command under a virtual display, watched from inside the display's session.
cat >"$work/session.sh" <<EOF
set -uo pipefail
cd "$src"
( $command ) </dev/null >"$work/dialog.txt" 2>&1 &
pid=\$!
status=0
found=
for _ in \$(seq 1 200); do
  if xwininfo -root -tree 2>/dev/null | grep -q '"1-Wire Interface Setup"'; then found=1; break; fi
  kill -0 \$pid 2>/dev/null || break
  sleep 0.1
done
[[ -n "\$found" ]] || { echo "no window \"1-Wire Interface Setup\" appeared"; status=1; }
xwininfo -root -tree >"$work/windows.txt" 2>&1
# Polling has begun and the living room's thermometer has been read from the demo bus.
port=
for _ in \$(seq 1 250); do
  port=\$(sed -n 's|.*Web pages: http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/dialog.txt" | head -n 1)
  if [[ -n "\$port" ]] && grep -q "Polling devices begins" "$work/dialog.txt"; then
    curl -sf "http://127.0.0.1:\$port/api/devices" | sed 's/},{/}\n{/g' |
      grep '"iomisc":"940000000001E228M"' >"$work/thermometer.json"
    grep -q '"string":"[0-9-]' "$work/thermometer.json" && break
  fi
  kill -0 \$pid 2>/dev/null || break
  sleep 0.1
done
kill -TERM \$pid 2>/dev/null
wait \$pid
echo "the program ended with status \$?"
exit \$status
EOF
session_status=0
timeout 35 xvfb-run -a -s "-screen 0 1280x1024x24" bash "$work/session.sh" >"$work/session.txt" 2>&1 ||
  session_status=$?
output=$(cat "$work/dialog.txt" 2>/dev/null)
[[ $session_status == 0 ]] ||
  fail "$(cat "$work/session.txt")
the command's output:
$output"
[[ "$output" != *"Initialization of 1-Wire Interface failed"* ]] ||
  fail "the dialog started on a failed interface: $output"
[[ "$output" == *"Polling devices begins"* ]] || fail "the program did not poll: $output"
grep -q '"string":"[0-9-]' "$work/thermometer.json" ||
  fail "the dialog's program did not read the demo bus's thermometer: $(cat "$work/thermometer.json")
$output"
grep -q '"Quellbrook 1-Wire Interface"' "$work/windows.txt" &&
  fail "a message box came up beside the dialog: $(cat "$work/windows.txt")"
grep -q "Settings file: $QB_VAR_DIR/demo-setup/settings.ini" <<<"$output" ||
  fail "the dialog's program did not use the demo's own settings: $output"
kill -0 "$demo_pid" 2>/dev/null || fail "the ./run.sh demo ended meanwhile: $(cat "$work/demo.txt")"

tracked_state >"$work/after"
diff -u "$work/before" "$work/after" >&2 || fail "running the README's commands changed tracked files"
grep -q "@DEMO_BUS@" "$src/demo/settings.ini" || fail "demo/settings.ini lost its template mark"
echo "The README's Setup dialog command opens the dialog on the demo bus beside ./run.sh"
