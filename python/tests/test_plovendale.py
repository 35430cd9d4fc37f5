"""The package against the built shared library and the reference service.

PLOVENDALE_LIBRARY names libplovendale.so, PLOVENDALE_SERVICE the attribution-service binary.
"""
import gc
import json
import os
import subprocess
import tempfile
import time
import unittest
import urllib.request

import plovendale

APP_KEY = "pythonPackage1"


TOKEN = "python-package-test-operator-token"  # links are the operator's to make


def start_service(binary, work):
    port_file = os.path.join(work, "port")
    token_file = os.path.join(work, "token")
    with open(token_file, "w") as token:
        token.write(TOKEN + "\n")
    service = subprocess.Popen([binary, "--db", os.path.join(work, "service.db"), "--port-file",
                                port_file, "--admin-token-file", token_file, "--quiet"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and service.poll() is None:
        if os.path.exists(port_file):
            with open(port_file) as written:
                port = written.read().strip()
            if port:
                return service, "http://127.0.0.1:" + port
        time.sleep(0.02)
    service.kill()
    raise RuntimeError("the attribution service did not start")


def register_link(base_url, params, channel):
    request = urllib.request.Request(base_url + "/api/links/" + APP_KEY,
                                     data=json.dumps({"params": params, "channel": channel}).encode(),
                                     headers={"Content-Type": "application/json",
                                              "Authorization": "Bearer " + TOKEN})
    with urllib.request.urlopen(request, timeout=10) as answer:
        return json.load(answer)["trace_id"]


def pasteboard_anchor(key, trace):
    # What the landing page copies: the key and the trace, each with its filler.
    return ('<a id="PLOVENDALE:fffff%sggg%s:hhh%siiiii%s" href="https://example.com">open</a>'
            % (key[:5], key[5:], trace[:10], trace[10:]))


class Package(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory(prefix="plovendale-package-")
        self.service, self.base_url = start_service(os.environ["PLOVENDALE_SERVICE"], self.work.name)
        self.lines = []
        self.sdk = plovendale.Plovendale(data_directory=os.path.join(self.work.name, "data"),
                                         bundle_directory=os.path.join(self.work.name, "App.app"),
                                         device_model="Pixel8,1", os_version="14.2.1",
                                         language="de-CH", time_zone="Europe/Zurich",
                                         log=self.lines.append)

    def tearDown(self):
        self.sdk.shutdown()
        self.sdk.set_log_callback(None)
        self.service.terminate()
        self.service.wait(timeout=15)
        self.work.cleanup()

    def test_inline_callbacks_survive_collection_and_the_pasteboard_attributes(self):
        trace = register_link(self.base_url, "room=7", "python")
        events = []
        self.sdk.set_event_observer(lambda name, values: events.append(name))
        self.sdk.set_pasteboard(html=pasteboard_anchor(APP_KEY, trace))
        self.sdk.start(APP_KEY)
        self.sdk.set_server_domain(self.base_url)
        observed, outcome = [], []
        self.sdk.add_install_trace_observer(lambda state: observed.append(state))
        self.sdk.get_install_trace(lambda found: outcome.append(found),
                                   lambda error: outcome.append(error))
        gc.collect()  # the inline callbacks above have no other reference
        self.assertTrue(self.sdk.run_until(lambda: outcome and observed, 15000))
        self.assertEqual(outcome, [plovendale.Attribution("room=7", "python")])
        self.assertEqual(observed[0].kind, "attributed")
        self.assertEqual(observed[0].params, "room=7")
        self.assertIn("pasteboard.captured", events)
        self.assertEqual(self.sdk.install_trace(), plovendale.Attribution("room=7", "python"))

        self.assertTrue(self.sdk.track_event("purchase", {"sku": "a1"}, revenue=("9.99", "EUR")))
        self.assertEqual(self.sdk.flush(10000), plovendale.FlushResult.DELIVERED)
        self.assertEqual(self.sdk.queued_event_count(), 0)

    def test_misuse_raises_or_answers_false_with_a_reason(self):
        with self.assertRaises(ValueError):
            plovendale.Plovendale(language="de_CH")
        self.assertIn("refused the language \"de_CH\"", self.lines[-1])
        with self.assertRaises(ValueError):
            self.sdk.start("my.app")  # the service refuses "." in keys
        with self.assertRaises(plovendale.PlovendaleError) as raised:
            self.sdk.install_trace()
        self.assertEqual(raised.exception.code, -10000)
        self.assertIn("refused at start", self.lines[-1])
        self.assertFalse(self.sdk.track_event("purchase"))
        with self.assertRaises(ValueError):
            self.sdk.set_server_domain("127.0.0.1:8787")
        self.assertIn("setServerDomain failed, it is not an absolute URL", self.lines[-1])
        with self.assertRaises(ValueError):
            self.sdk.track_event("purchase", revenue=("9.99", None))
        self.sdk.start(APP_KEY)
        with self.assertRaises(plovendale.StateError):
            self.sdk.start("anotherKey")


if __name__ == "__main__":
    unittest.main()
