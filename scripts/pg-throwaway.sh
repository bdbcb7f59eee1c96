# Sourced by the test scripts: a throwaway PostgreSQL server for the tests.
#   pg_throwaway_start   starts it and exports KELVOR_TEST_PG_HOST/PORT/USER,
#                        or exports KELVOR_TEST_PG_SKIP with the reason
#   pg_throwaway_stop    stops it and removes its folder
# PostgreSQL refuses to run as root, so the server runs as the postgres user.

pg_throwaway_start() {
  local bindir
  bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
    export KELVOR_TEST_PG_SKIP="no PostgreSQL server binaries (package postgresql) on this machine"
    return 0
  fi
  local runas=()
  if [ "$(id -u)" -eq 0 ]; then
    if ! id postgres >/dev/null 2>&1; then
      export KELVOR_TEST_PG_SKIP="running as root and there is no postgres user to run the server"
      return 0
    fi
    runas=(runuser -u postgres --)
  fi
  PG_THROWAWAY_DIR=$(mktemp -d /tmp/kelvor-pg-XXXXXX)
  chmod 755 "$PG_THROWAWAY_DIR"
  [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$PG_THROWAWAY_DIR"
  local port=$(( 20000 + RANDOM % 20000 ))
  local user
  user=$([ "$(id -u)" -eq 0 ] && echo postgres || id -un)
  if ! "${runas[@]}" "$bindir/initdb" -D "$PG_THROWAWAY_DIR/data" -A trust -U "$user" \
        >"$PG_THROWAWAY_DIR/initdb.log" 2>&1; then
    cat "$PG_THROWAWAY_DIR/initdb.log" >&2
    export KELVOR_TEST_PG_SKIP="initdb failed (see above)"
    return 0
  fi
  if ! "${runas[@]}" "$bindir/pg_ctl" -D "$PG_THROWAWAY_DIR/data" -w -l "$PG_THROWAWAY_DIR/server.log" \
        -o "-p $port -k $PG_THROWAWAY_DIR -c listen_addresses=127.0.0.1 -c fsync=off -c max_connections=100" \
        start >/dev/null; then
    cat "$PG_THROWAWAY_DIR/server.log" >&2
    export KELVOR_TEST_PG_SKIP="the server did not start (see above)"
    return 0
  fi
  export PG_THROWAWAY_BINDIR="$bindir"
  export KELVOR_TEST_PG_HOST=127.0.0.1
  export KELVOR_TEST_PG_PORT=$port
  export KELVOR_TEST_PG_USER=$user
  export KELVOR_TEST_PG_DATA="$PG_THROWAWAY_DIR/data"
  echo "pg-throwaway: PostgreSQL on 127.0.0.1:$port as $user"
}

pg_throwaway_stop() {
  if [ -n "${PG_THROWAWAY_DIR:-}" ] && [ -d "$PG_THROWAWAY_DIR" ]; then
    local runas=()
    [ "$(id -u)" -eq 0 ] && runas=(runuser -u postgres --)
    "${runas[@]}" "$PG_THROWAWAY_BINDIR/pg_ctl" -D "$PG_THROWAWAY_DIR/data" -m fast stop >/dev/null 2>&1 || true
    rm -rf "$PG_THROWAWAY_DIR"
  fi
}
