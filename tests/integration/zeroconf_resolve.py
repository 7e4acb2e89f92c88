"""Finds the Vandrel service the way a DNS-SD client does, with python3-zeroconf.

Usage: zeroconf_resolve.py [SECONDS]
Browses "_vandrel._tcp.local.", resolves the first instance and prints one line,
"host=<target> addresses=<a,b> port=<port>"; exits 1 if nothing resolves in
time (10 s unless given).
"""
import sys
import threading
import time

from zeroconf import IPVersion, ServiceBrowser, ServiceStateChange, Zeroconf

SERVICE_TYPE = "_vandrel._tcp.local."


def main():
    limit = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    deadline = time.monotonic() + limit
    names = []
    found = threading.Event()

    def on_change(zeroconf, service_type, name, state_change):
        if state_change is ServiceStateChange.Added:
            names.append(name)
            found.set()

    zc = Zeroconf(ip_version=IPVersion.V4Only)
    try:
        browser = ServiceBrowser(zc, SERVICE_TYPE, handlers=[on_change])
        try:
            if not found.wait(limit):
                print("no instance of " + SERVICE_TYPE + " found", flush=True)
                return 1
            remaining_ms = max(int((deadline - time.monotonic()) * 1000), 1)
            info = zc.get_service_info(SERVICE_TYPE, names[0], timeout=remaining_ms)
            if info is None:
                print("could not resolve " + names[0], flush=True)
                return 1
            print("host=%s addresses=%s port=%d" % (info.server, ",".join(info.parsed_addresses()), info.port),
                  flush=True)
            return 0
        finally:
            browser.cancel()
    finally:
        zc.close()


if __name__ == "__main__":
    sys.exit(main())
