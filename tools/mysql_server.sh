#!/bin/sh
# Starts or stops a private MariaDB server for the test suite: its own data
# directory, loopback only, a test database and user.
#
#   tools/mysql_server.sh start   # prints the TAVRIK_MYSQL_* settings as shell exports
#   tools/mysql_server.sh stop
#
# Installs Debian's mariadb-server with apt-get when it is missing and we are root.
set -eu

BASE=${TAVRIK_MYSQL_BASE:-/tmp/tavrik-mysql}
# Below Linux's ephemeral range (32768-60999), so that no client connection
# of an earlier run can be holding it.
PORT=${TAVRIK_MYSQL_PORT:-23306}
DATADIR=$BASE/data
SOCKET=$BASE/mysqld.sock
PIDFILE=$BASE/mysqld.pid
LOG=$BASE/mysqld.log

find_bin() {
    for b in "$@"; do
        for d in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin; do
            if [ -x "$d/$b" ]; then echo "$d/$b"; return 0; fi
        done
    done
    return 1
}

ensure_installed() {
    if find_bin mariadbd mysqld >/dev/null; then return 0; fi
    if [ "$(id -u)" != 0 ]; then
        echo "mariadb-server is not installed and we are not root: install it (apt-get install mariadb-server) to run the MySQL tests" >&2
        return 1
    fi
    echo "installing mariadb-server with apt-get" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y mariadb-server >/dev/null 2>&1 || { apt-get update >/dev/null 2>&1 && apt-get install -y mariadb-server >/dev/null; }
}

client() {
    "$(find_bin mariadb mysql)" --no-defaults --protocol=socket -S "$SOCKET" -uroot "$@"
}

start() {
    ensure_installed
    MYSQLD=$(find_bin mariadbd mysqld)
    INSTALLDB=$(find_bin mariadb-install-db mysql_install_db)
    if [ -f "$PIDFILE" ] && kill -0 "$(cat "$PIDFILE")" 2>/dev/null; then
        stop >/dev/null 2>&1 || true
    fi
    rm -rf "$BASE"
    mkdir -p "$DATADIR"
    USEROPT=""
    if [ "$(id -u)" = 0 ]; then USEROPT="--user=root"; fi
    "$INSTALLDB" --no-defaults --datadir="$DATADIR" $USEROPT --auth-root-authentication-method=socket \
        --skip-test-db >"$BASE/install.log" 2>&1 || { cat "$BASE/install.log" >&2; exit 1; }
    "$MYSQLD" --no-defaults --datadir="$DATADIR" --socket="$SOCKET" --pid-file="$PIDFILE" \
        --port="$PORT" --bind-address=127.0.0.1 $USEROPT --skip-name-resolve \
        --innodb-buffer-pool-size=64M --max-connections=200 --log-error="$LOG" &
    i=0
    until client -e "select 1" >/dev/null 2>&1; do
        i=$((i + 1))
        if [ $i -gt 300 ]; then echo "MariaDB did not start; log follows" >&2; cat "$LOG" >&2; exit 1; fi
        sleep 0.1
    done
    client -e "CREATE DATABASE tavrik_test CHARACTER SET utf8mb4;
        CREATE USER 'tavrik'@'127.0.0.1' IDENTIFIED BY 'tavrik';
        GRANT ALL ON tavrik_test.* TO 'tavrik'@'127.0.0.1';
        GRANT ALL ON \`tavrik_other\`.* TO 'tavrik'@'127.0.0.1';
        FLUSH PRIVILEGES;"
    echo "export TAVRIK_MYSQL_HOST=127.0.0.1 TAVRIK_MYSQL_PORT=$PORT TAVRIK_MYSQL_USER=tavrik TAVRIK_MYSQL_PASSWORD=tavrik TAVRIK_MYSQL_DB=tavrik_test"
}

stop() {
    if [ -f "$PIDFILE" ]; then
        pid=$(cat "$PIDFILE")
        kill "$pid" 2>/dev/null || true
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
