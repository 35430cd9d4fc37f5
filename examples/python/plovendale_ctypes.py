#!/usr/bin/env python3
"""Drives libplovendale.so through the plovendale Python package (python/, over the C interface):
starts the reference attribution service, registers a link, runs the install trace of a fresh
installation whose bundle carries the link's trace identifier (watched by an install-trace
observer), decodes the service's wake-up link, tracks a purchase and flushes it, reads the state,
turns tracking off and on, forgets the installation and shuts the library down. Prints each; exit 0
when all went as expected.

Usage (with the package installed: pip install ./python):
    plovendale_ctypes.py --lib build-shared/libplovendale.so --service build/bin/attribution-service
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import urllib.request

try:
    import plovendale
except ImportError:  # run from a checkout without installing the package
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
    import plovendale

APP_KEY = "pythonHost1"
PARAMS = "invite=bob&room=7"
CHANNEL = "python"


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
    parser.add_argument("--lib", help="path of libplovendale.so (default: $PLOVENDALE_LIBRARY)")
    parser.add_argument("--service", required=True, help="path of the attribution-service binary")
    args = parser.parse_args()

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
            with plovendale.Plovendale(args.lib and os.path.abspath(args.lib),
                                       data_directory=os.path.join(work, "data"),
                                       bundle_directory=bundle, log=lines.append) as sdk:
                print("library", sdk.version)
                sdk.start(APP_KEY)
                sdk.set_server_domain(base_url)
                observed = []
                sdk.add_install_trace_observer(observed.append)  # kept alive by the package
                attribution = sdk.install_trace()
                sdk.run_until(lambda: bool(observed), 5000)
                print("attribution:", attribution)
                print("observed:", observed[0] if observed else None)

                woken = []
                sdk.set_wake_up_callback(woken.append)
                handled = sdk.handle_universal_link(link)
                print("link:", woken, "handled:", handled)

                tracked = sdk.track_event("purchase", {"sku": "room-7"}, revenue=("9.99", "EUR"))
                flushed = sdk.flush(10000)
                print("purchase: tracked", tracked, "flushed", flushed, "still queued",
                      sdk.queued_event_count())

                state = sdk.install_trace_state().kind
                consent = [sdk.set_tracking_disabled(True), sdk.is_tracking_disabled(),
                           sdk.set_tracking_disabled(False), sdk.is_tracking_disabled()]
                forgotten = sdk.forget_installation()
                after = sdk.install_trace_state().kind
                print("state:", json.dumps({"before": state, "consent": consent,
                                            "forgotten": forgotten, "after": after}))
            # Leaving the block shut the library down: no callback can come any more.
            print("shutdown: done")
        finally:
            service.terminate()
            service.wait(timeout=15)
    expected = plovendale.Attribution(PARAMS, CHANNEL)
    sound = (attribution == expected and woken == [expected] and handled and
             observed and observed[0].kind == "attributed" and observed[0].params == PARAMS and
             tracked and flushed and state == "attributed" and
             consent == [True, True, True, False] and forgotten and after == "unknown")
    return 0 if sound else 1


if __name__ == "__main__":
    sys.exit(main())
