#!/usr/bin/env python3
"""The reference attribution service over HTTP: events and the summary they add up to, organic
answers, paging, bounded bodies, kept-alive connections, a header deadline, answers when the
database is locked, the request log, and a port in use. Runs the real binary on 127.0.0.1 with a real SQLite file.

usage: service_test.py <path of attribution-service>
"""
import http.client
import json
import os
import re
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

SERVICE = None
KEY = "serviceTestKey"


def read(path):
    with open(path) as f:
        return f.read()


class Service:
    """The service as a child process; stop() ends it and returns its stderr."""

    def __init__(self, workdir, *extra, db=None):
        self.db = db or os.path.join(workdir, "service.db")
        port_file = os.path.join(workdir, "port")
        if os.path.exists(port_file):
            os.remove(port_file)
        self.err_path = os.path.join(workdir, "stderr")
        with open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(
                [SERVICE, "--port", "0", "--db", self.db, "--port-file", port_file, *extra],
                stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + 15
        while not (os.path.exists(port_file) and read(port_file).endswith("\n")):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the service did not start: " + self.stderr())
            time.sleep(0.01)
        self.port = int(read(port_file))

    def stderr(self):
        return read(self.err_path)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(15)
        return self.stderr()

    def request(self, method, path, body=None, headers=None):
        """(status, headers, parsed JSON or text) of one request on a fresh connection."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        all_headers = {"Content-Type": "application/json"} if body is not None else {}
        all_headers.update(headers or {})
        connection.request(method, path, body=body, headers=all_headers)
        answer = connection.getresponse()
        text = answer.read().decode()
        connection.close()
        try:
            text = json.loads(text)
        except ValueError:
            pass
        return answer.status, dict(answer.getheaders()), text

    def install(self, ci, trace_id=""):
        return self.request("POST", "/api/trace/client/report/" + KEY,
                            {"ti": trace_id, "clip": "", "ci": ci})

    def events(self, ci, events):
        return self.request("POST", "/api/trace/client/events/" + KEY, {"ci": ci, "events": events})


def event(event_id, amount=None, currency="EUR", name="purchase"):
    item = {"id": event_id, "name": name, "ts": 1733580000000, "params": {"sku": "a-1"}}
    if amount is not None:
        item["revenue"] = {"amount": amount, "currency": currency}
    return item


class ServiceTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.service = Service(self.dir.name)

    def tearDown(self):
        self.service.stop()
        self.dir.cleanup()

    def link(self, channel):
        status, _, answer = self.service.request(
            "POST", "/api/links/" + KEY, {"params": "room=" + channel, "channel": channel})
        self.assertEqual(status, 200)
        return answer["trace_id"]

    def test_summary_counts_each_event_once_and_sums_revenue_exactly(self):
        web = self.link("web")
        self.assertEqual(self.service.install("web-client", web)[2]["data"]["channel"], "web")
        self.assertEqual(self.service.install("organic-client")[2], {"status": 200})
        big = "999999999999999.999999"  # past what a double holds exactly
        batch = [event("e1", "0.1"), event("e2", "0.2"), event("e3", big), event("e4", "1", "USD"),
                 event("e5", name="open")]
        for expected in ({"status": 200, "accepted": 5, "duplicates": 0},
                         {"status": 200, "accepted": 0, "duplicates": 5}):
            self.assertEqual(self.service.events("web-client", batch), (200, unittest.mock.ANY, expected))
        self.assertEqual(self.service.events("organic-client", [event("o1", "-2.50"), event("e1", "7")])[2],
                         {"status": 200, "accepted": 1, "duplicates": 1})
        # Sums under 1, both signs.
        self.service.events("organic-client", [event("o2", "0.25", "GBP"), event("o3", "0.25", "GBP"),
                                               event("o4", "-0.25", "USD"), event("o5", "-0.5", "USD")])
        self.service.events("never-asked", [event("u1", "3")])
        status, _, summary = self.service.request("GET", "/api/apps/%s/summary" % KEY)
        self.assertEqual(status, 200)
        self.assertEqual(summary["channels"], [{"channel": "web", "installs": 1, "events": 5, "revenue": {
            "EUR": "1000000000000000.299999", "USD": "1"}}])
        self.assertEqual(summary["organic"], {"installs": 1, "events": 5, "revenue": {
            "EUR": "-2.5", "GBP": "0.5", "USD": "-0.75"}})
        self.assertEqual(summary["unknown"], {"events": 1, "revenue": {"EUR": "3"}})
        full = [event("h%d" % i) for i in range(100)]  # the most a batch holds
        self.assertEqual(self.service.events("never-asked", full)[2]["accepted"], 100)

    def test_malformed_batches_are_refused_and_store_nothing(self):
        rows = [
            "not json",
            {"events": []},
            {"ci": "c", "events": {}},
            {"ci": "c", "events": [event("e%d" % i) for i in range(101)]},
            {"ci": "c", "events": [event("has space")]},
            {"ci": "c", "events": [event("x" * 65)]},
            {"ci": "c", "events": [dict(event("e1"), ts="1")]},
            {"ci": "c", "events": [dict(event("e1"), ts=1.5)]},
            {"ci": "c", "events": [dict(event("e1"), params={"n": 1})]},
            {"ci": "c", "events": [event("ok"), event("e1", "1e3")]},
            {"ci": "c", "events": [event("e1", "9.9999999")]},
            {"ci": "c", "events": [event("e1", "1234567890123456")]},
            {"ci": "c", "events": [event("e1", ".5")]},
            {"ci": "c", "events": [event("e1", 9.99)]},
            {"ci": "c", "events": [event("e1", "9.99", "eur")]},
            {"ci": "c", "events": [event("e1", "9.99", "EURO")]},
        ]
        for body in rows:
            with self.subTest(body=str(body)[:80]):
                status, _, answer = self.service.request(
                    "POST", "/api/trace/client/events/" + KEY, body)
                self.assertEqual(status, 400)
                self.assertEqual(answer["status"], 400)
                self.assertTrue(answer["error"])
                # The one bad event is named, so that a client drops it alone.
                if "ok" in str(body):
                    self.assertEqual(answer["event"], 1)
        self.assertEqual(self.service.request("GET", "/api/events/" + KEY)[2], [])

    def test_lists_page_with_limit_and_cursor(self):
        self.service.events("c", [event("e%d" % i) for i in range(5)])
        seen, after, pages = [], 0, 0
        while pages < 10:
            status, headers, page = self.service.request(
                "GET", "/api/events/%s?limit=2&after=%d" % (KEY, after))
            self.assertEqual(status, 200)
            seen += [item["id"] for item in page]
            pages += 1
            if "Next-Cursor" not in headers:
                break
            after = int(headers["Next-Cursor"])
        self.assertEqual(seen, ["e0", "e1", "e2", "e3", "e4"])
        self.assertEqual(pages, 3)
        for query in ("limit=0", "limit=1001", "limit=ten", "after=-1"):
            self.assertEqual(self.service.request("GET", "/api/installs/%s?%s" % (KEY, query))[0], 400)

    def test_bodies_past_one_mebibyte_and_chunked_bodies_are_refused(self):
        body = b'{"ci":"' + b"a" * (1024 * 1024) + b'","events":[]}'
        self.assertEqual(self.service.request("POST", "/api/trace/client/events/" + KEY, body)[0], 413)
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=10) as sock:
            sock.sendall(b"POST /api/trace/client/events/%s HTTP/1.1\r\nHost: x\r\n"
                         b"Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                         % KEY.encode())
            try:
                for _ in range(40):  # 2.5 MiB in 64 KiB chunks, unless refused first
                    sock.sendall(b"10000\r\n" + b"a" * 0x10000 + b"\r\n")
            except OSError:
                pass
            self.assertIn(b" 411 ", sock.recv(4096))

    def test_kept_alive_connections_serve_requests_however_they_arrive(self):
        idle = [socket.create_connection(("127.0.0.1", self.service.port), timeout=10)
                for _ in range(20)]
        get = b"GET /api/links/%s HTTP/1.1\r\nHost: x\r\n\r\n" % KEY.encode()
        last = get.replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n")
        post = (b"POST /api/trace/client/events/%s HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                b"Content-Length: 2\r\n\r\n{}" % KEY.encode())
        for pieces, statuses in [([get, get, last], [b"200"] * 3),  # one after another
                                 ([get + post.replace(b"close", b"keep-alive") + last],
                                  [b"200", b"400", b"200"]),  # pipelined
                                 ([post[:7], post[7:60], post[60:-1], post[-1:]], [b"400"])]:
            with socket.create_connection(("127.0.0.1", self.service.port), timeout=10) as sock:
                for piece in pieces:
                    sock.sendall(piece)
                    time.sleep(0.05)  # each piece most likely arrives on its own
                received = b""
                for _ in range(100):
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    received += chunk
                self.assertEqual(re.findall(rb"HTTP/1.1 (\d+)", received), statuses)
        for sock in idle:
            sock.close()

    def test_a_header_trickled_past_its_deadline_is_answered_408(self):
        with socket.create_connection(("127.0.0.1", self.service.port), timeout=0.5) as sock:
            sock.sendall(b"POST /api/trace/client/report/%s HTTP/1.1\r\nHost: x\r\n" % KEY.encode())
            answer, deadline = b"", time.monotonic() + 15
            while not answer and time.monotonic() < deadline:
                try:
                    answer = sock.recv(4096)
                except socket.timeout:
                    sock.sendall(b"X")  # a byte each half second keeps every single read alive
            self.assertIn(b" 408 ", answer)

    def test_a_locked_database_is_answered_503_soon_and_nothing_is_claimed_stored(self):
        blocker = sqlite3.connect(self.service.db, timeout=0)
        blocker.execute("BEGIN IMMEDIATE")
        started = time.monotonic()
        status, headers, _ = self.service.install("c")
        self.assertEqual((status, headers.get("Retry-After")), (503, "1"))
        self.assertEqual(self.service.events("c", [event("locked")])[0], 503)
        self.assertLess(time.monotonic() - started, 2)
        blocker.rollback()
        blocker.close()
        self.assertEqual(self.service.events("c", [event("locked")])[2]["accepted"], 1)

    def test_the_log_shows_the_status_answered_and_a_taken_port_is_named(self):
        path = "/api/trace/client/events/" + KEY
        for method, target, body, headers, status in [
                ("GET", "/api/events/bad%20key", None, {}, 404),
                ("POST", path, "[]", {}, 400),
                ("POST", path, "x" * (1024 * 1024 + 1), {}, 413),
                ("POST", path, "0\r\n\r\n", {"Transfer-Encoding": "chunked"}, 411)]:
            self.assertEqual(self.service.request(method, target, body, headers)[0], status)
            line = r" %s %s %d [0-9.]+ms\n" % (method, target.replace("%20", r"\\x20"), status)
            # The line is written once the answer is out: wait for it, a bounded while.
            deadline = time.monotonic() + 5
            while not re.search(line, self.service.stderr()) and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertRegex(self.service.stderr(), line)
        taken = subprocess.run([SERVICE, "--port", str(self.service.port), "--db", ":memory:"],
                               capture_output=True, text=True, timeout=15)
        self.assertEqual(taken.returncode, 1)
        self.assertIn("port %d is in use" % self.service.port, taken.stderr)


if __name__ == "__main__":
    import unittest.mock  # noqa: F401  (ANY)
    SERVICE = sys.argv.pop(1)
    unittest.main()
