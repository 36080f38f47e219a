#!/bin/sh
# A private three-node MariaDB Galera cluster on loopback, for the cluster
# tests: each node has its own data directory, socket, SQL port, group
# communication port and state-transfer ports, all bound to 127.0.0.1.
#
#   tools/galera_cluster.sh start        # prints the TAVRIK_GALERA_* settings as shell exports
#   tools/galera_cluster.sh stop
#   tools/galera_cluster.sh kill N       # SIGKILL node N (1..3), as a crash would
#   tools/galera_cluster.sh restart N    # start node N again; it rejoins by incremental transfer
#   tools/galera_cluster.sh status       # wsrep state of every running node
#   tools/galera_cluster.sh sql N "..."  # run statements on node N as root (e.g. SET GLOBAL wsrep_desync=ON)
#
# Installs Debian's mariadb-server (which brings galera-4) and rsync with
# apt-get when they are missing and we are root.
set -eu

BASE=${TAVRIK_GALERA_BASE:-/tmp/tavrik-galera}
# Below Linux's ephemeral range (32768-60999): the suite's client
# connections leave their local ports in TIME_WAIT, and one of them on a
# node's group port kept that node from binding it.
SQL_PORT0=${TAVRIK_GALERA_PORT:-23501}
NODES="1 2 3"
PROVIDER=/usr/lib/galera/libgalera_smm.so

find_bin() {
    for b in "$@"; do
        for d in /usr/sbin /usr/bin /usr/local/sbin /usr/local/bin; do
            if [ -x "$d/$b" ]; then echo "$d/$b"; return 0; fi
        done
    done
    return 1
}

ensure_installed() {
    if find_bin mariadbd >/dev/null && [ -f "$PROVIDER" ] && find_bin rsync >/dev/null; then return 0; fi
    if [ "$(id -u)" != 0 ]; then
        echo "mariadb-server, galera-4 and rsync are needed: apt-get install mariadb-server galera-4 rsync" >&2
        return 1
    fi
    echo "installing mariadb-server, galera-4 and rsync with apt-get" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y mariadb-server galera-4 rsync >/dev/null 2>&1 ||
        { apt-get update >/dev/null 2>&1 && apt-get install -y mariadb-server galera-4 rsync >/dev/null; }
}

sql_port() { echo $((SQL_PORT0 + $1 - 1)); }
gcomm_port() { echo $((SQL_PORT0 + 1000 + $1 - 1)); }
ist_port() { echo $((SQL_PORT0 + 1010 + $1 - 1)); }
sst_port() { echo $((SQL_PORT0 + 1020 + $1 - 1)); }
dir() { echo "$BASE/node$1"; }

# The server drops to user mysql when we are root: rsync's state transfer
# daemon runs as that user too and must be able to write the data directory.
RUNAS=""
if [ "$(id -u)" = 0 ]; then RUNAS="--user=mysql"; fi

client() {
    n=$1; shift
    "$(find_bin mariadb mysql)" --no-defaults --protocol=socket -S "$(dir "$n")/mysqld.sock" -uroot "$@"
}

gcomm_list() {
    l=""
    for n in $NODES; do l="$l${l:+,}127.0.0.1:$(gcomm_port "$n")"; done
    echo "gcomm://$l"
}

# mariadbd options of node $1; extra options follow.
node_opts() {
    n=$1; d=$(dir "$n")
    echo "--no-defaults --datadir=$d/data --socket=$d/mysqld.sock --pid-file=$d/mysqld.pid" \
        "--port=$(sql_port "$n") --bind-address=127.0.0.1 $RUNAS --skip-name-resolve" \
        "--log-error=$d/mysqld.log --innodb-buffer-pool-size=48M --max-connections=200" \
        "--binlog-format=ROW --innodb-autoinc-lock-mode=2 --default-storage-engine=InnoDB" \
        "--wsrep-on=ON --wsrep-provider=$PROVIDER --wsrep-cluster-name=tavrik" \
        "--wsrep-cluster-address=$(gcomm_list) --wsrep-node-name=node$n --wsrep-node-address=127.0.0.1:$(gcomm_port "$n")" \
        "--wsrep-sst-method=rsync --wsrep-sst-receive-address=127.0.0.1:$(sst_port "$n")" \
        "--wsrep-provider-options=gmcast.listen_addr=tcp://127.0.0.1:$(gcomm_port "$n");ist.recv_addr=127.0.0.1:$(ist_port "$n");evs.keepalive_period=PT0.5S;evs.suspect_timeout=PT2S;evs.inactive_timeout=PT4S;evs.install_timeout=PT3S;gcache.size=64M"
}

wait_synced() {
    n=$1; i=0
    until [ "$(client "$n" -N -e "SHOW STATUS LIKE 'wsrep_local_state_comment'" 2>/dev/null | awk '{print $2}')" = "Synced" ]; do
        i=$((i + 1))
        if [ $i -gt 600 ]; then echo "node $n did not reach Synced; log follows" >&2; tail -50 "$(dir "$n")/mysqld.log" >&2; exit 1; fi
        sleep 0.1
    done
}

