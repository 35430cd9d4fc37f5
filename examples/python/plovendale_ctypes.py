#!/usr/bin/env python3
"""Drives libplovendale.so through its C interface with ctypes: starts the reference attribution
service, registers a link, runs the install trace of a fresh installation whose bundle carries the
link's trace identifier (watched by an install-trace observer), then decodes the service's
wake-up link; reads the state, turns tracking off and on, forgets the installation and shuts the
library down. Prints each; exit 0 when all went as expected.

Usage: plovendale_ctypes.py --lib build-shared/libplovendale.so --service build/bin/attribution-service
"""
import argparse
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

APP_KEY = "pythonHost1"
PARAMS = "invite=bob&room=7"
CHANNEL = "python"

SUCCESS = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p)
FAILURE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int64, ctypes.c_char_p)
WAKE_UP = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p)
DONE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
LOG = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)
# kind, params_data, channel, code, message (plovendale_trace_state_callback)
STATE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p,
                         ctypes.c_int64, ctypes.c_char_p)
KINDS = {0: "unknown", 1: "in flight", 2: "attributed", 3: "organic", 4: "failed"}


def load(path):
    lib = ctypes.CDLL(path)
    signatures = {
        "plovendale_version": (ctypes.c_char_p, []),
        "plovendale_configure": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p]),
        "plovendale_start_with_key": (ctypes.c_int, [ctypes.c_char_p]),
        "plovendale_set_server_domain": (ctypes.c_int, [ctypes.c_char_p]),
        "plovendale_get_install_trace": (ctypes.c_int, [ctypes.c_double, SUCCESS, FAILURE, ctypes.c_void_p]),
        "plovendale_set_wake_up_callback": (ctypes.c_int, [WAKE_UP, ctypes.c_void_p]),
        "plovendale_handle_universal_link": (ctypes.c_int, [ctypes.c_char_p]),
        "plovendale_run_main_queue_until": (ctypes.c_int, [DONE, ctypes.c_void_p, ctypes.c_int64]),
        "plovendale_set_log_callback": (ctypes.c_int, [LOG, ctypes.c_void_p]),
        "plovendale_set_tracking_disabled": (ctypes.c_int, [ctypes.c_int]),
        "plovendale_is_tracking_disabled": (ctypes.c_int, []),
        "plovendale_forget_installation": (ctypes.c_int, []),
        "plovendale_install_trace_state": (ctypes.c_int, [STATE, ctypes.c_void_p]),
        "plovendale_add_install_trace_observer": (ctypes.c_int64, [STATE, ctypes.c_void_p]),
        "plovendale_remove_install_trace_observer": (ctypes.c_int, [ctypes.c_int64]),
        "plovendale_shutdown": (ctypes.c_int, [ctypes.c_int64]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    return lib


def text(value):
    return None if value is None else value.decode("utf-8")


def start_service(binary, work):
    port_file = os.path.join(work, "port")
    service = subprocess.Popen([binary, "--db", os.path.join(work, "service.db"), "--port-file", port_file,
                                "--quiet"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        if os.path.exists(port_file) and open(port_file).read().strip():
            return service, "http://127.0.0.1:" + open(port_file).read().strip()
        if service.poll() is not None:
            break
        time.sleep(0.02)
    service.kill()
    sys.exit("the attribution service did not start")


def register_link(base_url, work):
    # Links are the operator's: the service made its token beside the database on first start.
    with open(os.path.join(work, "service.db.admin-token")) as f:
        token = f.read().strip()
    request = urllib.request.Request(base_url + "/api/links/" + APP_KEY,
                                     data=json.dumps({"params": PARAMS, "channel": CHANNEL}).encode(),
                                     headers={"Content-Type": "application/json",
                                              "Authorization": "Bearer " + token})
    with urllib.request.urlopen(request, timeout=10) as answer:
        body = json.load(answer)
    return body["trace_id"], body["link"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lib", required=True, help="path of libplovendale.so")
    parser.add_argument("--service", required=True, help="path of the attribution-service binary")
    args = parser.parse_args()

    lib = load(os.path.abspath(args.lib))
    print("library", text(lib.plovendale_version()))
    with tempfile.TemporaryDirectory(prefix="plovendale-python-") as work:
        service, base_url = start_service(args.service, work)
        try:
            trace_id, link = register_link(base_url, work)
            # The app's bundle carries the link's trace identifier, as a build for one campaign would.
            bundle = os.path.join(work, "App.app")
            os.makedirs(os.path.join(bundle, "_CodeSignature"))
            with open(os.path.join(bundle, "_CodeSignature", ".pvignore"), "w") as marker:
                json.dump({"traceId": trace_id}, marker)

            lines = []
            on_log = LOG(lambda _context, line: lines.append(text(line)))
            lib.plovendale_set_log_callback(on_log, None)
            lib.plovendale_configure(os.path.join(work, "data").encode(), bundle.encode())
            lib.plovendale_start_with_key(APP_KEY.encode())
            lib.plovendale_set_server_domain(base_url.encode())

            observed = {}
            on_state = STATE(lambda _c, kind, params, channel, _code, _message: observed.update(
                kind=KINDS.get(kind), params=text(params), channel=text(channel)))
            token = lib.plovendale_add_install_trace_observer(on_state, None)
            outcome = {}
            on_success = SUCCESS(lambda _c, params, channel: outcome.update(params=text(params), channel=text(channel)))
            on_failure = FAILURE(lambda _c, code, message: outcome.update(code=code, message=text(message)))
            lib.plovendale_get_install_trace(0, on_success, on_failure, None)
            lib.plovendale_run_main_queue_until(DONE(lambda _c: int(bool(outcome and observed))), None, 15000)
            lib.plovendale_remove_install_trace_observer(token)  # spent already: ignored
            print("attribution:", json.dumps(outcome))
            print("observed:", json.dumps(observed))

            woken = {}
            on_wake_up = WAKE_UP(lambda _c, params, channel: woken.update(params=text(params), channel=text(channel)))
            lib.plovendale_set_wake_up_callback(on_wake_up, None)
            handled = lib.plovendale_handle_universal_link(link.encode())
            print("link:", json.dumps(dict(woken, handled=handled == 1)))

            state = KINDS.get(lib.plovendale_install_trace_state(STATE(), None))
            consent = [lib.plovendale_set_tracking_disabled(1), lib.plovendale_is_tracking_disabled(),
                       lib.plovendale_set_tracking_disabled(0), lib.plovendale_is_tracking_disabled()]
            forgotten = lib.plovendale_forget_installation()
            after = KINDS.get(lib.plovendale_install_trace_state(STATE(), None))
            print("state:", json.dumps({"before": state, "consent": consent, "forgotten": forgotten,
                                        "after": after}))
            # The library's threads are joined: no callback can come from them any more.
            stopped = lib.plovendale_shutdown(2000)
            print("shutdown:", stopped)
            lib.plovendale_set_log_callback(LOG(), None)
        finally:
            service.terminate()
            service.wait(timeout=15)
    expected = {"params": PARAMS, "channel": CHANNEL}
    sound = (outcome == expected and woken == expected and handled == 1 and
             observed == dict(expected, kind="attributed") and state == "attributed" and
             consent == [1, 1, 1, 0] and forgotten == 1 and after == "unknown" and stopped == 1)
    return 0 if sound else 1


if __name__ == "__main__":
    sys.exit(main())
