#!/usr/bin/env python3
"""How the reference attribution service holds up under idle and slow clients, and how fast it
stores what it is sent. Prints the latency of a normal install-trace request (p50, p99 and worst of
200, each on a new connection) alone, beside 1,000 idle keep-alive connections, and beside a
200-connection slowloris (headers trickled a byte a second, each connection the service cuts off
opened again); then events stored per second by concurrent clients sending batches of 100 and one
at a time, and install-trace requests recorded per second.

usage: bench/service_load.py [build/bin/attribution-service]
"""
import json
import multiprocessing
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SERVICE = sys.argv[1] if len(sys.argv) > 1 else "build/bin/attribution-service"
KEY = "benchKey"
TIMEOUT = 10


TOKEN = "bench-operator-token"


def start(workdir):
    port_file = os.path.join(workdir, "port")
    with open(os.path.join(workdir, "token"), "w") as f:
        f.write(TOKEN + "\n")
    process = subprocess.Popen([SERVICE, "--quiet", "--port", "0", "--db",
                                os.path.join(workdir, "bench.db"), "--port-file", port_file,
                                "--admin-token-file", os.path.join(workdir, "token")])
    deadline = time.monotonic() + 15
    while not (os.path.exists(port_file) and open(port_file).read().endswith("\n")):
        if process.poll() is not None or time.monotonic() > deadline:
            sys.exit("the service did not start")
        time.sleep(0.01)
    with open(port_file) as f:
        return process, int(f.read())


def exchange(port, method, path, body=b""):
    """One request on a new connection; the status, or None when no answer came within TIMEOUT."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as sock:
            sock.sendall(b"%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                         b"Content-Length: %d\r\nConnection: close\r\n\r\n%s"
                         % (method.encode(), path.encode(), len(body), body))
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


def requests_per_second(port, clients, each):
    """Install-trace requests recorded per second by concurrent clients, a connection each."""
    answered = []

    def client(n):
        for i in range(each):
            if install_request(port, n * each + i)[0] == 200:
                answered.append(1)

    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return len(answered) / (time.monotonic() - started)


def events_per_second(port, clients, batches, per_batch):
    stored = []

    def client(n):
        for b in range(batches):
            events = [{"id": "%dc%db%de%d" % (per_batch, n, b, e), "name": "purchase", "ts": 1,
                       "params": {}, "revenue": {"amount": "1.99", "currency": "EUR"}}
                      for e in range(per_batch)]
            body = json.dumps({"ci": "client%d" % n, "events": events}).encode()
            if exchange(port, "POST", "/api/trace/client/events/" + KEY, body) == 200:
                stored.append(per_batch)

    threads = [threading.Thread(target=client, args=(n,)) for n in range(clients)]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(stored) / (time.monotonic() - started)


def main():
    with tempfile.TemporaryDirectory() as work:
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
                rate = events_per_second(port, clients, batches, per_batch)
                print("events stored durably: %.0f/s (%d clients, batches of %d)"
                      % (rate, clients, per_batch))
            print("install-trace requests recorded durably: %.0f/s (32 clients)"
                  % requests_per_second(port, 32, 50))
        finally:
            process.terminate()
            process.wait(30)


if __name__ == "__main__":
    main()
