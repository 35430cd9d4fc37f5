#!/usr/bin/env python3
"""How accurately the reference attribution service credits installs to the links people tapped.

Simulated people tap links (the landing page with a phone's User-Agent and Accept-Language, then
the page's beacon with screen, pixel ratio, time zone and language) and install the app after a
long-tailed delay (minutes to days); others install without any tap (organic), and some tappers are
on Android or a desktop and never install. Each install asks the install-trace query with the
members the library sends: the pasteboard marker ("clip", and "ti" as its copy) for the share whose
pasteboard hand-off works, the bundle marker ("ti" alone) for apps built for a link, otherwise only
the device fingerprint. Every request carries the person's address in X-Forwarded-For and the
service trusts 127.0.0.1, so it sees the addresses a real deployment would.

Two scenarios: home networks (an address shared by one to four people, who mostly share language
and time zone and often phone models) and carrier NAT (hundreds of people behind one address).
Devices, system versions, languages and time zones follow a skewed mix of popular ones.

Each match window runs against a service of its own, all at once. Time is compressed: simulated
seconds map to real ones at a scale chosen per window (the window stays whole real seconds), and
on each address, a quiet gap longer than the window shrinks to just over it: only clicks of the
same address inside the window take part in a match, so that changes no outcome. Addresses are
independent, so each replays on its own stretch of the real timeline.

Prints, per scenario, window and method: installs credited, precision, recall and installs credited
to a wrong link. Recall counts the installs the method was meant for: the bundle's those with a
bundle marker, the pasteboard's those whose hand-off worked, the fingerprint's every other
install that came from a tap (also those outside the window). Goals: the bundle and pasteboard
exact; at home with a 1 h window, fingerprint precision at least 0.97; behind carrier NAT at most 1%
of all installs credited to a wrong link. --check exits 1 unless the bundle and pasteboard are
exact and no scenario credits more than --max-wrong-share of its installs to a wrong link.

usage: bench/attribution_sim.py [--service PATH] [--seed N] [--people N] [--quick]
                                [--check] [--max-wrong-share F]
"""
import argparse
import concurrent.futures
import http.client
import json
import math
import os
import random
import re
import subprocess
import sys
import tempfile
import time

HOUR = 3600.0
WINDOWS = [("15m", 900), ("1h", 3600), ("24h", 86400)]

# (model identifier, CSS width, CSS height, pixel ratio, lowest major iOS, share)
DEVICES = [
    ("iPhone14,5", 390, 844, 3, 15, 15), ("iPhone15,4", 393, 852, 3, 17, 14),
    ("iPhone14,7", 390, 844, 3, 16, 12), ("iPhone12,1", 414, 896, 2, 15, 10),
    ("iPhone16,2", 430, 932, 3, 17, 10), ("iPhone13,2", 390, 844, 3, 15, 9),
    ("iPhone15,2", 393, 852, 3, 16, 8), ("iPhone16,1", 393, 852, 3, 17, 8),
    ("iPhone17,3", 393, 852, 3, 18, 6), ("iPhone14,6", 375, 667, 2, 15, 5),
    ("iPhone11,8", 414, 896, 2, 15, 3)]
# (version, share): most people run a recent one
OS_VERSIONS = [("17.5.1", 26), ("17.6.1", 16), ("18.0.1", 14), ("17.4.1", 12), ("16.7.8", 10),
               ("18.1", 8), ("16.6.1", 6), ("15.8.2", 4), ("17.2.1", 4)]
# (Accept-Language, beacon language, time zones, share)
REGIONS = [("en-US,en;q=0.9", "en-US", ["America/New_York", "America/Chicago",
                                         "America/Los_Angeles"], 38),
           ("de-DE,de;q=0.9,en;q=0.8", "de-DE", ["Europe/Berlin"], 12),
           ("es-ES,es;q=0.9", "es-ES", ["Europe/Madrid"], 9),
           ("en-GB,en;q=0.9", "en-GB", ["Europe/London"], 9),
           ("fr-FR,fr;q=0.9", "fr-FR", ["Europe/Paris"], 8),
           ("pt-BR,pt;q=0.9", "pt-BR", ["America/Sao_Paulo"], 8),
           ("ja-JP,ja;q=0.9", "ja", ["Asia/Tokyo"], 8),
           ("it-IT,it;q=0.9", "it-IT", ["Europe/Rome"], 8)]
OTHER_AGENTS = [  # taps from phones and computers that will not install the iOS app
    ("Mozilla/5.0 (Linux; Android 14; SM-S918B) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/124.0.0.0 Mobile Safari/537.36", 412, 915, 3.5),
    ("Mozilla/5.0 (Linux; Android 13; Pixel 7) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/123.0.0.0 Mobile Safari/537.36", 412, 915, 2.625),
    ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/124.0.0.0 Safari/537.36", 1920, 1080, 1),
    ("Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Version/17.4 Safari/605.1.15", 1512, 982, 2)]

