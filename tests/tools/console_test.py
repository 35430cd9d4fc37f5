#!/usr/bin/env python3
"""The service's live console in a real browser: headless chromium (tests/tools/browser.py) loads
/console and gives it the operator token it asks for; an install and an event recorded afterwards
must show in the page within two seconds. Exits 77 (skipped) where no chromium is installed
(scripts/install-deps installs it).

usage: console_test.py <path of attribution-service> [--store sqlite|postgresql]
"""
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser  # noqa: E402
import service_test  # noqa: E402  (the service process helper)

SKIP = 77


def main():
    service_test.use_store(sys.argv)
    service_test.SERVICE = sys.argv[1]
    chromium = browser.find_chromium()
    if not chromium:
        print("SKIP: no chromium on this machine (scripts/install-deps installs it)")
        return SKIP
    with tempfile.TemporaryDirectory() as work:
        service = service_test.Service(work, "--quiet")
        chrome = None
        try:
            chrome = browser.Browser(chromium, work)
            page = chrome.page()
            page.navigate("http://127.0.0.1:%d/console" % service.port)
            # The page asks for the operator token once; typed into its form, it is kept for the
            # session and sent with every poll.
            if not browser.wait_until(lambda: "needs the operator token" in page.text(), 10):
                print("FAIL: the console did not ask for the operator token:\n" + page.text())
                return 1
            page.evaluate(
                "document.getElementById('token').value = %s;"
                "document.getElementById('login').requestSubmit()" % json.dumps(service_test.TOKEN))
            if not browser.wait_until(lambda: "updated" in page.text(), 10):
                print("FAIL: the console never loaded its data:\n" + page.text())
                return 1

            ci = "console%08x" % int.from_bytes(os.urandom(4), "big")
            recorded = time.monotonic()
            service.install(ci)
            service.events(ci, [service_test.event("consoleEvent1", "4.20")])
            shown = ci[:8] + "\u2026"  # client ids are shown shortened, never whole
            seen = browser.wait_until(lambda: shown in page.text() and
                                      "consoleEvent1" in page.text(), 2)
            elapsed = time.monotonic() - recorded
            text = page.text()
            if not seen:
                print("FAIL: install and event not shown within 2 s:\n" + text)
                return 1
            if "4.2 EUR" not in text or "organic" not in text or ci in text:
                print("FAIL: the revenue or the organic outcome is missing, or a whole client id "
                      "is shown:\n" + text)
                return 1
            print("PASS: install and event shown %.0f ms after they were recorded" % (elapsed * 1000))
            return 0
        finally:
            if chrome:
                chrome.close()
            service.stop()


if __name__ == "__main__":
    sys.exit(main())
