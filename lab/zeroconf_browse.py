#!/usr/bin/env python3
"""Browses for the cameras' DNS-SD service "_zyrk-ircam._tcp.local." with
python3-zeroconf, a peer implementation of mDNS, on one interface of a lab
host. The lab's interop test and the mDNS benchmark use it.

  zeroconf_browse.py ADDRESS COUNT [SECONDS] [--resolve]

Browses until COUNT service names are found or SECONDS (default 8) have
passed, then prints a JSON array, one object per service name in name order:
"name" and "foundAfterMs" (time from the start of the browse), and with
--resolve also "server", "port", "addresses" and "txt" (only the first two
when the service does not resolve within 3 seconds)."""
import json
import sys
import time

from zeroconf import ServiceBrowser, ServiceListener, Zeroconf

TYPE = "_zyrk-ircam._tcp.local."


def main(argv):
    resolve = "--resolve" in argv
    args = [a for a in argv if a != "--resolve"]
    if len(args) not in (2, 3):
        sys.exit(__doc__)
    address, want = args[0], int(args[1])
    seconds = float(args[2]) if len(args) == 3 else 8.0

    zc = Zeroconf(interfaces=[address])
    start = time.monotonic()
    found = {}

    def seen(name):
        found.setdefault(name, round((time.monotonic() - start) * 1000))

    class Listener(ServiceListener):
        def add_service(self, zc, type_, name): seen(name)
        def update_service(self, zc, type_, name): seen(name)
        def remove_service(self, zc, type_, name): pass

    browser = ServiceBrowser(zc, TYPE, Listener())
    deadline = start + seconds
    while time.monotonic() < deadline and len(found) < want:
        time.sleep(0.01)
    out = []
    for name in sorted(found):
        entry = {"name": name, "foundAfterMs": found[name]}
        if resolve:
            info = zc.get_service_info(TYPE, name, timeout=3000)
            if info is not None:
                entry.update({"server": info.server, "port": info.port, "addresses": info.parsed_addresses(),
                              "txt": {k.decode(): (v.decode() if v is not None else None)
                                      for k, v in info.properties.items()}})
        out.append(entry)
    browser.cancel()
    zc.close()
    print(json.dumps(out))


if __name__ == "__main__":
    main(sys.argv[1:])
