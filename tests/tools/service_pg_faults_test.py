#!/usr/bin/env python3
"""The reference service on PostgreSQL, under faults, on a private cluster (pg_cluster.py):
  - two instances starting at once on an empty database both come up and serve;
  - two instances under load from a few client threads (installs by marker, installs by
    fingerprint, event batches repeating event ids), one killed with SIGKILL mid-load: every
    answer 2xx is in the database, no click credits two installs, no event is stored twice, and
    the survivor's summary adds up to the rows both wrote;
  - the PostgreSQL server stopped mid-load: the service answers 503 with Retry-After meanwhile,
    never 2xx, and serves again once the server is back, without a restart of its own.
The database is read directly with psql. Exits 77 (skipped, with the reason) where PostgreSQL
cannot start.

usage: service_pg_faults_test.py <path of attribution-service>
"""
import http.client
import os
import signal
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pg_cluster  # noqa: E402
import service_test  # noqa: E402
from service_test import KEY, IPHONE, IPHONE_BEACON, IPHONE_QUERY, event  # noqa: E402

OPTIONS = ("--quiet", "--trusted-proxy", "127.0.0.1", "--match-window", "3600")
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return condition


def start_together(cluster, work, name, count):
    """count services on one fresh database, all launched at the same moment."""
    uri = cluster.create_database(name)
    services, errors = [None] * count, []
    gate = threading.Barrier(count)

    def launch(n):
        folder = os.path.join(work, "%s-%d" % (name, n))
        os.mkdir(folder)
        gate.wait(10)
        try:
            services[n] = service_test.Service(folder, *OPTIONS, db=uri)
        except RuntimeError as error:
            errors.append(str(error))
    threads = [threading.Thread(target=launch, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    return uri, [s for s in services if s], errors


class Load:
    """Client threads sending installs and events round-robin to the live instances until stopped,
    keeping what each answer 2xx claims and every status seen."""

    def __init__(self, services, links, threads=8):
        self.services, self.links = services, links
        self.alive = list(services)
        self.stopping = threading.Event()
        self.lock = threading.Lock()
        self.installs = {}  # ci -> trace id answered 2xx
        self.events = set()  # (ci, event id) of batches answered 2xx
        self.fingerprints = []  # (click id, ci) credited by fingerprint, answered 2xx
        self.clicks = set()  # click ids of landing pages answered 2xx
        self.statuses = {}
        self.unavailable_without_retry_after = 0
        self.mismatches = []
        self.wrong = []  # answers that no database state explains: (what, detail)
        self.rounds = 0
        self.workers = [threading.Thread(target=self.work, args=(k,)) for k in range(threads)]

    def start(self):
        for worker in self.workers:
            worker.start()

    def stop(self):
        self.stopping.set()
        for worker in self.workers:
            worker.join(60)

    def kill(self, service):
        with self.lock:
            self.alive.remove(service)
        service.process.send_signal(signal.SIGKILL)
        service.process.wait(10)

    def ask(self, turn, method, path, body=None, headers=None):
        """(status, answer) from one live instance; status None when the connection failed."""
        with self.lock:
            service = self.alive[turn % len(self.alive)]
        try:
            status, answer_headers, answer = service.request(method, path, body, headers)
        except (OSError, http.client.HTTPException):
            status, answer_headers, answer = None, {}, None
        with self.lock:
            self.statuses[status] = self.statuses.get(status, 0) + 1
            if status == 503 and answer_headers.get("Retry-After") != "1":
                self.unavailable_without_retry_after += 1
        return status, answer

    def install(self, turn, body, address=None):
        headers = {"X-Forwarded-For": address} if address else None
        return self.ask(turn, "POST", "/api/trace/client/report/" + KEY, body, headers)

    def work(self, k):
        try:
            self.rounds_of(k)
        except Exception as error:  # noqa: BLE001  (a worker that dies is a failure, not a pass)
            with self.lock:
                self.wrong.append(("worker died", repr(error)))

    def rounds_of(self, k):
        n = 0
        while not self.stopping.is_set() and n < 100000:
            n += 1
            # An install by marker, asked again on the other instance with another link: the
            # first 2xx answer stays the answer.
            ci = "m%dx%d" % (k, n)
            status, answer = self.install(n, {"ti": self.links[n % len(self.links)], "clip": "", "ci": ci})
            if status == 200 and "data" not in answer:
                with self.lock:
                    self.wrong.append(("a known link's marker answered as organic", ci))
            elif status == 200:
                trace = answer["data"]["trace_id"]
                with self.lock:
                    self.installs[ci] = trace
                status, answer = self.install(n + 1, {"ti": self.links[(n + 1) % len(self.links)],
                                                      "clip": "", "ci": ci})
                if status == 200 and answer["data"]["trace_id"] != trace:
                    with self.lock:
                        self.mismatches.append((ci, trace, answer))
            # A batch of ten events, five of them sent in the previous batch.
            ci = "e%d" % k
            ids = ["ev%dx%d" % (k, j) for j in range(5 * n, 5 * n + 10)]
            status, answer = self.ask(n, "POST", "/api/trace/client/events/" + KEY,
                                      {"ci": ci, "events": [event(i, "0.01") for i in ids]})
            if status == 200:
                with self.lock:
                    self.events.update((ci, i) for i in ids)
            # A click with its beacon from an address of its own, then two clients from that
            # address on both instances: one of them at most gets it.
            if n % 3 == 0:
                address = "10.%d.%d.%d" % (k, n // 256 % 256, n % 256)
                link = self.links[n % len(self.links)]
                status, page = self.ask(n, "GET", "/l/%s/%s" % (KEY, link), None,
                                        {"User-Agent": IPHONE, "X-Forwarded-For": address})
                if status == 404:
                    with self.lock:
                        self.wrong.append(("a known link's landing page answered 404", link))
                found = status == 200 and 'data-click="' in page
                if not found:
                    continue
                click = page.split('data-click="', 1)[1].split('"', 1)[0]
                with self.lock:
                    self.clicks.add(click)
                status, _ = self.ask(n, "POST", "/l/%s/%s/beacon" % (KEY, link),
                                     dict(IPHONE_BEACON, click=click))
                if status != 200:
                    continue
                for turn in (n, n + 1):
                    ci = "f%dx%dx%d" % (k, n, turn - n)
                    status, answer = self.install(turn, dict(IPHONE_QUERY, ci=ci), address)
                    if status == 200 and answer.get("data", {}).get("match") == "fingerprint":
                        with self.lock:
                            self.fingerprints.append((click, ci))
            with self.lock:
                self.rounds += 1


def check_stored(cluster, database, load, label):
    """Everything answered 2xx is in the database; no event twice; no click credited twice."""
    installs = dict(cluster.psql(database, "SELECT ci, trace_id FROM installs WHERE app_key = '%s'" % KEY))
    lost = [ci for ci, trace in load.installs.items() if installs.get(ci) != trace]
    check(not lost, "%s: %d installs answered 2xx are not stored as answered, e.g. %s"
          % (label, len(lost), lost[:3]))
    check(not load.wrong, "%s: %d wrong answers, e.g. %s" % (label, len(load.wrong), load.wrong[:3]))
    check(not load.mismatches, "%s: a credited client got another answer later: %s"
          % (label, load.mismatches[:2]))
    events = cluster.psql(database, "SELECT ci, event_id FROM events WHERE app_key = '%s'" % KEY)
    stored = set(map(tuple, events))
    check(len(stored) == len(events), "%s: %d events stored twice" % (label, len(events) - len(stored)))
    missing = load.events - stored
    check(not missing, "%s: %d events answered 2xx are missing, e.g. %s"
          % (label, len(missing), sorted(missing)[:3]))
    clicks = dict(cluster.psql(database, "SELECT click_id, credited_ci FROM clicks WHERE app_key = '%s'" % KEY))
    check(load.clicks <= clicks.keys(), "%s: %d clicks on pages answered 2xx are not stored"
          % (label, len(load.clicks - clicks.keys())))
    credited = {click: ci for click, ci in clicks.items() if ci}
    by_fingerprint = [row[0] for row in cluster.psql(
        database, "SELECT ci FROM installs WHERE app_key = '%s' AND match = 'fingerprint'" % KEY)]
    check(sorted(by_fingerprint) == sorted(credited.values()),
          "%s: %d fingerprint installs for %d credited clicks"
          % (label, len(by_fingerprint), len(credited)))
    wrong = [(click, ci) for click, ci in load.fingerprints if credited.get(click) != ci]
    check(not wrong, "%s: fingerprint answers not matching their click's credit: %s" % (label, wrong[:3]))
    check(load.unavailable_without_retry_after == 0,
          "%s: %d answers 503 without Retry-After" % (label, load.unavailable_without_retry_after))
    print("%s: %d rounds, statuses %s; %d installs by marker, %d by fingerprint, %d events stored"
          % (label, load.rounds, dict(sorted(load.statuses.items(), key=str)), len(load.installs),
             len(load.fingerprints), len(stored)), flush=True)


def check_summary(service, cluster, database, label):
    """The totals an instance shows, kept in the database by both, add up to the rows."""
    summary = service.request("GET", "/api/apps/%s/summary" % KEY)[2]
    groups = summary["channels"] + [summary["organic"], summary["unknown"]]
    installs = sum(group.get("installs", 0) for group in groups)
    events = sum(group["events"] for group in groups)
    revenue = sum(float(group["revenue"].get("EUR", "0")) for group in groups)
    rows = cluster.psql(database, "SELECT (SELECT count(*) FROM installs), (SELECT count(*) FROM events)")
    expected = (int(rows[0][0]), int(rows[0][1]))
    check((installs, events) == expected and round(revenue * 100) == expected[1],
          "%s: the summary shows %d installs, %d events, %.2f EUR; the database holds %s"
          % (label, installs, events, revenue, expected))


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False


def register_links(service, count=4):
    return [service.register({"channel": "c%d" % n})["trace_id"] for n in range(count)]


def two_start_at_once(cluster, work):
    for attempt in range(3):
        name = "together%d" % attempt
        _, services, errors = start_together(cluster, work, name, 2)
        try:
            if not check(len(services) == 2, "two instances at once: %s" % errors):
                return
            versions = cluster.psql(name, "SELECT count(*) FROM schema_version")
            check(versions == [["1"]], "the schema was made %s times" % versions)
            link = register_links(services[0], 1)[0]
            answer = services[1].install("together", link)
            check(answer[0] == 200 and answer[2]["data"]["trace_id"] == link,
                  "the second instance does not see the first one's link: %s" % (answer,))
            check(services[1].events("together", [event("t1")])[2].get("accepted") == 1,
                  "the second instance does not store events")
        finally:
            for service in services:
                service.stop()
    print("two instances started at once on an empty database: both serve (3 times)", flush=True)


def one_killed_mid_load(cluster, work):
    _, services, errors = start_together(cluster, work, "killed", 2)
    if not check(len(services) == 2, "two instances: %s" % errors):
        return
    survivor, victim = services
    load = Load(services, register_links(survivor))
    load.start()
    try:
        check(wait_for(lambda: load.rounds >= 100, 20), "the load did not get going")
        load.kill(victim)
        before = load.rounds
        check(wait_for(lambda: load.rounds >= before + 100, 20), "the survivor stopped serving")
        load.stop()
        check_stored(cluster, "killed", load, "SIGKILL mid-load")
        check_summary(survivor, cluster, "killed", "SIGKILL mid-load")
    finally:
        load.stop()
        survivor.stop()


def server_restarted_mid_load(cluster, work):
    _, services, errors = start_together(cluster, work, "restarted", 2)
    if not check(len(services) == 2, "two instances: %s" % errors):
        return
    load = Load(services, register_links(services[0]))
    load.start()
    try:
        check(wait_for(lambda: load.rounds >= 100, 20), "the load did not get going")
        cluster.stop("fast")
        down = dict(load.statuses)
        # While the server is down every answer is 503 (or, for requests that had started
        # before, the answer their commit got).
        check(wait_for(lambda: load.statuses.get(503, 0) >= down.get(503, 0) + 20, 20),
              "no 503 while the server was down: %s" % load.statuses)
        during = dict(load.statuses)
        cluster.start()
        back = load.rounds
        check(wait_for(lambda: load.rounds >= back + 100, 30),
              "the service did not serve again once the server was back: %s" % load.statuses)
        load.stop()
        check_summary(services[1], cluster, "restarted", "server restarted mid-load")
    finally:
        load.stop()
        for service in services:
            service.stop()
    ok_while_down = during.get(200, 0) - down.get(200, 0)
    print("server down: %d answers 503, %d answers 200 (in flight when it stopped)"
          % (during.get(503, 0) - down.get(503, 0), ok_while_down), flush=True)
    check_stored(cluster, "restarted", load, "server restarted mid-load")


def main():
    service_test.SERVICE = sys.argv[1]
    started = time.monotonic()
    with pg_cluster.start_or_skip(settings={"fsync": "off"}) as cluster, \
            tempfile.TemporaryDirectory() as work:
        two_start_at_once(cluster, work)
        one_killed_mid_load(cluster, work)
        server_restarted_mid_load(cluster, work)
    print("%s in %.1f s" % ("FAIL" if failures else "PASS", time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
