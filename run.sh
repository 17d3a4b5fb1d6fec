#!/usr/bin/env bash
# Builds the program if needed and runs it stand-alone with the built-in host on the simulated
# demo bus (demo/bus.json). Its host folder and settings live under var/demo in this checkout, so
# trying it out never touches your own settings. Stop it with Ctrl+C. Extra arguments go to the
# program (see --help).
#
#   ./run.sh            the demo, web pages on 127.0.0.1:8080 (QB_HTTP=ADDR:PORT for another)
#   ./run.sh --setup    the demo with the Setup dialog open (needs a desktop), in a folder of its
#                       own (var/demo-setup) and on a free web port, so it runs beside ./run.sh
#
# QB_BUILD_DIR names another build folder; QB_NO_BUILD=1 uses it as it is (no install or build);
# QB_VAR_DIR puts the demo folders somewhere other than var/ in this checkout.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${QB_BUILD_DIR:-$root/build/main}"
var="${QB_VAR_DIR:-$root/var}"

setup=0
for arg in "$@"; do
  [[ "$arg" == "--setup" ]] && setup=1
done
if ((setup)) && [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "run.sh: the Setup dialog needs a desktop (DISPLAY or WAYLAND_DISPLAY is not set);" \
    "on a server use the web pages of ./run.sh instead" >&2
  exit 1
fi

if [[ "${QB_NO_BUILD:-0}" != 1 ]]; then
  "$root/scripts/bootstrap.sh" "$build"
fi

if ((setup)); then
  demo="$var/demo-setup"
  http="${QB_HTTP:-127.0.0.1:0}"
else
  demo="$var/demo"
  http="${QB_HTTP:-127.0.0.1:8080}"
fi
app_dir="$demo/app"
settings="$demo/settings.ini"
mkdir -p "$app_dir"
if [[ ! -f "$settings" ]]; then
  # The template in demo/ stays as it is: the program rewrites its settings file when a setting
  # changes, so it always works on this copy.
  echo "==> First run: demo settings (simulated bus demo/bus.json) in $settings"
  sed "s|@DEMO_BUS@|$root/demo/bus.json|" "$root/demo/settings.ini" > "$settings"
  # The demo devices' names and locations (a real bus gets the plug-in's own names).
  [[ -f "$app_dir/devices.json" ]] || cp "$root/demo/devices.json" "$app_dir/devices.json"
fi
echo "==> Starting quellbrook-1wire: host folder $app_dir, settings $settings"
if [[ "$http" == *:0 ]]; then
  echo "==> The web pages' address follows in the log (\"Web pages: http://...\"); Ctrl+C stops it"
else
  echo "==> Open http://$http/1-Wire in a browser (JSON API: http://$http/api/devices); Ctrl+C stops it"
fi
# With a display, the program with the Setup dialog (its pages then offer the dialog); elsewhere
# the one without Qt, which needs some 10 MB less memory.
program="$build/src/host/quellbrook-1wire"
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" && -x "$build/src/host/quellbrook-1wire-desktop" ]]; then
  program="$build/src/host/quellbrook-1wire-desktop"
fi
exec "$program" --standalone --app-dir "$app_dir" --settings "$settings" \
  --http "$http" "$@"
