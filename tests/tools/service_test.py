#!/usr/bin/env python3
"""The reference attribution service over HTTP: events and the summary they add up to, organic
answers, the first credit final, event ids per client, a database from before, paging, bounded
bodies, strict framing, the memory budget, who may call what, kept-alive connections, a header
deadline, answers when the database is locked, the request log, a port in use, and the web side of
links: landing pages, clicks, the client address behind proxies, the beacon and the fingerprint
match. Runs the real binary on 127.0.0.1 with a real SQLite file, or, with --store postgresql,
on a private PostgreSQL cluster (tests/tools/pg_cluster.py) with a fresh database per service.

usage: service_test.py <path of attribution-service> [--store sqlite|postgresql]
"""
import functools
import html
import http.client
import itertools
import json
import os
import re
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SERVICE = None
CLUSTER = None  # the PostgreSQL cluster the services use; None on SQLite
DATABASES = itertools.count(1)
KEY = "serviceTestKey"
TOKEN = "0123456789abcdef-operator-token"
OPERATOR = {"Authorization": "Bearer " + TOKEN}
IPHONE = "Mozilla/5.0 (iPhone; CPU iPhone OS 17_1 like Mac OS X) AppleWebKit/605.1.15 Mobile/15E148"
ANDROID = "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 Chrome/120.0 Mobile Safari/537.36"
DESKTOP = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/120.0 Safari/537.36"
# What an iPhone 13 on iOS 17.1 sends with its query; the click's beacon measured 390x844 @3.
IPHONE_QUERY = {"ti": "", "clip": "", "os": "iOS", "osvn": "17.1.0", "md": "iPhone14,5",
                "sw": "1170", "sh": "2532"}
IPHONE_BEACON = {"screen_width": 390, "screen_height": 844, "pixel_ratio": 3,
                 "time_zone": "Europe/Paris", "language": "fr-FR"}


def use_store(argv):
    """Takes "--store sqlite|postgresql" out of argv; for postgresql, starts the script's cluster
    (or exits 77 with the reason where PostgreSQL cannot run here)."""
    global CLUSTER
    if "--store" not in argv:
        return
    at = argv.index("--store")
    store = argv[at + 1]
    del argv[at:at + 2]
    if store == "postgresql":
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import pg_cluster
        CLUSTER = pg_cluster.start_or_skip(settings={"fsync": "off"})
    elif store != "sqlite":
        raise SystemExit("unknown store " + store)


def fresh_db(workdir):
    """A new, empty database for --db: a file in workdir, or a database of the cluster."""
    if CLUSTER:
        return CLUSTER.create_database("test%d" % next(DATABASES))
    return os.path.join(workdir, "service-%d.db" % next(DATABASES))


def execute(db, statement):
    """Runs one SQL statement on the service's database, whichever store it is."""
    if CLUSTER:
        CLUSTER.psql(db.rsplit("/", 1)[1], statement)
    else:
        with sqlite3.connect(db) as connection:
            connection.execute(statement)
        connection.close()


def sqlite_only(why):
    """Marks a test that reads or locks the SQLite file itself; "why" says what it covers."""
    def wrap(test):
        @functools.wraps(test)
        def run(self):
            if CLUSTER:
                self.skipTest("SQLite only: " + why)
            test(self)
        return run
    return wrap


def read(path):
    with open(path) as f:
        return f.read()


