"""Headless chromium for the browser tests, driven over the DevTools protocol through Debian's
python3-websocket (websocket-client). Browser(workdir) starts it on a profile of its own; page()
gives the first tab; close() ends it. find_chromium() is None where no chromium is installed (the
tests then exit 77)."""
import http.client
import json
import os
import shutil
import subprocess
import sys
import time

try:
    import websocket
except ImportError:
    # Debian installs the package for its own interpreter; another one on the PATH (pyenv, a
    # virtual environment) does not look there, and the module is pure Python.
    sys.path.append("/usr/lib/python3/dist-packages")
    import websocket


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    return None


def wait_until(condition, seconds, step=0.05):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


class Page:
    """One websocket to a page target. call() sends a command and returns its result; events
    that arrive meanwhile are kept for wait_event()."""

    def __init__(self, ws_url):
        self.ws = websocket.create_connection(ws_url, timeout=30, suppress_origin=True)
        self.next_id = 0
        self.events = []

    def _next_message(self):
        message = json.loads(self.ws.recv())
        if "method" in message:
            self.events.append(message)
        return message

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        for _ in range(100000):
            answer = self._next_message()
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer["result"]
        raise RuntimeError("no answer to " + method)

    def wait_event(self, method, seconds, match=lambda params: True):
        """The params of the first kept or next event `method` for which match() holds."""
        deadline = time.monotonic() + seconds
        while True:
            for event in self.events:
                if event["method"] == method and match(event["params"]):
                    self.events.remove(event)
                    return event["params"]
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError("no %s within %g s" % (method, seconds))
            self.ws.settimeout(left)
            try:
                self._next_message()
            except websocket.WebSocketTimeoutException:
                pass
            finally:
                self.ws.settimeout(30)

    def navigate(self, url, seconds=10):
        """Loads url and returns once its load event fired (not an earlier page's)."""
        self.call("Page.enable")
        self.call("Page.setLifecycleEventsEnabled", enabled=True)
        loader = self.call("Page.navigate", url=url)["loaderId"]
        self.wait_event("Page.lifecycleEvent", seconds,
                        lambda event: event["name"] == "load" and event["loaderId"] == loader)

    def evaluate(self, expression, **options):
        """The value of a script expression in the page (awaitPromise etc. pass through)."""
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True, **options)
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def text(self):
        return self.evaluate("document.body ? document.body.innerText : ''") or ""

    def click(self, selector):
        """A real mouse click (press and release) at the middle of the element; found through
        the DOM domain, so that it works with the page's script turned off too."""
        root = self.call("DOM.getDocument")["root"]["nodeId"]
        node = self.call("DOM.querySelector", nodeId=root, selector=selector)["nodeId"]
        if not node:
            raise RuntimeError("no element " + selector)
        quad = self.call("DOM.getBoxModel", nodeId=node)["model"]["content"]
        x, y = sum(quad[0::2]) / 4, sum(quad[1::2]) / 4
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)


class Browser:
    def __init__(self, chromium, workdir):
        self.profile = os.path.join(workdir, "chromium-profile")
        # Nothing of its own goes out: no updates, sync or field trials, loopback only.
        self.process = subprocess.Popen(
            [chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--disable-extensions",
             "--remote-debugging-port=0", "--user-data-dir=" + self.profile, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        if not wait_until(lambda: os.path.exists(port_file) and
                          len(open(port_file).read().splitlines()) >= 2, 30):
            self.close()
            raise RuntimeError("chromium did not open its DevTools port")
        self.port = int(open(port_file).read().splitlines()[0])

    def _json(self, path):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            connection.request("GET", path)
            return json.loads(connection.getresponse().read())
        finally:
            connection.close()

    def page(self):
        pages = [t for t in self._json("/json/list") if t["type"] == "page"]
        return Page(pages[0]["webSocketDebuggerUrl"])

    def browser_session(self):
        """The browser-wide target (Browser.* commands such as grantPermissions)."""
        return Page(self._json("/json/version")["webSocketDebuggerUrl"])

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