INSTALL_SHARE = 0.7        # tappers on an iPhone who install
OTHER_PLATFORM_SHARE = 0.15  # tappers not on an iPhone
ORGANIC_SHARE = 0.3        # people who install without a tap, of all people
PASTEBOARD_SHARE = 0.6     # installs from a tap whose pasteboard hand-off works
BUNDLE_SHARE = 0.05        # installs of an app built for a link
NO_BEACON_SHARE = 0.05     # taps whose page ran no script


def weighted(rng, rows, share_index=-1):
    return rng.choices(rows, weights=[row[share_index] for row in rows])[0]


def install_delay(rng):
    """Minutes to days: log-normal around 40 minutes, at most a week."""
    return min(7 * 24 * HOUR, 60 * math.exp(rng.gauss(math.log(40), 1.8)))


class Person:
    def __init__(self, rng, address, region, devices_nearby):
        self.address = address
        self.ci = "%032x" % rng.getrandbits(128)
        if devices_nearby and rng.random() < 0.3:  # a household buys alike
            self.device = rng.choice(devices_nearby)
        else:
            self.device = weighted(rng, DEVICES)
        self.os_version = weighted(rng, [v for v in OS_VERSIONS
                                         if int(v[0].split(".")[0]) >= self.device[4]]
                                   or OS_VERSIONS[:1])[0]
        own = region if rng.random() < 0.85 else weighted(rng, REGIONS)
        self.accept_language, self.language, zones, _ = own
        self.time_zone = rng.choice(zones)
        self.other_agent = rng.choice(OTHER_AGENTS) if rng.random() < OTHER_PLATFORM_SHARE else None
        self.beacon = rng.random() >= NO_BEACON_SHARE

    def user_agent(self):
        if self.other_agent:
            return self.other_agent[0]
        version = self.os_version.split(".")
        return ("Mozilla/5.0 (iPhone; CPU iPhone OS %s like Mac OS X) AppleWebKit/605.1.15 "
                "(KHTML, like Gecko) Version/%s Mobile/15E148 Safari/604.1"
                % ("_".join(version), ".".join(version[:2])))

    def screen(self):
        if self.other_agent:
            return self.other_agent[1:]
        return self.device[1:4]


def build_world(rng, scenario, people, span, links):
    """The events of one scenario: (sim time, "tap" or "install", person, link index, how). An
    install's link is the truth (None: organic) and how says which path should find it: "bundle",
    "pasteboard", "fingerprint", or "" for organic."""
    events = []
    addresses = []
    count = 0
    popularity = [1 / (n + 1) ** 0.8 for n in range(links)]  # a few links reach many people
    while count < people:
        if scenario == "home":
            size = min(people - count, rng.choice([1, 1, 2, 2, 2, 3, 3, 4]))
            address = "198.18.%d.%d" % divmod(len(addresses) + 1, 256)
        else:
            size = min(people - count, rng.randint(200, 400))
            address = "203.0.113.%d" % (len(addresses) + 1)
        region = weighted(rng, REGIONS)
        devices = []
        for _ in range(size):
            person = Person(rng, address, region, devices)
            devices.append(person.device)
            link = rng.choices(range(links), weights=popularity)[0]
            bundle = rng.random() < BUNDLE_SHARE
            if rng.random() < ORGANIC_SHARE and not person.other_agent:
                events.append((rng.uniform(0, span), "install", person,
                               link if bundle else None, "bundle" if bundle else ""))
            else:
                tapped = rng.uniform(0, span)
                events.append((tapped, "tap", person, link, ""))
                if not person.other_agent and rng.random() < INSTALL_SHARE:
                    how = ("bundle" if bundle else
                           "pasteboard" if rng.random() < PASTEBOARD_SHARE else "fingerprint")
                    events.append((tapped + install_delay(rng), "install", person, link, how))
        addresses.append(address)
        count += size
    return events


def compress(events, window, scale, margin):
    """Real offsets (seconds) of one address's events: sim gaps beyond the window shrink to the
    window plus a margin (in real seconds)."""
    events.sort(key=lambda e: e[0])
    real, offsets, last = 0.0, [], None
    for event in events:
        if last is not None:
            gap = event[0] - last
            real += gap * scale if gap < window else window * scale + margin
        offsets.append(real)
        last = event[0]
    return offsets


