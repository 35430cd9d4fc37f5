#!/usr/bin/env python3
"""The service's live console in a real browser: headless chromium, driven over the DevTools
protocol (a minimal websocket client, standard library only), loads /console and gives it the
operator token it asks for; an install and an event recorded afterwards must show in the page within two seconds. Exits 77 (skipped) where no
chromium is installed (scripts/install-deps installs it).

usage: console_test.py <path of attribution-service>
"""
import base64
import http.client
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import service_test  # noqa: E402  (the service process helper)

SKIP = 77


class DevTools:
    """One websocket to a page target; call() sends a command and returns its result."""

    def __init__(self, ws_url):
        host_port, path = ws_url[len("ws://"):].split("/", 1)
        host, port = host_port.split(":")
        self.sock = socket.create_connection((host, int(port)), timeout=10)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall(("GET /%s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
                           "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n" % (path, host_port, key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                raise RuntimeError("the browser closed the websocket handshake")
            head += chunk
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise RuntimeError("websocket refused: %r" % head)
        self.next_id = 0

    def _exactly(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise RuntimeError("the browser closed the websocket")
            data += chunk
        return data

    def _send(self, text):
        payload = text.encode()
        mask = os.urandom(4)
        size = len(payload)
        header = bytes([0x81]) + (bytes([0x80 | size]) if size < 126 else
                                  bytes([0x80 | 126]) + struct.pack(">H", size) if size < 65536 else
                                  bytes([0x80 | 127]) + struct.pack(">Q", size))
        self.sock.sendall(header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))

    def _receive(self):
        """The next complete text message (fragments joined; other frames skipped)."""
        message = b""
        while True:
            first, second = self._exactly(2)
            size = second & 0x7F
            if size == 126:
                size = struct.unpack(">H", self._exactly(2))[0]
            elif size == 127:
                size = struct.unpack(">Q", self._exactly(8))[0]
            payload = self._exactly(size)
            if first & 0x0F in (0x1, 0x0):
                message += payload
                if first & 0x80:
                    return json.loads(message)

    def call(self, method, **params):
        self.next_id += 1
        self._send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        for _ in range(10000):  # events the page sends meanwhile are skipped
            answer = self._receive()
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer["result"]
        raise RuntimeError("no answer to " + method)

    def page_text(self):
        result = self.call("Runtime.evaluate", expression="document.body.innerText")
        return result["result"].get("value", "")


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    return None


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def main():
    service_test.SERVICE = sys.argv[1]
    chromium = find_chromium()
    if not chromium:
        print("SKIP: no chromium on this machine (scripts/install-deps installs it)")
        return SKIP
    with tempfile.TemporaryDirectory() as work:
        service = service_test.Service(work, "--quiet")
        profile = os.path.join(work, "profile")
        browser = subprocess.Popen(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--no-first-run", "--remote-debugging-port=0", "--user-data-dir=" + profile,
             "about:blank"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            port_file = os.path.join(profile, "DevToolsActivePort")
            if not wait_until(lambda: os.path.exists(port_file) and
                              len(service_test.read(port_file).splitlines()) >= 2, 30):
                print("FAIL: chromium did not open its DevTools port")
                return 1
            devtools_port = int(service_test.read(port_file).splitlines()[0])
            connection = http.client.HTTPConnection("127.0.0.1", devtools_port, timeout=10)
            connection.request("GET", "/json/list")
            pages = [t for t in json.loads(connection.getresponse().read()) if t["type"] == "page"]
            tools = DevTools(pages[0]["webSocketDebuggerUrl"])
            tools.call("Page.navigate", url="http://127.0.0.1:%d/console" % service.port)
            # The page asks for the operator token once; typed into its form, it is kept for the
            # session and sent with every poll.
            if not wait_until(lambda: "needs the operator token" in tools.page_text(), 10):
                print("FAIL: the console did not ask for the operator token:\n" + tools.page_text())
                return 1
            tools.call("Runtime.evaluate", expression=(
                "document.getElementById('token').value = %s;"
                "document.getElementById('login').requestSubmit()" % json.dumps(service_test.TOKEN)))
            if not wait_until(lambda: "updated" in tools.page_text(), 10):
                print("FAIL: the console never loaded its data:\n" + tools.page_text())
                return 1

            ci = "console%08x" % int.from_bytes(os.urandom(4), "big")
            recorded = time.monotonic()
            service.install(ci)
            service.events(ci, [service_test.event("consoleEvent1", "4.20")])
            shown = ci[:8] + "\u2026"  # client ids are shown shortened, never whole
            seen = wait_until(lambda: shown in tools.page_text() and
                              "consoleEvent1" in tools.page_text(), 2)
            elapsed = time.monotonic() - recorded
            text = tools.page_text()
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
            browser.terminate()
            try:
                browser.wait(15)
            except subprocess.TimeoutExpired:
                browser.kill()
                browser.wait()
            service.stop()


if __name__ == "__main__":
    sys.exit(main())
