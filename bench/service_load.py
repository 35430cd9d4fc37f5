#!/usr/bin/env python3
"""How the reference attribution service holds up under idle and slow clients, and how fast it
stores what it is sent. Prints the latency of a normal install-trace request (p50, p99 and worst of
200, each on a new connection) alone, beside 1,000 idle keep-alive connections, and beside a
200-connection slowloris (headers trickled a byte a second, each connection the service cuts off
opened again); then events stored per second by concurrent clients sending batches of 100 and one
at a time, and install-trace requests recorded per second. Last, with 1,000,000 events stored
(written into the database file before the service opens it) and 4 console pollers, the latency
of install-trace requests and of event batches of 10 (goal: p99 under 50 ms).

With --throughput, or --db postgresql, or --instances N, only the store's figures: install-trace
requests and events stored per second, with the p50/p99 of each request, from concurrent clients
sent round-robin to N instances on one database. --db postgresql starts a private cluster
(tests/tools/pg_cluster.py, fsync on) and points the instances at one database of it.

usage: bench/service_load.py [--console-only | --throughput] [--db sqlite|postgresql]
                             [--instances N] [build/bin/attribution-service]
"""
import argparse
import json
import multiprocessing
import sqlite3
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
parser.add_argument("service", nargs="?", default="build/bin/attribution-service")
parser.add_argument("--console-only", action="store_true")
parser.add_argument("--throughput", action="store_true")
parser.add_argument("--db", choices=("sqlite", "postgresql"), default="sqlite")
parser.add_argument("--instances", type=int, default=1)
OPTIONS = parser.parse_args()
SERVICE = OPTIONS.service
KEY = "benchKey"
TIMEOUT = 10


TOKEN = "bench-operator-token"


def start(workdir, db="bench.db"):
    """The service on db: a file in workdir, or a postgresql:// URI."""
    port_file = os.path.join(workdir, "port")
    with open(os.path.join(workdir, "token"), "w") as f:
        f.write(TOKEN + "\n")
    if not db.startswith("postgresql:"):
        db = os.path.join(workdir, db)
    process = subprocess.Popen([SERVICE, "--quiet", "--port", "0", "--db", db, "--port-file", port_file,
                                "--admin-token-file", os.path.join(workdir, "token")])
    deadline = time.monotonic() + 300  # a database from before may be brought up to date first
    while not (os.path.exists(port_file) and open(port_file).read().endswith("\n")):
        if process.poll() is not None or time.monotonic() > deadline:
            sys.exit("the service did not start")
        time.sleep(0.01)
    with open(port_file) as f:
        return process, int(f.read())


