#!/usr/bin/env bash
# Builds the program if needed and runs it stand-alone with the built-in host on the simulated
# demo bus (demo/bus.json). Its host folder and settings live under var/demo in this checkout, so
# trying it out never touches your own settings. Stop it with Ctrl+C. Extra arguments go to the
# program (see --help).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$root/scripts/bootstrap.sh" "$root/build/main"

app_dir="$root/var/demo/app"
settings="$root/var/demo/settings.ini"
http="${QB_HTTP:-127.0.0.1:8080}"
mkdir -p "$app_dir"
if [[ ! -f "$settings" ]]; then
  echo "==> First run: demo settings (simulated bus demo/bus.json) in $settings"
  sed "s|@DEMO_BUS@|$root/demo/bus.json|" "$root/demo/settings.ini" > "$settings"
fi
echo "==> Starting quellbrook-1wire: host folder $app_dir, settings $settings"
echo "==> Open http://$http/1-Wire in a browser (JSON API: http://$http/api/devices); Ctrl+C stops it"
exec "$root/build/main/src/host/quellbrook-1wire" --standalone --app-dir "$app_dir" --settings "$settings" --http "$http" "$@"
