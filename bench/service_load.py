#!/usr/bin/env python3
"""How the reference attribution service holds up under idle and slow clients, and how fast it
stores events. Prints the latency of a normal install-trace request (median and worst of 20, each
on a new connection) alone, beside 1,000 idle keep-alive connections, and beside a 200-connection
slowloris (headers trickled a byte a second); then events stored per second by concurrent clients
sending batches of 100.

usage: bench/service_load.py [build/bin/attribution-service]
"""
import json
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


def start(workdir):
    port_file = os.path.join(workdir, "port")
    process = subprocess.Popen([SERVICE, "--quiet", "--port", "0", "--db",
                                os.path.join(workdir, "bench.db"), "--port-file", port_file])
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
            sock.sendall(b"%s %s HTTP/1.1\r\nHost: bench\r\nContent-Type: application/json\r\n"
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


def normal_latencies(port, count=20):
    times, failures = [], 0
    for i in range(count):
        body = json.dumps({"ti": "", "clip": "", "ci": "bench%d-%f" % (i, time.time())}).encode()
        started = time.monotonic()
        status = exchange(port, "POST", "/api/trace/client/report/" + KEY, body)
        times.append((time.monotonic() - started) * 1000)
        failures += status != 200
    return "median %.1f ms, worst %.1f ms%s" % (
        statistics.median(times), max(times), ", %d of %d failed" % (failures, count) if failures else "")


def idle_keep_alive(port, count=1000):
    sockets = []
    for _ in range(count):
        sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        sock.sendall(b"GET /api/links/%s?limit=1 HTTP/1.1\r\nHost: bench\r\n\r\n" % KEY.encode())
        sockets.append(sock)  # answered, then left open and silent
    return sockets


def slowloris(port, count, stop):
    sockets = [socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) for _ in range(count)]
    for sock in sockets:
        sock.sendall(b"POST /api/trace/client/report/%s HTTP/1.1\r\nHost: bench\r\n" % KEY.encode())
    while not stop.wait(1.0):
        for sock in sockets:
            try:
                sock.sendall(b"X")
            except OSError:
                pass
    for sock in sockets:
        sock.close()


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
            print("alone:                          " + normal_latencies(port))
            idle = idle_keep_alive(port)
            time.sleep(1)  # let the burst of 1,000 connections settle
            print("beside 1,000 idle keep-alive:   " + normal_latencies(port))
            for sock in idle:
                sock.close()
            time.sleep(0.5)
            stop = threading.Event()
            loris = threading.Thread(target=slowloris, args=(port, 200, stop))
            loris.start()
            time.sleep(2)
            print("beside a 200-connection slowloris: " + normal_latencies(port))
            stop.set()
            loris.join()
            for clients, batches, per_batch in ((8, 40, 100), (32, 50, 1)):
                rate = events_per_second(port, clients, batches, per_batch)
                print("events stored durably: %.0f/s (%d clients, batches of %d)"
                      % (rate, clients, per_batch))
        finally:
            process.terminate()
            process.wait(30)


if __name__ == "__main__":
    main()
