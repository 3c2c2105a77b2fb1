# Sourced by scripts that need a PostgreSQL server of their own (run-tests, bench-station-db).
# start_private_postgres starts a fresh cluster in a temporary folder, listening on
# 127.0.0.1 at a free port, with the role "CREATOR" (password 358) and a database "vm418",
# and writes an ODBC configuration of its own with the SQLite3 and PostgreSQL drivers and
# the data source VM418_TEST_PG. It exports ODBCSYSINI, ODBCINI, VM418_TEST_PG (a
# connection text) and VM418_TEST_PG_CONNINFO (the same server as key=value pairs), and stops the server and removes the folder when the script exits.
# A server that cannot be started ends the script with an error.

start_private_postgres() {
  pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$pg_bin" ] || [ ! -x "$pg_bin/initdb" ]; then
    echo "private-postgres: the PostgreSQL server is not installed (run scripts/install-deps)" >&2
    return 1
  fi
  odbc_driver() {
    local path
    path=$(find /usr/lib /usr/local/lib -name "$1" 2>/dev/null | head -n 1)
    if [ -z "$path" ]; then
      echo "private-postgres: ODBC driver $1 not found (run scripts/install-deps)" >&2
      return 1
    fi
    echo "$path"
  }
  sqlite_driver=$(odbc_driver libsqlite3odbc.so)
  pg_driver=$(odbc_driver psqlodbcw.so)

  # The server refuses to run as root: as root it runs as the postgres user.
  as_server=()
  if [ "$(id -u)" -eq 0 ]; then as_server=(runuser -u postgres --); fi

  work=$(mktemp -d "${TMPDIR:-/tmp}/vm418-pg.XXXXXX")
  chmod 755 "$work"
  if [ ${#as_server[@]} -gt 0 ]; then chown postgres "$work"; fi
  pgdata="$work/data"

  cleanup() {
    if [ -f "$pgdata/postmaster.pid" ]; then
      "${as_server[@]}" "$pg_bin/pg_ctl" -D "$pgdata" -m fast -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
  }
  trap cleanup EXIT

  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  password=358
  "${as_server[@]}" "$pg_bin/initdb" -D "$pgdata" -U postgres --auth-local=trust \
    --auth-host=scram-sha-256 >"$work/initdb.log" 2>&1 || {
    cat "$work/initdb.log" >&2
    echo "private-postgres: initdb failed" >&2
    return 1
  }
  if ! "${as_server[@]}" "$pg_bin/pg_ctl" -D "$pgdata" -l "$work/server.log" -w -t 30 \
    -o "-p $port -k $work -c listen_addresses=127.0.0.1 -c fsync=off -c synchronous_commit=off -c full_page_writes=off" \
    start >/dev/null; then
    cat "$work/server.log" >&2
    echo "private-postgres: the PostgreSQL server did not start" >&2
    return 1
  fi
  "${as_server[@]}" "$pg_bin/psql" -q -h "$work" -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 \
    -c "CREATE ROLE \"CREATOR\" LOGIN CREATEDB PASSWORD '$password'" \
    -c "CREATE ROLE \"VIEWER\" LOGIN PASSWORD '$password'" \
    -c "CREATE DATABASE vm418 OWNER \"CREATOR\""

  mkdir -p "$work/odbc"
  cat >"$work/odbc/odbcinst.ini" <<INI
[SQLite3]
Description=SQLite3 ODBC Driver
Driver=$sqlite_driver

[PostgreSQL Unicode]
Description=PostgreSQL ODBC driver (Unicode version)
Driver=$pg_driver
INI
  cat >"$work/odbc/odbc.ini" <<INI
[VM418_TEST_PG]
Driver=PostgreSQL Unicode
Servername=127.0.0.1
Port=$port
Database=vm418
ByteaAsLongVarBinary=1
INI
  export ODBCSYSINI="$work/odbc" ODBCINI="$work/odbc/odbc.ini"
  export VM418_TEST_PG="DSN=VM418_TEST_PG;UID=CREATOR;PWD=$password"
  # A role that can log in and nothing more: the fleet view's tests grant it SELECT.
  export VM418_TEST_PG_VIEWER="DSN=VM418_TEST_PG;UID=VIEWER;PWD=$password"
  export VM418_TEST_PG_CONNINFO="host=127.0.0.1 port=$port dbname=vm418 user=CREATOR password=$password"
}
