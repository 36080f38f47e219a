#!/bin/sh
# Starts or stops a private PostgreSQL server for the test suite: its own data
# directory, loopback only, a test database owned by a test role.
#
#   tools/pg_server.sh start   # prints the TAVRIK_PG_* settings as shell exports
#   tools/pg_server.sh stop
#
# Uses Debian's PostgreSQL 15; installs the postgresql package with apt-get
# when it is missing and we are root.  As root the server runs as the
# postgres user (it refuses to run as root), which then owns the data.
set -eu

BASE=${TAVRIK_PG_BASE:-/tmp/tavrik-pg}
# Below Linux's ephemeral range (32768-60999), so that no client connection
# of an earlier run can be holding it.
PORT=${TAVRIK_PG_PORT:-25432}
BIN=/usr/lib/postgresql/15/bin
DATADIR=$BASE/data
LOG=$BASE/postgres.log

ensure_installed() {
    if [ -x "$BIN/initdb" ] && [ -x "$BIN/pg_ctl" ] && [ -x "$BIN/psql" ]; then return 0; fi
    if [ "$(id -u)" != 0 ]; then
        echo "PostgreSQL 15 is not installed and we are not root: install it (apt-get install postgresql) to run the PostgreSQL tests" >&2
        return 1
    fi
    echo "installing postgresql with apt-get" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y postgresql >/dev/null 2>&1 || { apt-get update >/dev/null 2>&1 && apt-get install -y postgresql >/dev/null; }
}

# Runs a server program as the user who owns the data (from a folder that
# user can read: initdb and pg_ctl complain about one they cannot).
as_owner() {
    if [ "$(id -u)" = 0 ]; then
        (cd "$BASE" && runuser -u postgres -- "$@")
    else
        (cd "$BASE" && "$@")
    fi
}

# The superuser over the private socket (trusted: only the data's owner and
# root can reach that folder).
superuser() {
    "$BIN/psql" -X -q -h "$BASE" -p "$PORT" -U postgres -d postgres -v ON_ERROR_STOP=1 "$@"
}

running() {
    [ -f "$DATADIR/postmaster.pid" ] && kill -0 "$(head -n 1 "$DATADIR/postmaster.pid")" 2>/dev/null
}

start() {
    ensure_installed
    if running; then
        stop >/dev/null 2>&1 || true
    fi
    rm -rf "$BASE"
    mkdir -p "$BASE"
    if [ "$(id -u)" = 0 ]; then chown postgres: "$BASE"; fi
    chmod 700 "$BASE"
    as_owner "$BIN/initdb" -D "$DATADIR" -U postgres --auth-local=trust --auth-host=scram-sha-256 \
        --encoding=UTF8 --locale=C --no-sync >"$BASE/initdb.log" 2>&1 || { cat "$BASE/initdb.log" >&2; exit 1; }
    # A throwaway server: durability is traded for speed.
    cat >>"$DATADIR/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
port = $PORT
unix_socket_directories = '$BASE'
max_connections = 200
shared_buffers = 64MB
fsync = off
synchronous_commit = off
full_page_writes = off
EOF
    as_owner "$BIN/pg_ctl" -D "$DATADIR" -l "$LOG" -w -t 30 start >/dev/null 2>&1 \
        || { echo "PostgreSQL did not start; log follows" >&2; cat "$LOG" >&2; exit 1; }
    superuser -c "CREATE ROLE tavrik LOGIN PASSWORD 'tavrik'" -c "CREATE DATABASE tavrik_test OWNER tavrik"
    echo "export TAVRIK_PG_HOST=127.0.0.1 TAVRIK_PG_PORT=$PORT TAVRIK_PG_USER=tavrik TAVRIK_PG_PASSWORD=tavrik TAVRIK_PG_DB=tavrik_test"
}

stop() {
    if running; then
        pid=$(head -n 1 "$DATADIR/postmaster.pid")
        as_owner "$BIN/pg_ctl" -D "$DATADIR" -m fast -w -t 30 stop >/dev/null 2>&1 || kill "$pid" 2>/dev/null || true
        i=0
        while kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    fi
    rm -rf "$BASE"
}

case "${1:-}" in
    start) start ;;
    stop) stop ;;
    *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
