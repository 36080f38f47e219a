"""A MariaDB and a PostgreSQL server of the tests' own, which a test may stop
and start again (the shared servers are never restarted): a data folder
under /tmp, a free loopback port below Linux's ephemeral range, the same
user, password and database names as the shared servers."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

PG_BIN = "/usr/lib/postgresql/15/bin"
# A sanitizer run preloads its runtime into the tests' processes; the servers
# are not what it checks, and PostgreSQL's (initdb's `postgres -V`) hangs
# under it.
SERVER_ENV = {k: v for k, v in os.environ.items()
              if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")}


def _free_port(start):
    for port in range(start, start + 200):
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port from %d" % start)


def _find(*names):
    for name in names:
        for folder in ("/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"):
            path = os.path.join(folder, name)
            if os.access(path, os.X_OK):
                return path
    return None


def _wait(ready, what, log):
    deadline = time.monotonic() + 60
    while not ready():
        if time.monotonic() > deadline:
            raise RuntimeError("%s did not start; log:\n%s" % (what, _tail(log)))
        time.sleep(0.05)


def _tail(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()[-4000:]
    except OSError:
        return "(no log)"


def _answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class MariaDB:
    user, password, db = "tavrik", "tavrik", "tavrik_restart"

    def __init__(self):
        self.mysqld = _find("mariadbd", "mysqld")
        install = _find("mariadb-install-db", "mysql_install_db")
        self.client = _find("mariadb", "mysql")
        if not (self.mysqld and install and self.client):
            raise FileNotFoundError("MariaDB is not installed")
        self.base = tempfile.mkdtemp(prefix="tavrik-restart-my-")
        self.port = _free_port(24306)
        self.socket = os.path.join(self.base, "mysqld.sock")
        self.log = os.path.join(self.base, "mysqld.log")
        self.proc = None
        root = ["--user=root"] if os.getuid() == 0 else []
        subprocess.run([install, "--no-defaults", "--datadir=" + self.base + "/data", *root,
                        "--auth-root-authentication-method=socket", "--skip-test-db"],
                       check=True, capture_output=True, env=SERVER_ENV)
        self.start()
        subprocess.run([self.client, "--no-defaults", "--protocol=socket", "-S", self.socket, "-uroot", "-e",
                        "CREATE DATABASE %s CHARACTER SET utf8mb4; "
                        "CREATE USER 'tavrik'@'127.0.0.1' IDENTIFIED BY 'tavrik'; "
                        "GRANT ALL ON %s.* TO 'tavrik'@'127.0.0.1';" % (self.db, self.db)],
                       check=True, capture_output=True, env=SERVER_ENV)

    @property
    def settings(self):
        return {"host": "127.0.0.1", "port": self.port, "user": self.user, "password": self.password, "db": self.db}

    def start(self):
        root = ["--user=root"] if os.getuid() == 0 else []
        self.proc = subprocess.Popen(
            [self.mysqld, "--no-defaults", "--datadir=" + self.base + "/data", "--socket=" + self.socket,
             "--pid-file=" + self.base + "/mysqld.pid", "--port=%d" % self.port, "--bind-address=127.0.0.1",
             *root, "--skip-name-resolve", "--innodb-buffer-pool-size=16M", "--log-error=" + self.log],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=SERVER_ENV)
        _wait(lambda: _answers(self.port), "MariaDB", self.log)

    def stop(self):
        # SIGTERM: the orderly shutdown of a deploy.
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(60)
        self.proc = None

    def run(self, sql):
        import pymysql

        con = pymysql.connect(**self.settings)
        try:
            with con.cursor() as cur:
                cur.execute(sql)
                rows = [tuple(r) for r in cur.fetchall()]
            con.commit()
            return rows
        finally:
            con.close()

    def remove(self):
        self.stop()
        shutil.rmtree(self.base, ignore_errors=True)


class PostgreSQL:
    user, password, db = "tavrik", "tavrik", "tavrik_restart"

    def __init__(self):
        if not all(os.access(os.path.join(PG_BIN, b), os.X_OK) for b in ("initdb", "pg_ctl", "psql")):
            raise FileNotFoundError("PostgreSQL 15 is not installed")
        self.base = tempfile.mkdtemp(prefix="tavrik-restart-pg-")
        self.port = _free_port(26432)
        self.data = os.path.join(self.base, "data")
        self.log = os.path.join(self.base, "postgres.log")
        if os.getuid() == 0:
            shutil.chown(self.base, "postgres", "postgres")
        os.chmod(self.base, 0o700)
        self._as_owner(PG_BIN + "/initdb", "-D", self.data, "-U", "postgres", "--auth-local=trust",
                       "--auth-host=scram-sha-256", "--encoding=UTF8", "--locale=C", "--no-sync")
        with open(os.path.join(self.data, "postgresql.conf"), "a") as f:
            f.write("listen_addresses = '127.0.0.1'\nport = %d\nunix_socket_directories = '%s'\n"
                    "shared_buffers = 16MB\nfsync = off\nfull_page_writes = off\n" % (self.port, self.base))
        self.start()
        for sql in ("CREATE ROLE tavrik LOGIN PASSWORD 'tavrik'", "CREATE DATABASE %s OWNER tavrik" % self.db):
            subprocess.run([PG_BIN + "/psql", "-X", "-q", "-h", self.base, "-p", str(self.port), "-U", "postgres",
                            "-d", "postgres", "-v", "ON_ERROR_STOP=1", "-c", sql], check=True, capture_output=True, env=SERVER_ENV)

    def _as_owner(self, *argv):
        if os.getuid() == 0:
            argv = ("runuser", "-u", "postgres", "--") + argv
        subprocess.run(argv, check=True, capture_output=True, cwd=self.base, env=SERVER_ENV)

    @property
    def dsn(self):
        return "postgresql://%s:%s@127.0.0.1:%d/%s" % (self.user, self.password, self.port, self.db)

    def start(self):
        self._as_owner(PG_BIN + "/pg_ctl", "-D", self.data, "-l", self.log, "-w", "-t", "60", "start")

    def stop(self):
        # Fast: the sessions are told and cut, as a deploy's restart does.
        if os.path.exists(os.path.join(self.data, "postmaster.pid")):
            self._as_owner(PG_BIN + "/pg_ctl", "-D", self.data, "-m", "fast", "-w", "-t", "60", "stop")

    def run(self, sql):
        import psycopg

        with psycopg.connect(self.dsn) as con:
            cur = con.execute(sql)
            return [tuple(r) for r in cur.fetchall()] if cur.description else []

    def remove(self):
        try:
            self.stop()
        finally:
            shutil.rmtree(self.base, ignore_errors=True)