launch() {
    n=$1; shift
    # shellcheck disable=SC2046
    setsid "$(find_bin mariadbd)" $(node_opts "$n") "$@" </dev/null >/dev/null 2>&1 &
}

start() {
    ensure_installed
    stop >/dev/null 2>&1 || true
    mkdir -p "$BASE"
    for n in $NODES; do mkdir -p "$(dir "$n")"; done
    if [ -n "$RUNAS" ]; then chown -R mysql:mysql "$BASE"; chmod 755 "$BASE"; fi
    d1=$(dir 1)
    "$(find_bin mariadb-install-db mysql_install_db)" --no-defaults --datadir="$d1/data" $RUNAS \
        --auth-root-authentication-method=socket --skip-test-db >"$d1/install.log" 2>&1 || { cat "$d1/install.log" >&2; exit 1; }
    # Node 1 founds the cluster and gets the test database and user; after a
    # clean shutdown its data directory seeds the other two, which then join
    # by incremental transfer instead of copying everything.
    launch 1 --wsrep-new-cluster
    wait_synced 1
    client 1 -e "CREATE DATABASE tavrik_test CHARACTER SET utf8mb4;
        CREATE USER 'tavrik'@'127.0.0.1' IDENTIFIED BY 'tavrik';
        GRANT ALL ON tavrik_test.* TO 'tavrik'@'127.0.0.1';
        GRANT ALL ON \`tavrik_other\`.* TO 'tavrik'@'127.0.0.1';
        GRANT PROCESS ON *.* TO 'tavrik'@'127.0.0.1';
        FLUSH PRIVILEGES;"
    stop_node 1
    for n in 2 3; do
        cp -a "$d1/data" "$(dir "$n")/data"
        rm -f "$(dir "$n")/data/galera.cache" "$(dir "$n")/data/gvwstate.dat"
    done
    sed -i 's/^safe_to_bootstrap: 0/safe_to_bootstrap: 1/' "$d1/data/grastate.dat"
    launch 1 --wsrep-new-cluster
    wait_synced 1
    for n in 2 3; do launch "$n"; done
    for n in 2 3; do wait_synced "$n"; done
    hosts=""
    for n in $NODES; do hosts="$hosts${hosts:+,}127.0.0.1:$(sql_port "$n")"; done
    echo "export TAVRIK_GALERA_HOSTS=$hosts TAVRIK_GALERA_USER=tavrik TAVRIK_GALERA_PASSWORD=tavrik TAVRIK_GALERA_DB=tavrik_test TAVRIK_GALERA_BASE=$BASE TAVRIK_GALERA_PORT=$SQL_PORT0"
}

pid_of() {
    f="$(dir "$1")/mysqld.pid"
    if [ -f "$f" ]; then cat "$f"; fi
}

stop_node() {
    pid=$(pid_of "$1")
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        i=0
        while kill -0 "$pid" 2>/dev/null && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$(dir "$1")/mysqld.pid"
}

kill_node() {
    pid=$(pid_of "$1")
    if [ -n "$pid" ]; then kill -9 "$pid" 2>/dev/null || true; fi
    i=0
    while [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    rm -f "$(dir "$1")/mysqld.pid"
}

restart_node() {
    n=$1
    # After a crash grastate.dat holds seqno -1: recover the position from
    # the storage engine so the node asks for an incremental transfer.
    # shellcheck disable=SC2046
    pos=$("$(find_bin mariadbd)" $(node_opts "$n") --wsrep-recover --log-error="$(dir "$n")/recover.log" >/dev/null 2>&1;
        sed -n 's/.*WSREP: Recovered position: *//p' "$(dir "$n")/recover.log" | tail -1)
    if [ -n "$pos" ]; then launch "$n" --wsrep-start-position="$pos"; else launch "$n"; fi
    wait_synced "$n"
}

status() {
    for n in $NODES; do
        if [ -n "$(pid_of "$n")" ] && kill -0 "$(pid_of "$n")" 2>/dev/null; then
            printf 'node%s %s ' "$n" "$(sql_port "$n")"
            client "$n" -N -e "SHOW STATUS WHERE Variable_name IN ('wsrep_local_state_comment','wsrep_cluster_size','wsrep_ready')" 2>/dev/null | tr '\t\n' '= '
            echo
        else
            echo "node$n $(sql_port "$n") down"
        fi
    done
}

stop() {
    for n in $NODES; do stop_node "$n"; done
    rm -rf "$BASE"
}

case "${1:-}" in
    start) start ;;
    stop) stop ;;
    kill) kill_node "${2:?node number}" ;;
    restart) restart_node "${2:?node number}" ;;
    status) status ;;
    sql) client "${2:?node number}" -N -e "${3:?statements}" ;;
    *) echo "usage: $0 start|stop|kill N|restart N|status|sql N STATEMENTS" >&2; exit 2 ;;
esac
