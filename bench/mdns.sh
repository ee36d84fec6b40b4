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
#     found and the time to find them all (the peer's figure);
#   - bench_mdns again with OFF more mDNS cameras outside the adapter's
#     subnet that never answer ARP: their rows and the cycle time beside the
#     cycle without them (goal: within 100 ms of it).
# Everything multicasting runs inside the lab's namespaces. Needs root.
#
#   sudo bench/mdns.sh [BUILD_DIR]      env: COUNT=200 (1..1000) IDLE=10 (1..60) OFF=100 (0..250)
set -euo pipefail
# shellcheck source=bench_lab.sh
source "$(dirname "$0")/bench_lab.sh"
COUNT=${COUNT:-200}
IDLE=${IDLE:-10}
OFF=${OFF:-100}
PY=/usr/bin/python3  # the system Python, where python3-zeroconf lives

bench_need_root
bench_range COUNT 1 1000
bench_range IDLE 1 60
bench_range OFF 0 250
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

echo "starting $COUNT mDNS cameras and $COUNT announcing cameras..."
bench_camsim mcams "$WORK/mcams.log" "camsim in mcams" --config "$WORK/mdns.json"
bench_camsim acams "$WORK/acams.log" "camsim in acams" --config "$WORK/announce.json"
sleep 1.5  # a round of announcements

echo
core() {  # TITLE ROWS OUT
  echo "== bench_mdns ($1): one scan cycle of the discovery core, then $IDLE s of listening"
  timeout $((IDLE + 120)) "$LAB" exec "$RUN" pc "$BUILD/bench/bench_mdns" "$IDLE" | tee "$3"
  "$PY" - "$3" "$2" "$COUNT" <<'PY'
import json, sys
r = json.load(open(sys.argv[1])); rows = int(sys.argv[2]); count = int(sys.argv[3])
print("rows after one cycle: %d of %d; cycle %d ms, budget %d ms; idle CPU %d ms in %d s (%.2f%% of one core),"
      " %d announcements/s arriving" % (r["rowsAtScanCompleted"], rows, r["cycleMs"], r["budgetMs"],
      r["idleCpuMs"], r["idleSeconds"], r["idleCpuPercent"], count))
PY
}
core "first run: the pc's neighbour table is empty, every MAC is resolved" $((2 * COUNT)) "$WORK/core1.json"
echo
core "second run: neighbour entries of the first run" $((2 * COUNT)) "$WORK/core2.json"

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
  timeout 40 "$LAB" exec "$RUN" pc "$PY" "$ROOT/lab/zeroconf_browse.py" 10.2.0.1 "$COUNT" 15 >"$WORK/browse.json" \
    || echo "zeroconf browse failed"
  "$PY" - "$WORK/browse.json" "$COUNT" <<'PY'
import json, sys
want = int(sys.argv[2])
try:
    found = json.load(open(sys.argv[1]))
except Exception:
    found = []
all_at = max((s["foundAfterMs"] for s in found), default=0) if len(found) >= want else None
print("found: %d of %d, time to find all: %s" % (len(found), want,
      "%d ms" % all_at if all_at is not None else "not all within 15 s"))
PY
else
  echo "python3-zeroconf is not installed"
fi

if [ "$OFF" -gt 0 ]; then
  echo
  # Cameras in another subnet behind an interface that answers no ARP: their
  # MAC addresses never resolve, which must not slow the cycle down.
  "$LAB" add-host "$RUN" far cams none >/dev/null
  "$LAB" exec "$RUN" far ip link set eth0 arp off
  "$PY" - "$OFF" "$WORK/far.json" <<'PY'
import json, sys
count, path = int(sys.argv[1]), sys.argv[2]
json.dump({"cameras": [{"name": "far%d" % i, "hostName": "far-%d" % i, "address": "172.30.0.%d" % (2 + i),
                        "mask": "255.255.255.0", "bsp": "J3", "services": ["mdns"]} for i in range(count)]},
          open(path, "w"))
PY
  bench_camsim far "$WORK/far.log" "camsim in far" --config "$WORK/far.json"
  core "with $OFF more cameras outside the subnet that answer no ARP" $((2 * COUNT + OFF)) "$WORK/core3.json"
  "$PY" - "$WORK/core2.json" "$WORK/core3.json" "$OFF" <<'PY'
import json, sys
without, with_ = (json.load(open(p))["cycleMs"] for p in sys.argv[1:3])
print("cycle without the %s off-subnet cameras %d ms, with them %d ms: %+d ms (goal: at most +100 ms)"
      % (sys.argv[3], without, with_, with_ - without))
PY
fi
