#!/usr/bin/env bash
# The README's "Several buses, one house" recipe, run exactly as printed: two programs on two
# simulated floors share a mosquitto broker and a PostgreSQL database of the test's own; each
# publishes under its own topics and logs under its own bus name, and either one's charts list
# both floors.
#
#   tests/recipes/house_recipe_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/recipe_lib.sh" "$1" "$2"

if [[ -z "${QB_TEST_POSTGRES:-}" ]]; then
  [[ "${QB_REQUIRE_POSTGRES:-0}" == 1 ]] && fail "QB_REQUIRE_POSTGRES=1 but QB_TEST_POSTGRES names no server"
  echo "SKIPPED: no PostgreSQL server for this test (set QB_TEST_POSTGRES; test.sh starts one)"
  exit 0
fi
recipe=$(recipe_after '^Two simulated floors on this machine')
[[ "$recipe" == *"BusName=%s"*"quellbrook-1wire --standalone"* ]] || fail "no house recipe in README.md: $recipe"

# The recipe's database: one of its own on the test server, with the readings table made once.
pg_value() { tr ';' '\n' <<< "$QB_TEST_POSTGRES" | sed -n "s/^$1=//p"; }
pg=(psql -q -v ON_ERROR_STOP=1 -h "$(pg_value Host)" -p "$(pg_value Port)" -U "$(pg_value 'User ID')")
db="house_recipe_$$"
"${pg[@]}" -d "$(pg_value Database)" -c "CREATE DATABASE $db" >/dev/null
broker_pid=
trap 'recipe_cleanup; [[ -n "$broker_pid" ]] && kill "$broker_pid" 2>/dev/null;
      "${pg[@]}" -d "$(pg_value Database)" -c "DROP DATABASE IF EXISTS $db WITH (FORCE)" >/dev/null 2>&1;
      rm -rf /tmp/upper-bus.json /tmp/house-Ground /tmp/house-Upper /tmp/house-Ground.ini /tmp/house-Upper.ini' EXIT
"${pg[@]}" -d "$db" -c 'CREATE TABLE "T_Temps" ("ROMAddress" text, "DTime" timestamptz, "Temp" double precision)' >/dev/null
rm -rf /tmp/house-Ground /tmp/house-Upper

# The broker: a mosquitto of the test's own on a free port.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n' "$port" > "$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" & broker_pid=$!

export BROKER="mqtt://127.0.0.1:$port"
export HOUSE_DB="${QB_TEST_POSTGRES/Database=$(pg_value Database)/Database=$db}"
start_recipe "$recipe"

# Each floor under its own topics, both online at once.
topics() { mosquitto_sub -h 127.0.0.1 -p "$port" -t 'quellbrook/#' -v -W 1 2>/dev/null || true; }
wait_for 'out=$(topics); [[ "$out" == *"quellbrook/ground/status online"* &&
          "$out" == *"quellbrook/upper/status online"* &&
          "$out" == *"quellbrook/ground/940000000001E228M/state "* &&
          "$out" == *"quellbrook/upper/B60000000002F328M/state 23"* ]]' 60
# Each floor's rows under its own bus name; the ground floor's charts list the upper floor's.
rows() { "${pg[@]}" -d "$db" -tA -c 'SELECT DISTINCT "ROMAddress" FROM "T_Temps" ORDER BY 1'; }
wait_for 'r=$(rows); grep -q "^Ground Unknown " <<< "$r" && grep -q "^Upper Unknown " <<< "$r"' 300
r=$(rows)
! grep -qv "^Ground \|^Upper " <<< "$r" || fail "rows without a bus name: $r"
wait_for 'curl -sf "http://127.0.0.1:8081/1-Wire?PAGE=1" | grep -q "name=\"Upper Unknown "' 100
echo "the house recipe runs as printed"
