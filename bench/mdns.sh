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
# shellcheck source=bench_lab.sh
source "$(dirname "$0")/bench_lab.sh"
COUNT=${COUNT:-200}
IDLE=${IDLE:-10}
PY=/usr/bin/python3  # the system Python, where python3-zeroconf lives

bench_need_root
bench_range COUNT 1 1000
bench_range IDLE 1 60
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
