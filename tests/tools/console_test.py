#!/usr/bin/env python3
"""The service's live console in a real browser: headless chromium (tests/tools/browser.py) loads
/console; an install and an event recorded afterwards must show in the page within two seconds.
Exits 77 (skipped) where no chromium is installed (scripts/install-deps installs it).

usage: console_test.py <path of attribution-service>
"""
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import browser  # noqa: E402
import service_test  # noqa: E402  (the service process helper)

SKIP = 77


def main():
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
            if not browser.wait_until(lambda: "updated" in page.text(), 10):
                print("FAIL: the console never loaded its data:\n" + page.text())
                return 1

            ci = "console%08x" % int.from_bytes(os.urandom(4), "big")
            recorded = time.monotonic()
            service.install(ci)
            service.events(ci, [service_test.event("consoleEvent1", "4.20")])
            seen = browser.wait_until(lambda: ci in page.text() and
                                      "consoleEvent1" in page.text(), 2)
            elapsed = time.monotonic() - recorded
            text = page.text()
            if not seen:
                print("FAIL: install and event not shown within 2 s:\n" + text)
                return 1
            if "4.2 EUR" not in text or "organic" not in text:
                print("FAIL: the revenue or the organic outcome is missing:\n" + text)
                return 1
            print("PASS: install and event shown %.0f ms after they were recorded" % (elapsed * 1000))
            return 0
        finally:
            if chrome:
                chrome.close()
            service.stop()


if __name__ == "__main__":
    sys.exit(main())