class Service:
    def __init__(self, binary, workdir, window):
        port_file = os.path.join(workdir, "port")
        token_file = os.path.join(workdir, "token")
        self.token = os.urandom(16).hex()
        with open(token_file, "w") as f:
            f.write(self.token + "\n")
        self.process = subprocess.Popen(
            [binary, "--quiet", "--port", "0", "--db", os.path.join(workdir, "sim.db"),
             "--port-file", port_file, "--admin-token-file", token_file,
             "--trusted-proxy", "127.0.0.1/32",
             "--match-window", str(window)], stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        while not (os.path.exists(port_file) and open(port_file).read().endswith("\n")):
            if self.process.poll() is not None or time.monotonic() > deadline:
                sys.exit("the service did not start")
            time.sleep(0.01)
        self.port = int(open(port_file).read())

    def request(self, method, path, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        all_headers = {"Authorization": "Bearer " + self.token, **(headers or {})}
        if body is not None:
            body = json.dumps(body)
            all_headers["Content-Type"] = "application/json"
        connection.request(method, path, body=body, headers=all_headers)
        answer = connection.getresponse()
        text = answer.read().decode("utf-8", "replace")
        connection.close()
        return answer.status, text

    def stop(self):
        self.process.terminate()
        self.process.wait(15)


CLICK_ID = re.compile(r'data-click="([^"]*)"')


def replay(service, key, trace_ids, schedule):
    """Sends the events at their real offsets; returns per install (truth, how, answer data) and
    how far the replay fell behind in all. When a request goes out late, the rest of the schedule
    moves back with it: gaps between events never shrink, so a slow moment cannot pull an install
    into the window of a click it was outside of."""
    outcomes, behind = [], 0.0
    start = time.monotonic()
    for offset, (_, kind, person, link, how) in schedule:
        wait = start + offset - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        else:
            start -= wait
            behind -= wait
        forwarded = {"X-Forwarded-For": person.address}
        if kind == "tap":
            status, page = service.request("GET", "/l/%s/%s" % (key, trace_ids[link]), headers=dict(
                forwarded, **{"User-Agent": person.user_agent(),
                              "Accept-Language": person.accept_language}))
            found = CLICK_ID.search(page)
            if status != 200 or not found:
                sys.exit("landing page: HTTP %d %s" % (status, page[:200]))
            if person.beacon:
                width, height, ratio = person.screen()
                status, text = service.request(
                    "POST", "/l/%s/%s/beacon" % (key, trace_ids[link]), headers=forwarded, body={
                        "click": found.group(1), "screen_width": width, "screen_height": height,
                        "pixel_ratio": ratio, "time_zone": person.time_zone,
                        "language": person.language})
                if status != 200:
                    sys.exit("beacon: HTTP %d %s" % (status, text[:200]))
            continue
        marker = trace_ids[link] if how in ("bundle", "pasteboard") else ""
        width, height, ratio = person.screen()
        body = {"ai": "", "br": "Apple", "ch": "", "ci": person.ci, "di": "", "gr": "", "gv": "",
                "li": "", "md": person.device[0], "os": "iOS",
                "osvn": ".".join((person.os_version.split(".") + ["0", "0"])[:3]),
                "pkg": "com.example.app", "sh": str(int(height * ratio)), "svn": "2.3.1",
                "sw": str(int(width * ratio)), "vc": "1",
                "clip": marker if how == "pasteboard" else "", "ti": marker}
        status, text = service.request("POST", "/api/trace/client/report/" + key, body=body,
                                       headers=forwarded)
        if status != 200:
            sys.exit("install-trace query: HTTP %d %s" % (status, text[:200]))
        data = json.loads(text).get("data") or {}
        truth = trace_ids[link] if link is not None else None
        outcomes.append((truth, how, data.get("trace_id"), data.get("match", "")))
    return outcomes, behind


def run_window(binary, worlds, window, budget, margin):
    """One service with this match window; returns the outcomes per scenario and the scale."""
    per_address = {}
    for scenario, (events, _) in worlds.items():
        for event in events:
            per_address.setdefault((scenario, event[2].address), []).append(event)
    # the longest compressed address decides the scale
    longest = max(compress(e, window, 1.0, 0.0)[-1] for e in per_address.values())
    real_window = max(1, round(window * budget / max(longest, 1.0)))
    scale = real_window / window
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as work:
        service = Service(binary, work, real_window)
        try:
            end = max(e[0] for events, _ in worlds.values() for e in events)
            schedules = {scenario: [] for scenario in worlds}
            for (scenario, _), events in per_address.items():
                offsets = compress(events, window, scale, margin)
                # each address starts where its first event falls in the run, its own gaps kept
                start = max(0.0, events[0][0] / end * (budget - offsets[-1]))
                schedules[scenario] += [(start + o, e) for o, e in zip(offsets, events)]
            trace_ids = {}
            for scenario, (_, links) in worlds.items():
                trace_ids[scenario] = []
                for n in range(links):
                    status, text = service.request("POST", "/api/links/sim-" + scenario, body={
                        "params": "link=%d" % n, "channel": scenario})
                    if status != 200:
                        sys.exit("links: HTTP %d %s" % (status, text[:200]))
                    trace_ids[scenario].append(json.loads(text)["trace_id"])
            # scenarios run side by side, each on a thread of its own
            with concurrent.futures.ThreadPoolExecutor(len(worlds)) as pool:
                futures = {s: pool.submit(replay, service, "sim-" + s, trace_ids[s],
                                          sorted(schedules[s], key=lambda x: x[0]))
                           for s in worlds}
                results = {s: f.result() for s, f in futures.items()}
            return results, real_window
        finally:
            service.stop()


def measure(outcomes):
    """Rows (method, credited, precision, recall, wrong) and the wrong-link share of all."""
    rows = []
    for method in ("bundle", "pasteboard", "fingerprint"):
        credited = [o for o in outcomes if o[3] == method]
        right = [o for o in credited if o[2] == o[0]]
        meant = [o for o in outcomes if o[1] == method]
        found = [o for o in meant if o[3] == method and o[2] == o[0]]
        rows.append((method, len(credited), len(right) / len(credited) if credited else None,
                     len(found) / len(meant) if meant else None, len(credited) - len(right)))
    wrong = sum(1 for o in outcomes if o[2] and o[2] != o[0])
    return rows, wrong, len(outcomes)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--service", default="build/bin/attribution-service")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--people", type=int, default=None,
                        help="people per scenario (default 1500, 300 with --quick)")
    parser.add_argument("--quick", action="store_true",
                        help="a short run: fewer people, taps over 6 hours, about 30 s")
    parser.add_argument("--check", action="store_true",
                        help="exit 1 unless the bundle and pasteboard are exact and no scenario "
                        "credits more than --max-wrong-share of its installs to a wrong link")
    parser.add_argument("--max-wrong-share", type=float, default=0.01)
    args = parser.parse_args()
    people = args.people or (300 if args.quick else 1500)
    span = (6 if args.quick else 24) * HOUR
    budget = 25.0 if args.quick else 120.0   # real seconds the longest address may take
    rng = random.Random(args.seed)
    worlds = {}
    for scenario in ("home", "nat"):
        links = max(10, people // 5)
        worlds[scenario] = (build_world(rng, scenario, people, span, links), links)

    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(len(WINDOWS)) as pool:
        runs = {name: pool.submit(run_window, args.service, worlds, window, budget, 0.5)
                for name, window in WINDOWS}
        runs = {name: run.result() for name, run in runs.items()}
    print("attribution_sim: seed %d, %d people per scenario, taps over %d h, %.0f s"
          % (args.seed, people, span / HOUR, time.monotonic() - started))
    print("%-5s %-6s %-7s %-11s %8s %9s %7s %6s %8s"
          % ("scen.", "window", "scale", "method", "credited", "precision", "recall", "wrong",
             "wrong/all"))
    missed, goals = [], []
    for scenario in worlds:
        for name, window in WINDOWS:
            results, real_window = runs[name]
            outcomes, behind = results[scenario]
            rows, wrong, total = measure(outcomes)
            for method, credited, precision, recall, wrong_here in rows:
                print("%-5s %-6s %-7s %-11s %8d %9s %7s %6d %8.2f%%"
                      % (scenario, name, "%ds" % real_window, method, credited,
                         "-" if precision is None else "%.3f" % precision,
                         "-" if recall is None else "%.3f" % recall, wrong_here,
                         100.0 * wrong_here / total))
                if method != "fingerprint" and (precision, recall) != (1.0, 1.0):
                    missed.append("%s %s %s not exact" % (scenario, name, method))
            print("%-5s %-6s %-7s %-11s %8d %9s %7s %6d %8.2f%%   (replay fell behind %.1f s)"
                  % (scenario, name, "", "all", total, "", "", wrong, 100.0 * wrong / total,
                     behind))
            if wrong > args.max_wrong_share * total:
                missed.append("%s %s: %d of %d installs credited to a wrong link"
                              % (scenario, name, wrong, total))
            precision = rows[2][2]
            if scenario == "home" and name == "1h" and precision is not None and precision < 0.97:
                goals.append("home 1h: fingerprint precision %.3f, below 0.97" % precision)
            if scenario == "nat" and wrong > 0.01 * total:
                goals.append("nat %s: %.2f%% of installs credited to a wrong link, above 1%%"
                             % (name, 100.0 * wrong / total))
    for line in goals:
        print("goal missed: " + line)
    if args.check and missed:
        for line in missed:
            print("FAIL: " + line)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