class Service:
    """The service as a child process; stop() ends it and returns its stderr."""

    def __init__(self, workdir, *extra, db=None, token_file=True):
        self.db = db or fresh_db(workdir)
        if token_file:
            with open(os.path.join(workdir, "token"), "w") as f:
                f.write(TOKEN + "\n")
            extra = ("--admin-token-file", os.path.join(workdir, "token")) + extra
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
        """(status, headers, parsed JSON or text) of one request on a fresh connection, with the
        operator token unless headers say otherwise."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        if isinstance(body, (dict, list)):
            body = json.dumps(body)
        all_headers = dict(OPERATOR)
        if body is not None:
            all_headers["Content-Type"] = "application/json"
        all_headers.update(headers or {})
        all_headers = {k: v for k, v in all_headers.items() if v is not None}
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

    def register(self, body):
        status, _, answer = self.request("POST", "/api/links/" + KEY, body)
        assert status == 200, answer
        return answer

    def visit(self, trace_id, agent=IPHONE, headers=None, key=KEY):
        """(status, headers, page, the click id the page carries)."""
        status, answer_headers, page = self.request(
            "GET", "/l/%s/%s" % (key, trace_id), headers={"User-Agent": agent, **(headers or {})})
        found = isinstance(page, str) and re.search(r'<body data-click="([^"]*)"', page)
        return status, answer_headers, page, found.group(1) if found else None

    def clicks(self):
        return self.request("GET", "/api/clicks/" + KEY)[2]

    def beacon(self, trace_id, body, content_type="application/json"):
        return self.request("POST", "/l/%s/%s/beacon" % (KEY, trace_id), json.dumps(body),
                            {"Content-Type": content_type})

    def events(self, ci, events):
        return self.request("POST", "/api/trace/client/events/" + KEY, {"ci": ci, "events": events})


def exchange(port, data, pause_after_head=False):
    """Sends raw bytes on a new connection and reads until the service closes it (at most 10 s):
    the statuses answered, in order, and everything received."""
    received = b""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        if pause_after_head:
            head, _, body = data.partition(b"\r\n\r\n")
            sock.sendall(head + b"\r\n\r\n")
            received = sock.recv(4096)  # "100 Continue" before the body is sent
            data = body
        sock.sendall(data)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                chunk = sock.recv(65536)
            except (ConnectionResetError, socket.timeout):
                break
            if not chunk:
                break
            received += chunk
    return [int(s) for s in re.findall(rb"HTTP/1.1 (\d+)", received)], received


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
        # Event ids are the client's own: another client's "e1" is another event.
        self.assertEqual(self.service.events("organic-client", [event("o1", "-2.50"), event("e1", "7")])[2],
                         {"status": 200, "accepted": 2, "duplicates": 0})
        # Sums under 1, both signs.
        self.service.events("organic-client", [event("o2", "0.25", "GBP"), event("o3", "0.25", "GBP"),
                                               event("o4", "-0.25", "USD"), event("o5", "-0.5", "USD")])
        self.service.events("never-asked", [event("u1", "3")])
        status, _, summary = self.service.request("GET", "/api/apps/%s/summary" % KEY)
        self.assertEqual(status, 200)
        self.assertEqual(summary["channels"], [{"channel": "web", "installs": 1, "events": 5, "revenue": {
            "EUR": "1000000000000000.299999", "USD": "1"}}])
        self.assertEqual(summary["organic"], {"installs": 1, "events": 6, "revenue": {
            "EUR": "4.5", "GBP": "0.5", "USD": "-0.75"}})
        self.assertEqual(summary["unknown"], {"events": 1, "revenue": {"EUR": "3"}})
        full = [event("h%d" % i) for i in range(100)]  # the most a batch holds
        self.assertEqual(self.service.events("never-asked", full)[2]["accepted"], 100)

    def test_the_first_final_answer_credits_an_install_for_good(self):
        web, ads = self.link("web"), self.link("ads")
        for ci, first, later, channel in [("organic", "", web, None), ("web", web, ads, "web")]:
            with self.subTest(ci):
                self.service.install(ci, first)
                status, _, answer = self.service.install(ci, later)
                self.assertEqual(status, 200)
                self.assertEqual(answer.get("data", {}).get("channel"), channel)
        summary = self.service.request("GET", "/api/apps/%s/summary" % KEY)[2]
        self.assertEqual([(c["channel"], c["installs"]) for c in summary["channels"]], [("web", 1)])
        self.assertEqual(summary["organic"]["installs"], 1)

    @sqlite_only("a file written by an earlier version")
    def test_a_database_from_before_opens_with_its_rows_and_totals(self):
        self.service.stop()
        path = os.path.join(self.dir.name, "old.db")
        old = sqlite3.connect(path)
        old.executescript("""
            CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT, app_key TEXT NOT NULL,
                event_id TEXT NOT NULL, name TEXT NOT NULL, ts INTEGER NOT NULL,
                params TEXT NOT NULL, amount TEXT, currency TEXT, ci TEXT NOT NULL,
                received_at TEXT NOT NULL, UNIQUE (app_key, event_id));
            INSERT INTO events VALUES (7, '%s', 'order-1002', 'purchase', 1, '{}', '120.00', 'EUR',
                'first', '2024-01-01T00:00:00.000Z');
            CREATE TABLE installs (app_key TEXT NOT NULL, ci TEXT NOT NULL, trace_id TEXT NOT NULL,
                PRIMARY KEY (app_key, ci));
            INSERT INTO installs VALUES ('%s', 'first', '');""" % (KEY, KEY))
        old.commit()
        old.close()
        self.service = Service(self.dir.name, db=path)
        self.assertEqual(self.service.events("second", [event("order-1002", "120.00")])[2]["accepted"], 1)
        self.assertEqual(self.service.events("first", [event("order-1002", "120.00")])[2]["duplicates"], 1)
        listed = self.service.request("GET", "/api/events/" + KEY)[2]
        self.assertEqual([(e["ci"], e["id"]) for e in listed],
                         [("first", "order-1002"), ("second", "order-1002")])
        # The totals: counted from the rows once, then kept; the second client's event is
        # unknown until its install is credited.
        summaries = []
        for step in (lambda: None, lambda: self.service.install("second")):
            step()
            answer = self.service.request("GET", "/api/apps/%s/summary" % KEY)[2]
            summaries.append((answer["organic"], answer["unknown"]))
        self.assertEqual(summaries, [
            ({"installs": 1, "events": 1, "revenue": {"EUR": "120"}},
             {"events": 1, "revenue": {"EUR": "120"}}),
            ({"installs": 2, "events": 2, "revenue": {"EUR": "240"}}, {"events": 0, "revenue": {}})])

    def test_client_endpoints_take_json_from_anywhere_but_other_sites_and_the_rest_needs_the_token(self):
        report, events = "/api/trace/client/report/" + KEY, "/api/trace/client/events/" + KEY
        own = "http://127.0.0.1:%d" % self.service.port
        anonymous = {"Authorization": None}
        batch = {"ci": "c", "events": [event("e1", "999999999999999")]}
        for method, path, body, headers, status in [
                ("POST", events, json.dumps(batch), dict(anonymous, **{"Content-Type": "text/plain"}), 415),
                ("POST", report, "{}", dict(anonymous, **{"Content-Type": None}), 415),
                ("POST", events, batch, dict(anonymous, Origin="http://evil.example"), 403),
                ("POST", events, batch, dict(anonymous, Origin="null"), 403),
                ("POST", events, batch, dict(anonymous, Origin=own + ".evil.example"), 403),
                ("POST", "/api/links/" + KEY, {"params": "x"}, anonymous, 401),
                ("POST", "/api/links/" + KEY, {"params": "x"}, {"Authorization": "Bearer " + TOKEN[:-1] + "X"}, 401),
                ("GET", "/api/console", None, anonymous, 401),
                ("GET", "/api/apps/%s/summary" % KEY, None, anonymous, 401),
                ("GET", "/api/events/" + KEY, None, {"Authorization": "Basic " + TOKEN}, 401),
                ("GET", "/api/clicks/" + KEY, None, anonymous, 401),
                ("GET", "/console", None, {"Host": "rebound.example:%d" % self.service.port}, 421),
                ("GET", "/console", None, anonymous, 200),
                ("POST", report, {"ci": "c"}, dict(anonymous, Origin=own), 200),
                ("POST", report, {"ci": "d"}, dict(anonymous, Host="localhost:1"), 200)]:
            with self.subTest(path=path, headers=headers):
                self.assertEqual(self.service.request(method, path, body, headers)[0], status)
        self.assertEqual(self.service.request("GET", "/api/events/" + KEY)[2], [])
        self.assertEqual(self.service.request("GET", "/api/links/" + KEY)[2], [])
        console = self.service.request("GET", "/api/console?app=" + KEY)[2]
        self.assertEqual(sorted(i["ci"] for i in console["installs"]), ["c", "d"])
        self.service.install("a-long-client-id")
        console = self.service.request("GET", "/api/console?app=" + KEY)[2]
        self.assertEqual(console["installs"][0]["ci"], "a-long-c\u2026")
        self.assertNotIn(TOKEN, self.service.stop())

    @sqlite_only("the token is kept beside the database file")
    def test_without_a_token_file_one_is_made_beside_the_database_for_the_owner_alone(self):
        self.service.stop()
        self.service = Service(self.dir.name, token_file=False)
        path = self.service.db + ".admin-token"
        self.assertIn("operator token in " + path, self.service.stderr())
        self.assertEqual(os.stat(path).st_mode & 0o777, 0o600)
        token = read(path).strip()
        self.assertRegex(token, "^[0-9a-f]{64}$")
        self.assertEqual(self.service.request("GET", "/api/links/" + KEY)[0], 401)
        self.assertEqual(self.service.request(
            "GET", "/api/links/" + KEY, headers={"Authorization": "Bearer " + token})[0], 200)

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
            sock.sendall(b"POST /api/trace/client/events/%s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         b"Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                         % KEY.encode())
            try:
                for _ in range(40):  # 2.5 MiB in 64 KiB chunks, unless refused first
                    sock.sendall(b"10000\r\n" + b"a" * 0x10000 + b"\r\n")
            except OSError:
                pass
            self.assertIn(b" 411 ", sock.recv(4096))

    def test_framing_is_strict_and_nothing_smuggled_runs(self):
        path = b"/api/links/" + KEY.encode()
        link = b'{"params":"smuggled","channel":"x"}'
        smuggled = (b"POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                    b"Content-Length: %d\r\n\r\n%s" % (path, len(link), link))
        head = b"POST /api/trace/client/events/%s HTTP/1.1\r\nHost: 127.0.0.1\r\n" % KEY.encode()
        post = head + b"Content-Type: application/json\r\n"
        for name, data, statuses in [
                ("no length", head + b"Connection: close\r\n\r\n{}", [411]),
                ("chunked", head + b"Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n", [411]),
                ("negative", head + b"Content-Length: -1\r\n\r\n", [400]),
                ("signed", head + b"Content-Length: +5\r\n\r\n{\"a\"}", [400]),
                ("listed", head + b"Content-Length: 2, 2\r\n\r\n{}", [400]),
                ("over 1 MiB", head + b"Content-Length: 1048577\r\n\r\n", [413]),
                ("two lengths", head + b"Content-Length: 0\r\nContent-Length: %d\r\n\r\n%s"
                 % (len(smuggled), smuggled), [400]),
                ("GET with a body", b"GET /api/links/%s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 b"Content-Length: %d\r\n\r\n%s" % (KEY.encode(), len(smuggled), smuggled), [400]),
                ("bare line feeds", b"GET / HTTP/1.1\nHost: 127.0.0.1\n\n", [400]),
                ("folded field", b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX: a\r\n b\r\n\r\n", [400]),
                ("other expectation", post + b"Expect: x\r\nContent-Length: 2\r\n\r\n{}", [417])]:
            with self.subTest(name):
                self.assertEqual(exchange(self.service.port, data)[0], statuses)
        statuses, received = exchange(self.service.port, post + b"Expect: 100-continue\r\n"
                                      b"Connection: close\r\nContent-Length: 2\r\n\r\n{}",
                                      pause_after_head=True)
        self.assertEqual(statuses, [100, 400])  # the body arrived and was read: no ci, no events
        self.assertEqual(self.service.request("GET", "/api/links/" + KEY)[2], [])

    def test_the_memory_budget_refuses_new_bodies_and_bounds_partial_headers(self):
        self.service.stop()
        self.service = Service(self.dir.name, "--memory-budget", "2")
        head = (b"POST /api/trace/client/events/%s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                b"Content-Type: application/json\r\nContent-Length: 1040000\r\n\r\n" % KEY.encode())
        held = []
        try:
            for _ in range(2):  # two bodies of almost 1 MiB fill a 2 MiB budget...
                held.append(socket.create_connection(("127.0.0.1", self.service.port), timeout=10))
                held[-1].sendall(head + b"{")
            # ...so a third body, and a header growing past what is left, are refused meanwhile.
            for data in (head, head[:-4] + b"\r\nX: " + b"x" * 60000):
                with socket.create_connection(("127.0.0.1", self.service.port), timeout=10) as sock:
                    sock.sendall(data)
                    answer = sock.recv(4096)
                self.assertRegex(answer, rb"^HTTP/1.1 503 (?s:.*)\r\nRetry-After: 1\r\n")
        finally:
            for sock in held:
                sock.close()
        # Once they are gone the budget is free again.
        deadline = time.monotonic() + 5
        while self.service.request("GET", "/api/links/" + KEY)[0] != 200 and time.monotonic() < deadline:
            time.sleep(0.05)
        body = json.dumps({"ci": "c", "events": [event("after")]})
        self.assertEqual(self.service.request("POST", "/api/trace/client/events/" + KEY, body)[0], 200)

    def test_kept_alive_connections_serve_requests_however_they_arrive(self):
        idle = [socket.create_connection(("127.0.0.1", self.service.port), timeout=10)
                for _ in range(20)]
        get = b"GET /api/links/%s HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: %s\r\n\r\n" % (
            KEY.encode(), OPERATOR["Authorization"].encode())
        last = get.replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n")
        post = (b"POST /api/trace/client/events/%s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                b"Content-Type: application/json\r\n"
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
            sock.sendall(b"POST /api/trace/client/report/%s HTTP/1.1\r\nHost: 127.0.0.1\r\n" % KEY.encode())
            answer, deadline = b"", time.monotonic() + 15
            while not answer and time.monotonic() < deadline:
                try:
                    answer = sock.recv(4096)
                except socket.timeout:
                    sock.sendall(b"X")  # a byte each half second keeps every single read alive
            self.assertIn(b" 408 ", answer)

    @sqlite_only("a writer holding the file's lock; service_pg_faults_test.py restarts the server")
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


def decode_anchor(anchor):
    """(app key, trace id) of a pasteboard anchor, read the way the library reads it."""
    found = re.match(r'<a\s*id="PLOVENDALE:([^:"]+):([^:"]+)"', anchor)
    if not found:
        return None
    dk, dt = found.groups()
    return dk[5:10] + dk[13:], dt[3:13] + dt[18:]


def attribute(page, pattern):
    found = re.search(pattern, page)
    return html.unescape(found.group(1)) if found else None


class LinkPageTest(unittest.TestCase):
    """Landing pages, clicks and matching; each test starts the services it needs."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.services = []

    def tearDown(self):
        for service in self.services:
            service.stop()
        self.dir.cleanup()

    def start(self, *extra, db=None):
        workdir = os.path.join(self.dir.name, str(len(self.services)))
        os.mkdir(workdir)
        self.services.append(Service(workdir, *extra, db=db))
        return self.services[-1]

    def test_destinations_and_preview_are_checked_and_the_fault_named(self):
        service = self.start("--public-url", "https://go.example/base/")
        rows = [({"destinations": {"ios": "ftp://x.example/"}}, "destinations.ios"),
                ({"destinations": {"android": "javascript:alert(1)"}}, "destinations.android"),
                ({"destinations": {"default": "https://" + "a" * 2048}}, "destinations.default"),
                ({"destinations": {"default": "https://x.example/a b"}}, "destinations.default"),
                ({"destinations": {"default": "https:///path"}}, "destinations.default"),
                ({"destinations": {"web": "https://x.example/"}}, "destinations.web"),
                ({"destinations": {"ios": 5}}, "destinations.ios"),
                ({"destinations": "https://x.example/"}, "destinations"),
                ({"preview": {"title": "t" * 201}}, "preview.title"),
                ({"preview": {"description": "d" * 1001}}, "preview.description"),
                ({"preview": {"image": "data:image/png;base64,AA"}}, "preview.image"),
                ({"preview": {"title": None}}, "preview.title")]
        for body, field in rows:
            with self.subTest(body=str(body)[:60]):
                status, _, answer = service.request("POST", "/api/links/" + KEY, body)
                self.assertEqual(status, 400)
                self.assertIn(field, answer["error"])
        self.assertEqual(service.request("GET", "/api/links/" + KEY)[2], [])
        # Characters, not bytes, are counted; the base loses its trailing slash.
        answer = service.register({"preview": {"title": "é" * 200},
                                   "destinations": {"default": "HTTPS://x.example/"}})
        self.assertEqual(answer["landing_url"], "https://go.example/base/l/%s/%s" % (KEY, answer["trace_id"]))
        for bad in ("https://go.example/?q=1", "ftp://go.example", "https://"):
            run = subprocess.run([SERVICE, "--public-url", bad, "--db", ":memory:"],
                                 capture_output=True, text=True, timeout=15)
            self.assertEqual(run.returncode, 2, bad)

    def test_the_landing_page_leads_each_platform_on_and_escapes_what_the_link_carries(self):
        service = self.start()
        title = '</title><script>alert(1)</script>'
        link = service.register({"params": "room=1", "destinations": {
            "ios": "https://apps.example/app?id=1&x=\"2\"", "default": "https://example.com/"},
            "preview": {"title": title, "description": "a \"b\" & 'c' <d>",
                        "image": "https://img.example/p.png"}})
        trace = link["trace_id"]
        nonces, click_ids = set(), []
        for agent, platform, destination in [
                (IPHONE, "ios", "https://apps.example/app?id=1&x=\"2\""),
                (ANDROID, "android", "https://example.com/"),
                (DESKTOP, "other", "https://example.com/")]:
            status, headers, page, click = service.visit(trace, agent)
            self.assertEqual(status, 200)
            self.assertTrue(headers["Content-Type"].startswith("text/html"))
            self.assertNotIn("<script>alert", page)
            self.assertEqual(attribute(page, r'<title>([^<]*)</title>'), title)
            self.assertEqual(attribute(page, r'property="og:title" content="([^"]*)"'), title)
            self.assertEqual(attribute(page, r'property="og:image" content="([^"]*)"'),
                             "https://img.example/p.png")
            self.assertEqual(attribute(page, r'property="og:url" content="([^"]*)"'), link["landing_url"])
            self.assertEqual(attribute(page, r'<a id="destination" href="([^"]*)"'), destination)
            self.assertIn('<button id="open-app"', page)
            self.assertEqual(decode_anchor(attribute(page, r'data-anchor="([^"]*)"')), (KEY, trace))
            # One nonce per answer, on the inline script and style alone; nothing loaded from elsewhere.
            policy = headers["Content-Security-Policy"]
            nonce = re.search(r"script-src 'nonce-([A-Za-z0-9]+)'", policy).group(1)
            self.assertIn("default-src 'none'", policy)
            self.assertEqual(re.findall(r'nonce="([^"]*)"', page), [nonce, nonce])
            self.assertNotRegex(page, r"<(link|img|iframe)|src=")
            nonces.add(nonce)
            click_ids.append((click, platform))
        self.assertEqual(len(nonces), 3)
        self.assertEqual([(c["click_id"], c["platform"]) for c in service.clicks()], click_ids)
        for crawler in ("facebookexternalhit/1.1", "Twitterbot/1.0", "Slackbot-LinkExpanding 1.0",
                        "WhatsApp/2.23.20.0 A", "Mozilla/5.0 (compatible; Discordbot/2.0)",
                        "TelegramBot (like TwitterBot)", "LinkedInBot/1.0"):
            status, _, page, click = service.visit(trace, crawler)
            self.assertEqual((status, click), (200, ""), crawler)
            self.assertIn('property="og:title"', page)
        self.assertEqual(len(service.clicks()), 3)
        bare = service.register({})["trace_id"]
        status, _, page, _ = service.visit(bare)
        self.assertEqual(status, 200)
        self.assertNotIn('id="destination"', page)
        for path in ("/l/%s/NoSuchTrace12345" % KEY, "/l/bad%%20key/%s" % trace, "/l/%s/short" % KEY):
            status, headers, page = service.request("GET", path, headers={"User-Agent": IPHONE})
            self.assertEqual(status, 404, path)
            self.assertTrue(headers["Content-Type"].startswith("text/html"), path)
        self.assertEqual(len(service.clicks()), 4)

    def test_the_client_address_believes_forwarded_for_only_from_trusted_proxies(self):
        trusting = self.start("--trusted-proxy", "127.0.0.1", "--trusted-proxy", "10.0.0.0/8")
        plain = self.start()
        rows = [(trusting, None, "127.0.0.1"),
                (trusting, "203.0.113.9", "203.0.113.9"),
                (trusting, "198.51.100.1, 203.0.113.9, 10.1.2.3", "203.0.113.9"),
                (trusting, "203.0.113.9, not-an-address", "127.0.0.1"),
                (trusting, "[2001:db8::1]:443", "2001:db8::1"),
                (trusting, "203.0.113.9:5000", "203.0.113.9"),
                # Walked a bounded way: 800 trusted hops hide the client.
                (trusting, ", ".join(["203.0.113.9"] + ["10.0.0.1"] * 800), "10.0.0.1"),
                (plain, "203.0.113.9", "127.0.0.1")]
        for service, forwarded, address in rows:
            with self.subTest(forwarded=(forwarded or "")[:40]):
                trace = service.register({})["trace_id"]
                headers = {"X-Forwarded-For": forwarded} if forwarded else {}
                self.assertEqual(service.visit(trace, headers=headers)[0], 200)
                self.assertEqual(service.clicks()[-1]["address"], address)
        # Past the header limits: a clear answer, and the service goes on.
        trace = trusting.register({})["trace_id"]
        huge = {"X-Forwarded-For": ", ".join(["10.0.0.1"] * 10000)}
        self.assertIn(trusting.visit(trace, headers=huge)[0], (400, 431))
        self.assertEqual(trusting.visit(trace)[0], 200)

    def test_clicks_are_listed_in_pages_and_take_one_beacon_each(self):
        service = self.start()
        trace = service.register({})["trace_id"]
        other = service.register({})["trace_id"]
        clicks = [service.visit(trace)[3] for _ in range(3)]
        status, headers, first = service.request("GET", "/api/clicks/%s?limit=2" % KEY)
        rest = service.request("GET", "/api/clicks/%s?after=%s" % (KEY, headers["Next-Cursor"]))[2]
        self.assertEqual([c["click_id"] for c in first + rest], clicks)
        good = dict(IPHONE_BEACON, click=clicks[0])
        for body, path_trace, content_type, status in [
                (good, trace, "application/json", 200),
                (good, trace, "application/json", 409),
                (dict(good, click="NoSuchClick1234"), trace, "application/json", 404),
                (dict(good, click=clicks[1]), other, "application/json", 404),
                ({k: v for k, v in good.items() if k != "screen_width"}, trace, "application/json", 400),
                (dict(good, click=clicks[1], pixel_ratio=0), trace, "application/json", 400),
                (dict(good, click=clicks[1], screen_width="390"), trace, "application/json", 400),
                (dict(good, click=clicks[1], time_zone=5), trace, "application/json", 400),
                (dict(good, click=clicks[1]), trace, "text/plain", 415)]:
            with self.subTest(body=str(body)[:60], status=status):
                self.assertEqual(service.beacon(path_trace, body, content_type)[0], status)
        listed = service.clicks()
        self.assertEqual({k: listed[0][k] for k in IPHONE_BEACON}, IPHONE_BEACON)
        self.assertEqual([c["screen_width"] for c in listed[1:]], [None, None])

    def click(self, service, trace, address, beacon=IPHONE_BEACON, agent=IPHONE):
        click = service.visit(trace, agent, {"X-Forwarded-For": address})[3]
        if beacon:
            self.assertEqual(service.beacon(trace, dict(beacon, click=click))[0], 200)
        return click

    def query(self, service, ci, address, **changes):
        return service.request("POST", "/api/trace/client/report/" + KEY,
                               dict(IPHONE_QUERY, ci=ci, **changes), {"X-Forwarded-For": address})[2]

    def test_a_fingerprint_credits_one_clear_click_to_one_install(self):
        service = self.start("--match-window", "3600", "--trusted-proxy", "127.0.0.1")
        a = service.register({"channel": "a"})["trace_id"]
        b = service.register({"channel": "b"})["trace_id"]
        self.click(service, a, "203.0.113.1")
        answer = self.query(service, "one", "203.0.113.1")
        self.assertEqual(answer["data"]["match"], "fingerprint")
        self.assertEqual(answer["data"]["trace_id"], a)
        self.assertEqual(self.query(service, "two", "203.0.113.1"), {"status": 200})
        self.assertEqual(service.clicks()[0]["credited_ci"], "one")
        # Anything the click contradicts, or a click no better than another link's, is organic.
        for n, changes in enumerate([{"osvn": "17.2.0"}, {"md": "iPad13,1"}, {"sw": "828", "sh": "1792"},
                                     {"os": "Android"}, {"tz": "Asia/Tokyo"}, {"lang": "de-DE"}]):
            address = "203.0.113.%d" % (10 + n)
            self.click(service, a, address)
            self.assertEqual(self.query(service, "c%d" % n, address, **changes), {"status": 200}, changes)
        service.visit(a, IPHONE, {"X-Forwarded-For": "203.0.113.30", "Accept-Language": "de-DE,de;q=0.9"})
        self.assertEqual(self.query(service, "no-beacon", "203.0.113.30", lang="fr-FR"), {"status": 200})
        self.click(service, a, "203.0.113.50")
        self.click(service, b, "203.0.113.50")
        self.assertEqual(self.query(service, "tie", "203.0.113.50"), {"status": 200})
        # Two clicks of one link agree; a rotated screen and a matching language still fit.
        self.click(service, b, "203.0.113.60")
        self.click(service, b, "203.0.113.60", beacon=None)
        answer = self.query(service, "twice", "203.0.113.60", sw="2532", sh="1170", lang="fr-FR")
        self.assertEqual((answer["data"]["trace_id"], answer["data"]["match"]), (b, "fingerprint"))
        # A trace identifier comes first: the bundle's, then the pasteboard's.
        self.assertEqual(self.query(service, "m1", "203.0.113.60", ti=b, clip=a)["data"]["match"], "bundle")
        self.assertEqual(self.query(service, "m2", "198.51.100.1", ti=a, clip=a)["data"]["match"], "pasteboard")
        # A marker's install takes its click, which no fingerprint then hands to someone else.
        self.click(service, a, "203.0.113.70")
        self.assertEqual(self.query(service, "m3", "203.0.113.70", ti=a, clip=a)["data"]["match"], "pasteboard")
        self.assertEqual(self.query(service, "after-m3", "203.0.113.70"), {"status": 200})
        installs = service.request("GET", "/api/installs/" + KEY)[2]
        self.assertEqual([i["match"] for i in installs if i["params"]["ci"] in ("one", "two", "m1", "m2")],
                         ["fingerprint", "", "bundle", "pasteboard"])
        service.events("one", [event("e1", "2.5")])
        funnels = service.request("GET", "/api/console?app=" + KEY)[2]["funnels"]
        self.assertEqual([(f["trace_id"], f["clicks"], f["installs"], f["events"], f["revenue"]) for f in funnels],
                         [(b, 3, {"fingerprint": 1, "bundle": 1}, 0, {}),
                          (a, 10, {"fingerprint": 1, "pasteboard": 2}, 1, {"EUR": "2.5"})])
        off = self.start("--trusted-proxy", "127.0.0.1")
        trace = off.register({})["trace_id"]
        self.click(off, trace, "203.0.113.1")
        self.assertEqual(self.query(off, "one", "203.0.113.1"), {"status": 200})

    def test_a_click_credits_one_install_across_processes_on_one_database(self):
        db = fresh_db(self.dir.name)
        first = self.start("--match-window", "3600", "--trusted-proxy", "127.0.0.1", db=db)
        second = self.start("--match-window", "3600", "--trusted-proxy", "127.0.0.1", db=db)
        trace = first.register({})["trace_id"]
        self.click(first, trace, "203.0.113.7")
        answers = [None] * 8
        def ask(n):
            answers[n] = self.query((first, second)[n % 2], "client%d" % n, "203.0.113.7")
        threads = [threading.Thread(target=ask, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        credited = ["client%d" % n for n, a in enumerate(answers) if a and "data" in a]
        self.assertEqual(len(credited), 1, answers)
        self.assertEqual(first.clicks()[0]["credited_ci"], credited[0])

    def test_clicks_past_their_retention_are_deleted(self):
        service = self.start("--click-retention", "60")
        trace = service.register({})["trace_id"]
        old = service.visit(trace)[3]
        execute(service.db, "UPDATE clicks SET received_ms = received_ms - 61000 "
                            "WHERE click_id = '%s'" % old)
        new = service.visit(trace)[3]
        self.assertEqual([c["click_id"] for c in service.clicks()], [new])


if __name__ == "__main__":
    import unittest.mock  # noqa: F401  (ANY)
    SERVICE = sys.argv.pop(1)
    use_store(sys.argv)
    unittest.main()
