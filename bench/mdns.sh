#!/usr/bin/env bash
# mDNS and announcement discovery benchmark in the network lab: one pc
# adapter, COUNT cameras answering mDNS (one camsim) and COUNT cameras sending
# announcements (another camsim, in its own host). Measures, in one run:
#   - bench_mdns (the discovery core: CDiscoveryThreads on a CDeviceList):
#     rows after one cycle (goal: all 2*COUNT), the time from Start to "Scan
#     completed" against the budget (one second per adapter and source), and
#     the CPU time of all threads while only the listeners wait, IDLE seconds
#     (goal: no busy waiting);
#   - teliox-cli scan --json: rows and wall time of the command;
#   - python3-zeroconf's ServiceBrowser in the same pc host: mDNS cameras
#     found and the time to find them all (the peer's figure).
# Everything multicasting runs inside the lab's namespaces. Needs root.
#
#   sudo bench/mdns.sh [BUILD_DIR]      env: COUNT=200 (1..1000) IDLE=10 (1..60)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${1:-$ROOT/build}
COUNT=${COUNT:-200}
IDLE=${IDLE:-10}
LAB=$ROOT/lab/lab.sh
PY=/usr/bin/python3  # the system Python, where python3-zeroconf lives

[ "$(id -u)" -eq 0 ] || { echo "mdns.sh: needs root (network namespaces)" >&2; exit 1; }
[ "$COUNT" -ge 1 ] && [ "$COUNT" -le 1000 ] || { echo "mdns.sh: COUNT must be 1..1000" >&2; exit 1; }
[ "$IDLE" -ge 1 ] && [ "$IDLE" -le 60 ] || { echo "mdns.sh: IDLE must be 1..60" >&2; exit 1; }

# shellcheck source=bench_lab.sh
source "$ROOT/bench/bench_lab.sh"
bench_build camsim teliox-cli bench_mdns

RUN=tlx$$
WORK=$(mktemp -d /tmp/teliox-bench-mdns-XXXXXX)
bench_lab_up "$RUN" "$WORK" cams 10.2.0.0/16 10.2.0.1/16
"$LAB" add-host "$RUN" mcams cams none >/dev/null
"$LAB" add-host "$RUN" acams cams none >/dev/null

# Two camera sets with addresses, MACs and host names of their own.
"$PY" - "$COUNT" "$WORK" <<'PY'
import json, sys
count, work = int(sys.argv[1]), sys.argv[2]
def cams(kind, third, macbyte, services):
    out = []
    for i in range(count):
        out.append({"name": "%s%d" % (kind, i), "hostName": "%s-%d" % (kind, i),
                    "address": "10.2.%d.%d" % (third + i // 250, 10 + i % 250),
                    "mask": "255.255.0.0", "mac": "02:%02x:00:00:%02x:%02x" % (macbyte, i >> 8, i & 255),
                    "info": "KSRV-BENCH", "model": "Bench", "serial": "%s%d" % (kind.upper(), 100000 + i),
                    "bsp": "J3", "services": services})
    return {"cameras": out}
json.dump(cams("mdns", 1, 0x5c, ["mdns"]), open(work + "/mdns.json", "w"))
json.dump(cams("ann", 11, 0x5d, ["announce"]), open(work + "/announce.json", "w"))
PY

start_camsim() {  # HOST CONFIG LOG
  "$LAB" exec "$RUN" "$1" "$BUILD/tools/camsim/camsim" --config "$2" --log "$3" >"$3.out" 2>&1 &
  disown $!  # ended by "lab.sh down"
  for _ in $(seq 1 150); do grep -q " ready " "$3" 2>/dev/null && return 0; sleep 0.1; done
  cat "$3.out" >&2; echo "camsim in $1 did not start" >&2; exit 1
}
echo "starting $COUNT mDNS cameras and $COUNT announcing cameras..."
start_camsim mcams "$WORK/mdns.json" "$WORK/mcams.log"
start_camsim acams "$WORK/announce.json" "$WORK/acams.log"
sleep 1.5  # a round of announcements

ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }

echo
core() {  # TITLE
  echo "== bench_mdns ($1): one scan cycle of the discovery core, then $IDLE s of listening"
  timeout $((IDLE + 120)) "$LAB" exec "$RUN" pc "$BUILD/bench/bench_mdns" "$IDLE" | tee "$WORK/core.json"
  "$PY" - "$WORK/core.json" "$COUNT" <<'PY'
import json, sys
r = json.load(open(sys.argv[1])); count = int(sys.argv[2])
print("rows after one cycle: %d of %d; cycle %d ms, budget %d ms; idle CPU %d ms in %d s (%.2f%% of one core),"
      " %d announcements/s arriving" % (r["rowsAtScanCompleted"], 2 * count, r["cycleMs"], r["budgetMs"],
      r["idleCpuMs"], r["idleSeconds"], r["idleCpuPercent"], count))
PY
}
core "first run: the pc's neighbour table is empty, every MAC is resolved"
echo
core "second run: neighbour entries of the first run"

echo
echo "== teliox-cli scan --json"
t=$(date +%s%N)
timeout 60 "$LAB" exec "$RUN" pc "$BUILD/tools/cli/teliox-cli" scan --json >"$WORK/scan.json" 2>"$WORK/scan.err" || true
elapsed=$(ms_since "$t")
"$PY" - "$WORK/scan.json" "$COUNT" "$elapsed" <<'PY'
import json, sys
rows = json.load(open(sys.argv[1])); count = int(sys.argv[2])
third = [int(r["ipAddress"].split(".")[2]) for r in rows if r.get("ipAddress", "").startswith("10.2.")]
m = sum(1 for t in third if 1 <= t < 11)
a = sum(1 for t in third if t >= 11)
print("rows: %d of %d (mDNS %d, announcements %d), wall time %s ms (one collection window)"
      % (len(rows), 2 * count, m, a, sys.argv[3]))
PY
echo "progress: $(tr '\n' '|' <"$WORK/scan.err")"

echo
echo "== python3-zeroconf ServiceBrowser (peer), same pc host"
if "$PY" -c 'import zeroconf' 2>/dev/null; then
  cat >"$WORK/browse.py" <<'PY'
import sys, time
from zeroconf import ServiceBrowser, ServiceListener, Zeroconf
TYPE = "_zyrk-ircam._tcp.local."
want = int(sys.argv[2])
zc = Zeroconf(interfaces=[sys.argv[1]])
found = set()
class Listener(ServiceListener):
    def add_service(self, zc, type_, name): found.add(name)
    def update_service(self, zc, type_, name): found.add(name)
    def remove_service(self, zc, type_, name): pass
t0 = time.monotonic()
browser = ServiceBrowser(zc, TYPE, Listener())
deadline = t0 + 15
all_at = None
while time.monotonic() < deadline:
    if len(found) >= want:
        all_at = time.monotonic() - t0
        break
    time.sleep(0.01)
browser.cancel()
zc.close()
print("found: %d of %d, time to find all: %s" % (len(found), want,
      "%.0f ms" % (all_at * 1000) if all_at is not None else "not all within 15 s"))
PY
  timeout 40 "$LAB" exec "$RUN" pc "$PY" "$WORK/browse.py" 10.2.0.1 "$COUNT" || echo "zeroconf browse failed"
else
  echo "python3-zeroconf is not installed"
fi
