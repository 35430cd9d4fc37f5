#!/usr/bin/env python3
"""A tapped link, end to end in a real browser (tests/tools/browser.py): headless chromium posing
as an iPhone loads a link's landing page and taps #open-app; the HTML the page left on the
clipboard is handed to a first launch of the plovendale tool as its pasteboard, which must be
attributed to the link by its pasteboard marker, and the browser must have gone on to the iOS
destination. With script turned off (posing as an Android phone) the page's plain link still
leads to the Android destination. The destinations are a local server that records who came.
Exits 77 (skipped) where no chromium is installed.

usage: landing_test.py <path of attribution-service> <path of plovendale> [--store ...]
"""
import http.server
import json
import os
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser  # noqa: E402
import service_test  # noqa: E402

SKIP = 77
KEY = "landingTestKey"
IPHONE = ("Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 "
          "(KHTML, like Gecko) Version/17.4 Mobile/15E148 Safari/604.1")
ANDROID = ("Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) "
           "Chrome/124.0.0.0 Mobile Safari/537.36")
# The clipboard's text/html as it is stored, which is what another application reads: the
# sanitized read would hand back a fragment cleaned up again.
READ_CLIPBOARD_HTML = """(async () => {
  for (const item of await navigator.clipboard.read({unsanitized: ['text/html']}))
    if (item.types.includes('text/html')) return await (await item.getType('text/html')).text();
  return null; })()"""


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Destinations(http.server.ThreadingHTTPServer):
    """Where the links lead: answers a small page and keeps (path, User-Agent) of each visit."""

    def __init__(self):
        self.visits = []
        destinations = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                destinations.visits.append((self.path, self.headers.get("User-Agent", "")))
                body = b"<!doctype html><title>destination</title><p>store page</p>"
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.server_port
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def wait_for(self, path, seconds=10):
        check(browser.wait_until(lambda: any(p == path for p, _ in self.visits), seconds),
              "the browser never reached %s; visits: %r" % (path, self.visits))
        return next(agent for p, agent in self.visits if p == path)


def open_landing_page(page, url, user_agent):
    page.call("Emulation.setUserAgentOverride", userAgent=user_agent)
    page.navigate(url)
    root = page.call("DOM.getDocument")["root"]["nodeId"]
    body = page.call("DOM.querySelector", nodeId=root, selector="body[data-click]")["nodeId"]
    check(body, "the landing page carries no data-click")
    attributes = page.call("DOM.getAttributes", nodeId=body)["attributes"]
    click_id = attributes[attributes.index("data-click") + 1]
    check(click_id, "the landing page recorded no click")
    return click_id


def tap_through(service, page, destinations, plovendale, work, link):
    """The clipboard hand-off: tap, destination, first launch attributed by the pasteboard."""
    click_id = open_landing_page(page, link["landing_url"], IPHONE)
    page.click("#open-app")
    check(destinations.wait_for("/ios") == IPHONE, "the iOS destination saw another agent")
    html = page.evaluate(READ_CLIPBOARD_HTML, awaitPromise=True, userGesture=True)
    check(html, "the page left no text/html on the clipboard")
    print("clipboard text/html: %r" % html)

    data_dir = os.path.join(work, "app-data")
    os.mkdir(data_dir)
    launch = subprocess.run(
        [plovendale, "trace", "--app-key", KEY, "--data-dir", data_dir, "--quiet", "--server",
         "http://127.0.0.1:%d" % service.port, "--pasteboard-html", html],
        capture_output=True, text=True, timeout=60)
    check(launch.returncode == 0 and '"paramsData":"room=7"' in launch.stdout,
          "the first launch was not attributed to the link: %s%s" % (launch.stdout, launch.stderr))
    _, _, installs = service.request("GET", "/api/installs/" + KEY)
    check(len(installs) == 1 and installs[0]["match"] == "pasteboard" and
          installs[0]["trace_id"] == link["trace_id"] and installs[0]["params"]["clip"],
          "the install is not credited by the pasteboard: %r" % installs)

    _, _, console = service.request("GET", "/api/console?app=" + KEY)
    shown = json.dumps(console, ensure_ascii=False)
    # The console shows client ids shortened.
    check(click_id in shown and installs[0]["params"]["ci"][:8] + "\u2026" in shown,
          "the console shows not both the click %s and the install: %s" % (click_id, shown))


def plain_link(page, destinations, link):
    """With script off the click is still recorded and the plain link still leads on."""
    page.call("Emulation.setScriptExecutionDisabled", value=True)
    open_landing_page(page, link["landing_url"], ANDROID)
    page.click("#destination")
    check(destinations.wait_for("/android") == ANDROID, "the Android destination saw another agent")


def main():
    service_test.use_store(sys.argv)
    service_test.SERVICE, plovendale = sys.argv[1], sys.argv[2]
    chromium = browser.find_chromium()
    if not chromium:
        print("SKIP: no chromium on this machine (scripts/install-deps installs it)")
        return SKIP
    with tempfile.TemporaryDirectory() as work:
        service = service_test.Service(work, "--quiet")
        destinations = Destinations()
        chrome = None
        try:
            status, _, link = service.request("POST", "/api/links/" + KEY, {
                "params": "room=7", "channel": "landing",
                "destinations": {"ios": destinations.url + "/ios",
                                 "android": destinations.url + "/android",
                                 "default": destinations.url + "/default"}})
            check(status == 200 and "landing_url" in link, "no landing_url: %r" % link)
            chrome = browser.Browser(chromium, work)
            page = chrome.page()
            page.call("Browser.grantPermissions",
                      permissions=["clipboardReadWrite", "clipboardSanitizedWrite"])
            page.call("Page.bringToFront")
            page.call("Emulation.setFocusEmulationEnabled", enabled=True)
            tap_through(service, page, destinations, plovendale, work, link)
            plain_link(page, destinations, link)
            print("PASS: tapped link attributed by the pasteboard; the plain link leads on")
            return 0
        except Failure as failure:
            print("FAIL: %s" % failure)
            return 1
        finally:
            if chrome:
                chrome.close()
            destinations.shutdown()
            destinations.server_close()
            service.stop()


if __name__ == "__main__":
    sys.exit(main())
