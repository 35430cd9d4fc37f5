#!/usr/bin/env python3
"""A private PostgreSQL cluster for the service's tests and bench: initdb in a temporary folder,
then pg_ctl on a free loopback port with its unix socket inside that folder, so nothing on the
machine is touched and several clusters can run side by side. Run as root, the server runs as an
unprivileged user (plovendale-pg, created on first use), since postgres refuses to run as root.

    with pg_cluster.start_or_skip() as cluster:      # exits 77 when PostgreSQL cannot start
        cluster.create_database("one")
        uri = cluster.uri("one")                      # postgresql://plovendale@127.0.0.1:PORT/one
        cluster.psql("one", "SELECT 1")               # rows as lists of strings
        cluster.restart()                             # pg_ctl restart -m fast

The cluster is always stopped and its folder removed: on leaving the with block, on stop_and_remove(),
or at interpreter exit.
"""
import atexit
import os
import pwd
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
USER = "plovendale"  # the cluster's superuser, the one every URI names
SERVICE_ACCOUNT = "plovendale-pg"  # the system account the server runs as when we are root


class Unavailable(Exception):
    """PostgreSQL cannot run here; the message says why."""


def find_bindir():
    candidates = [os.environ.get("PLOVENDALE_PG_BINDIR", "")]
    try:
        candidates.append(subprocess.run(["pg_config", "--bindir"], capture_output=True,
                                         text=True, timeout=10).stdout.strip())
    except (OSError, subprocess.SubprocessError):
        pass
    base = "/usr/lib/postgresql"
    if os.path.isdir(base):
        candidates += [os.path.join(base, v, "bin")
                       for v in sorted(os.listdir(base), key=lambda v: -int(v) if v.isdigit() else 0)]
    for directory in candidates:
        if directory and all(os.access(os.path.join(directory, tool), os.X_OK)
                             for tool in ("initdb", "pg_ctl", "postgres")):
            return directory
    raise Unavailable("no initdb/pg_ctl/postgres found (looked in %s); scripts/install-deps "
                      "installs postgresql-15" % ", ".join(c for c in candidates if c))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ensure_service_account():
    try:
        return pwd.getpwnam(SERVICE_ACCOUNT)
    except KeyError:
        pass
    result = subprocess.run(["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                             "--shell", "/usr/sbin/nologin", SERVICE_ACCOUNT],
                            capture_output=True, text=True, timeout=30)
    try:
        return pwd.getpwnam(SERVICE_ACCOUNT)
    except KeyError:
        raise Unavailable("running as root and could not create the user %s: %s"
                          % (SERVICE_ACCOUNT, result.stderr.strip())) from None


class Cluster:
    def __init__(self, settings=None, start_timeout=60):
        """settings: extra postgresql.conf lines as a dict (e.g. {"fsync": "off"})."""
        self.bindir = find_bindir()
        self.settings = dict(settings or {})
        self.start_timeout = start_timeout
        self.port = None
        self.folder = None
        self.account = None
        self._running = False
        self.psql_path = shutil.which("psql") or os.path.join(self.bindir, "psql")

    # Lifecycle

    def __enter__(self):
        if self.folder is not None:
            return self  # already created by start_or_skip()
        try:
            self.create()
        except BaseException:
            self.stop_and_remove()
            raise
        return self

    def __exit__(self, *exc):
        self.stop_and_remove()

    def create(self):
        # A short path: the socket path must fit in sun_path (107 bytes).
        self.folder = tempfile.mkdtemp(prefix="plovendale-pg-")
        atexit.register(self.stop_and_remove)
        if os.geteuid() == 0:
            self.account = ensure_service_account()
            os.chown(self.folder, self.account.pw_uid, self.account.pw_gid)
        os.chmod(self.folder, 0o700)
        result = self._as_owner([os.path.join(self.bindir, "initdb"), "-D", self.data, "-A", "trust",
                                 "-U", USER, "-E", "UTF8", "--no-locale", "--no-sync"])
        if result.returncode != 0:
            raise Unavailable("initdb failed: " + (result.stdout + result.stderr).strip()[-2000:])
        with open(os.path.join(self.data, "postgresql.conf"), "a") as conf:
            conf.write("listen_addresses = '127.0.0.1'\n")
            conf.write("unix_socket_directories = '%s'\n" % self.folder)
            for key, value in self.settings.items():
                conf.write("%s = '%s'\n" % (key, value))
        # A port taken between picking and binding is retried with another.
        last = ""
        for _ in range(3):
            self.port = free_port()
            try:
                self.start()
                return
            except Unavailable as failure:
                last = str(failure)
        raise Unavailable(last)

    @property
    def data(self):
        return os.path.join(self.folder, "data")

    @property
    def log(self):
        return os.path.join(self.folder, "server.log")

    def _as_owner(self, command, timeout=None):
        if self.account is not None:
            command = ["runuser", "-u", SERVICE_ACCOUNT, "--"] + command
        return subprocess.run(command, capture_output=True, text=True, cwd=self.folder,
                              timeout=timeout or self.start_timeout + 30)

    def _pg_ctl(self, action, *extra):
        return self._as_owner([os.path.join(self.bindir, "pg_ctl"), action, "-D", self.data, "-w",
                               "-t", str(self.start_timeout), *extra])

    def log_tail(self, limit=2000):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()[-limit:]
        except OSError:
            return ""

    def start(self):
        result = self._pg_ctl("start", "-l", self.log, "-o", "-p %d" % self.port)
        if result.returncode != 0:
            raise Unavailable("pg_ctl start failed: %s\n%s"
                              % ((result.stdout + result.stderr).strip(), self.log_tail()))
        self._running = True
        self.wait_ready()

    def wait_ready(self):
        deadline = time.monotonic() + self.start_timeout
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=2):
                    pass
                if self.psql("postgres", "SELECT 1") == [["1"]]:
                    return
            except (OSError, RuntimeError):
                pass
            if time.monotonic() > deadline:
                raise Unavailable("the server did not accept connections within %d s:\n%s"
                                  % (self.start_timeout, self.log_tail()))
            time.sleep(0.05)

    def stop(self, mode="fast"):
        if self._running:
            result = self._pg_ctl("stop", "-m", mode)
            if result.returncode != 0:
                raise RuntimeError("pg_ctl stop failed: " + result.stderr)
            self._running = False

    def restart(self, mode="fast"):
        self.stop(mode)
        self.start()

    def stop_and_remove(self):
        if self.folder is None:
            return
        try:
            if self._running:
                self._pg_ctl("stop", "-m", "immediate")
                self._running = False
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    # Databases

    def uri(self, name):
        return "postgresql://%s@127.0.0.1:%d/%s" % (USER, self.port, name)

    def create_database(self, name):
        self.psql("postgres", 'CREATE DATABASE "%s"' % name)
        return self.uri(name)

    def psql(self, name, sql):
        """Rows of the last statement, each a list of column texts; raises RuntimeError on an
        SQL or connection error."""
        result = subprocess.run([self.psql_path, "-X", "-q", "-A", "-t", "-F", "\x1f",
                                 "-v", "ON_ERROR_STOP=1", "-d", self.uri(name), "-c", sql],
                                capture_output=True, text=True, timeout=60,
                                env=dict(os.environ, PGCONNECT_TIMEOUT="5"))
        if result.returncode != 0:
            raise RuntimeError("psql %r failed: %s" % (sql, result.stderr.strip()))
        return [line.split("\x1f") for line in result.stdout.splitlines() if line]


def start_or_skip(**kwargs):
    """A started cluster (use it in a with block), or, where PostgreSQL cannot run here, a
    SKIPPED line saying why and exit 77."""
    try:
        cluster = Cluster(**kwargs)
        return cluster.__enter__()
    except Unavailable as reason:
        print("SKIPPED: PostgreSQL tests, because %s" % reason, flush=True)
        sys.exit(SKIP)


if __name__ == "__main__":
    # A smoke run: start, make a database, query it, restart, query again.
    with start_or_skip() as c:
        c.create_database("smoke")
        c.psql("smoke", "CREATE TABLE t (x int)")
        c.psql("smoke", "INSERT INTO t VALUES (1)")
        c.restart()
        assert c.psql("smoke", "SELECT count(*) FROM t") == [["1"]], "row lost over restart"
        print("PASS: cluster on port %d at %s" % (c.port, c.folder))
