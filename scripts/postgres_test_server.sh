# Sourced by test.sh: a throwaway PostgreSQL server for the database tests, in a temporary folder,
# reachable only through its Unix socket there (no TCP port), with trust authentication.
#
#   start_test_postgres   starts it and exports QB_TEST_POSTGRES (its connection string) and
#                         QB_REQUIRE_POSTGRES=1 (the PostgreSQL tests then fail instead of skipping)
#   stop_test_postgres    stops it and removes the folder
#
# PostgreSQL refuses to run as root, so as root the server runs as the "postgres" user that the
# Debian package creates.

start_test_postgres() {
  local bindir
  bindir="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
  if [[ -z "$bindir" || ! -x "$bindir/initdb" ]]; then
    echo "The PostgreSQL server is not installed (Debian package postgresql); scripts/bootstrap.sh installs it" >&2
    return 1
  fi
  QB_PG_BIN="$bindir"
  QB_PG_DIR="$(mktemp -d "${TMPDIR:-/tmp}/qb-postgres-XXXXXX")"
  QB_PG_AS=()
  if [[ $(id -u) -eq 0 ]]; then
    chown postgres: "$QB_PG_DIR"
    QB_PG_AS=(runuser -u postgres --)
  fi
  "${QB_PG_AS[@]}" "$bindir/initdb" -D "$QB_PG_DIR/data" -A trust -U qbtest --no-sync \
    >"$QB_PG_DIR/initdb.log" 2>&1 || { cat "$QB_PG_DIR/initdb.log" >&2; return 1; }
  "${QB_PG_AS[@]}" "$bindir/pg_ctl" -D "$QB_PG_DIR/data" -l "$QB_PG_DIR/server.log" -w \
    -o "-k $QB_PG_DIR -p 54329 -c listen_addresses='' -c fsync=off" start >/dev/null ||
    { cat "$QB_PG_DIR/server.log" >&2; return 1; }
  export QB_TEST_POSTGRES="Provider=PostgreSQL;Host=$QB_PG_DIR;Port=54329;Database=postgres;User ID=qbtest"
  export QB_REQUIRE_POSTGRES=1
  echo "==> PostgreSQL test server running: $QB_TEST_POSTGRES"
}

stop_test_postgres() {
  [[ -n "${QB_PG_DIR:-}" && -d "$QB_PG_DIR" ]] || return 0
  "${QB_PG_AS[@]}" "$QB_PG_BIN/pg_ctl" -D "$QB_PG_DIR/data" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$QB_PG_DIR"
  QB_PG_DIR=
}