def exchange(port, method, path, body=b"", timeout=TIMEOUT):
    """One request on a new connection; the status, or None when no answer came within timeout."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as sock:
            sock.sendall(b"%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                         b"Authorization: Bearer %s\r\n"
                         b"Content-Length: %d\r\nConnection: close\r\n\r\n%s"
                         % (method.encode(), path.encode(), TOKEN.encode(), len(body), body))
            answer = b""
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                answer += chunk
            return int(answer.split(b" ", 2)[1]) if answer else None
    except (OSError, ValueError, IndexError):
        return None


def install_request(port, n):
    """One install-trace request on a new connection: (status, milliseconds)."""
    body = json.dumps({"ti": "", "clip": "", "ci": "bench%d-%f" % (n, time.time())}).encode()
    started = time.monotonic()
    status = exchange(port, "POST", "/api/trace/client/report/" + KEY, body)
    return status, (time.monotonic() - started) * 1000


def summary(times, failures):
    times = sorted(times)
    p99 = times[min(len(times) - 1, int(len(times) * 0.99))]
    return "p50 %.1f ms, p99 %.1f ms, max %.1f ms (%d requests)%s" % (
        statistics.median(times), p99, times[-1], len(times),
        ", %d failed" % failures if failures else "")


def normal_latencies(port, count=200, until=None, pause=0.0):
    """Up to count requests one after another, stopping at the monotonic time until."""
    times, failures = [], 0
    for i in range(count):
        if until is not None and time.monotonic() >= until:
            break
        status, ms = install_request(port, i)
        times.append(ms)
        failures += status != 200
        time.sleep(pause)
    return times, failures


def beside_idle_keep_alive(port, count=1000, wanted=200, rounds=10):
    """Latency while count kept-alive connections sit idle. The service closes an idle connection
    2 s after its last answer, so each round opens them anew, waits until every one has its answer,
    and measures only until 1.8 s after the first of them asked."""
    times, failures = [], 0
    for _ in range(rounds):
        if len(times) >= wanted:
            break
        first_asked = time.monotonic()
        sockets = []
        for _ in range(count):
            sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
            sock.sendall(b"GET /api/links/%s?limit=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         b"Authorization: Bearer %s\r\n\r\n" % (KEY.encode(), TOKEN.encode()))
            sockets.append(sock)
        for sock in sockets:
            try:
                sock.recv(65536)  # the answer; the connection then stays open and silent
            except OSError:
                pass
        more, failed = normal_latencies(port, wanted - len(times), until=first_asked + 1.8)
        times += more
        failures += failed
        for sock in sockets:
            sock.close()
        time.sleep(0.5)
    return summary(times, failures) if times else "no request fitted while all were idle"


def slowloris(port, count, stop):
    """count connections trickling a header a byte a second; one that is cut off is opened again.
    Runs in a process of its own, so its reconnects do not hold up the measuring thread."""
    def open_one():
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
            sock.sendall(b"POST /api/trace/client/report/%s HTTP/1.1\r\nHost: 127.0.0.1\r\n" % KEY.encode())
            return sock
        except OSError:
            return None

    sockets = [open_one() for _ in range(count)]
    while not stop.wait(1.0):
        for i, sock in enumerate(sockets):
            try:
                sock.sendall(b"X")
            except (OSError, AttributeError):
                if sock is not None:
                    sock.close()
                sockets[i] = open_one()
    for sock in sockets:
        if sock is not None:
            sock.close()


def requests_per_second(ports, clients, each, times=None, failed=None):
    """Install-trace requests recorded per second by concurrent clients, a connection each,
    round-robin over the instances' ports; each request's milliseconds go to times, a 1 for each
    one not answered 200 to failed."""
    answered = []
    times = [] if times is None else times
    failed = [] if failed is None else failed

    def client(n):
        for i in range(each):
            status, ms = install_request(ports[(n + i) % len(ports)], n * each + i)
            times.append(ms)
            (answered if status == 200 else failed).append(1)

    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return len(answered) / (time.monotonic() - started)


def events_per_second(ports, clients, batches, per_batch, times=None, failed=None):
    stored = []
    times = [] if times is None else times
    failed = [] if failed is None else failed

    def client(n):
        for b in range(batches):
            events = [{"id": "%dc%db%de%d" % (per_batch, n, b, e), "name": "purchase", "ts": 1,
                       "params": {}, "revenue": {"amount": "1.99", "currency": "EUR"}}
                      for e in range(per_batch)]
            body = json.dumps({"ci": "client%d" % n, "events": events}).encode()
            started = time.monotonic()
            status = exchange(ports[(n + b) % len(ports)], "POST", "/api/trace/client/events/" + KEY, body)
            times.append((time.monotonic() - started) * 1000)
            if status == 200:
                stored.append(per_batch)
            else:
                failed.append(1)

    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(stored) / (time.monotonic() - started)


def fill(path, events, clients=1000):
    """A database holding `events` events of `clients` clients, half of them credited, written
    directly: the service finds it as one from before it kept totals."""
    db = sqlite3.connect(path)
    db.executescript("""
        CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT, app_key TEXT NOT NULL,
            event_id TEXT NOT NULL, name TEXT NOT NULL, ts INTEGER NOT NULL, params TEXT NOT NULL,
            amount TEXT, currency TEXT, ci TEXT NOT NULL, received_at TEXT NOT NULL,
            UNIQUE (app_key, event_id));
        CREATE INDEX events_by_key ON events (app_key, id);
        CREATE TABLE installs (app_key TEXT NOT NULL, ci TEXT NOT NULL, trace_id TEXT NOT NULL,
            PRIMARY KEY (app_key, ci));""")
    db.executemany("INSERT INTO installs VALUES (?, ?, '')",
                   ((KEY, "filled%d" % c) for c in range(0, clients, 2)))
    db.executemany(
        "INSERT INTO events (app_key, event_id, name, ts, params, amount, currency, ci, received_at) "
        "VALUES (?, ?, 'purchase', 1, '{}', ?, 'EUR', ?, '2024-01-01T00:00:00.000Z')",
        ((KEY, "f%d" % i, "%d.99" % (i % 10), "filled%d" % (i % clients)) for i in range(events)))
    db.commit()
    db.close()


def beside_console_pollers(work, pollers=4, wanted=200, seconds=60):
    """Install-trace requests and batches of 10 events, one after another, while `pollers`
    console tabs ask for /api/console a second after each answer."""
    path = os.path.join(work, "filled.db")
    started = time.monotonic()
    fill(path, 1000000)
    filled = time.monotonic() - started
    process, port = start(work, "filled.db")
    opened = time.monotonic() - started - filled
    stop = threading.Event()
    polls = []

    def poll():
        while not stop.is_set():
            begun = time.monotonic()
            exchange(port, "GET", "/api/console?app=" + KEY, timeout=60)
            polls.append((time.monotonic() - begun) * 1000)
            stop.wait(1.0)

    threads = [threading.Thread(target=poll) for _ in range(pollers)]
    try:
        for t in threads:
            t.start()
        rows = []
        for name, send in (("install-trace requests", lambda n: install_request(port, n)),
                           ("event batches of 10", lambda n: event_batch(port, n))):
            times, failures, until = [], 0, time.monotonic() + seconds
            while len(times) < wanted and time.monotonic() < until:
                status, ms = send(len(times))
                times.append(ms)
                failures += status != 200
                time.sleep(0.04)  # spread over several polls of each console
            rows.append("  %-23s %s" % (name + ":", summary(times, failures)))
        stop.set()
        for t in threads:
            t.join()
        print("1,000,000 events stored (filled in %.0f s, opened in %.0f s), 4 console pollers:"
              % (filled, opened))
        print("\n".join(rows))
        print("  %-23s %s" % ("console polls:", summary(polls, 0)))
    finally:
        stop.set()
        process.terminate()
        process.wait(60)


def event_batch(port, n):
    events = [{"id": "load%d-%d" % (n, e), "name": "purchase", "ts": 1, "params": {},
               "revenue": {"amount": "1.99", "currency": "EUR"}} for e in range(10)]
    body = json.dumps({"ci": "filled%d" % (n % 1000), "events": events}).encode()
    started = time.monotonic()
    status = exchange(port, "POST", "/api/trace/client/events/" + KEY, body)
    return status, (time.monotonic() - started) * 1000


def store_figures(work):
    """Install-trace requests and events per second on the chosen store and instance count."""
    cluster = None
    db = "bench.db"
    if OPTIONS.db == "postgresql":
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tools"))
        import pg_cluster
        cluster = pg_cluster.start_or_skip()
        db = cluster.create_database("bench")
    processes, ports = [], []
    try:
        for n in range(OPTIONS.instances):
            folder = os.path.join(work, "instance%d" % n)
            os.mkdir(folder)
            process, port = start(folder, db if cluster else os.path.join(work, db))
            processes.append(process)
            ports.append(port)
        print("%s, %d instance%s, %d CPU cores on this machine:"
              % ("PostgreSQL 15" if cluster else "SQLite", OPTIONS.instances,
                 "s" if OPTIONS.instances > 1 else "", os.cpu_count()))
        times, failed = [], []
        rate = requests_per_second(ports, 32, 50, times, failed)
        print("  install-trace requests: %6.0f/s (32 clients), %s"
              % (rate, summary(times, len(failed))))
        for clients, batches, per_batch in ((8, 40, 100), (32, 50, 1)):
            times, failed = [], []
            rate = events_per_second(ports, clients, batches, per_batch, times, failed)
            print("  events, batches of %3d: %6.0f/s (%d clients), %s"
                  % (per_batch, rate, clients, summary(times, len(failed))))
    finally:
        for process in processes:
            process.terminate()
            process.wait(30)
        if cluster:
            cluster.stop_and_remove()


def main():
    with tempfile.TemporaryDirectory() as work:
        if OPTIONS.throughput or OPTIONS.db != "sqlite" or OPTIONS.instances != 1:
            store_figures(work)
            return
        if OPTIONS.console_only:
            beside_console_pollers(work)
            return
        process, port = start(work)
        try:
            print("alone:                             " + summary(*normal_latencies(port)))
            print("beside 1,000 idle keep-alive:      " + beside_idle_keep_alive(port))
            stop = multiprocessing.Event()
            loris = multiprocessing.Process(target=slowloris, args=(port, 200, stop))
            loris.start()
            time.sleep(2)
            # Spread over about 8 s, so the service's cut-offs and the reconnects fall inside.
            print("beside a 200-connection slowloris: "
                  + summary(*normal_latencies(port, pause=0.04)))
            stop.set()
            loris.join()
            for clients, batches, per_batch in ((8, 40, 100), (32, 50, 1)):
                rate = events_per_second([port], clients, batches, per_batch)
                print("events stored durably: %.0f/s (%d clients, batches of %d)"
                      % (rate, clients, per_batch))
            print("install-trace requests recorded durably: %.0f/s (32 clients)"
                  % requests_per_second([port], 32, 50))
        finally:
            process.terminate()
            process.wait(30)
        beside_console_pollers(work)


if __name__ == "__main__":
    main()
