#!/usr/bin/env bash
# Discovery benchmark in the network lab: COUNT GigE Vision cameras (default
# 2000, one camsim swarm) and MDNS mDNS cameras (default 200, another camsim)
# on one pc adapter. Measures, in one run:
#   - our GigE Vision discovery alone (bench_discovery): answers, scan time
#     (the 1-second window and a little) and merge time, ROUNDS times;
#   - teliox-cli scan --json against arv-tool-0.8 (Aravis, the peer), taken
#     in turn ROUNDS times: rows of each source and wall time of the whole
#     command beside the peer's count and wall time for the GigE Vision
#     cameras alone. Goal: every camera listed in at most 1.1 x the peer's
#     time;
#   - teliox-cli scan --json with two more pc adapters (EXTRA GigE Vision
#     cameras on each). Goal: no slower than with one adapter.
# Figures are printed, never judged by exit status. Everything broadcasting
# or multicasting runs inside the lab's namespaces. Needs root.
#
#   sudo bench/discovery.sh [BUILD_DIR]   env: COUNT=2000 MDNS=200 EXTRA=50 ROUNDS=3 SPREAD_MS=400
set -euo pipefail
# shellcheck source=bench_lab.sh
source "$(dirname "$0")/bench_lab.sh"
COUNT=${COUNT:-2000}
MDNS=${MDNS:-200}
EXTRA=${EXTRA:-50}
ROUNDS=${ROUNDS:-3}
SPREAD_MS=${SPREAD_MS:-400}
PY=/usr/bin/python3

bench_need_root
bench_range COUNT 1 60000
bench_range MDNS 0 1000
bench_range EXTRA 1 1000
bench_range ROUNDS 1 20
bench_build camsim teliox-cli bench_discovery

RUN=tlx$$
WORK=$(mktemp -d /tmp/teliox-bench-XXXXXX)
bench_lab_up "$RUN" "$WORK" swarm 10.1.0.0/16 10.1.0.1/16
"$LAB" add-host "$RUN" swarm swarm none >/dev/null
"$LAB" add-host "$RUN" mcams swarm none >/dev/null

echo "starting $COUNT GigE Vision cameras and $MDNS mDNS cameras..."
bench_camsim swarm "$WORK/camsim.log" "camsim (GigE Vision)" --swarm "$COUNT" --first 10.1.0.10 \
  --mask 255.255.0.0 --spread-ms "$SPREAD_MS" --info KSRV-BENCH --model Bench --services gvcp
if [ "$MDNS" -gt 0 ]; then
  "$PY" - "$MDNS" "$WORK/mdns.json" <<'PY'
import json, sys
count, path = int(sys.argv[1]), sys.argv[2]
cams = [{"name": "mdns%d" % i, "hostName": "mdns-%d" % i,
         "address": "10.1.%d.%d" % (200 + i // 250, 1 + i % 250), "mask": "255.255.0.0",
         "mac": "02:5c:00:00:%02x:%02x" % (i >> 8, i & 255), "bsp": "J3", "services": ["mdns"]}
        for i in range(count)]
json.dump({"interface": "eth0", "cameras": cams}, open(path, "w"))
PY
  bench_camsim mcams "$WORK/mcams.log" "camsim (mDNS)" --config "$WORK/mdns.json"
fi

# teliox-cli scan --json once; prints "<ms> <rows> <GigE Vision rows> <mDNS rows>".
scan_once() {
  local t elapsed
  t=$(date +%s%N)
  timeout 60 "$LAB" exec "$RUN" pc "$BUILD/tools/cli/teliox-cli" scan --json >"$WORK/scan.json" 2>"$WORK/scan.err" || true
  elapsed=$(ms_since "$t")
  "$PY" - "$WORK/scan.json" "$elapsed" <<'PY'
import json, sys
try:
    rows = json.load(open(sys.argv[1]))
except Exception:
    rows = []
gev = sum(1 for r in rows if r.get("platform") == "HU")
mdns = sum(1 for r in rows if r.get("platform") == "J3")
print(sys.argv[2], len(rows), gev, mdns)
PY
}

# arv-tool-0.8 once; prints "<ms> <cameras>".
arv_once() {
  local t elapsed
  t=$(date +%s%N)
  timeout 60 "$LAB" exec "$RUN" pc arv-tool-0.8 >"$WORK/arv.txt" 2>&1 || true
  elapsed=$(ms_since "$t")
  echo "$elapsed $(grep -c '(10\.1\.' "$WORK/arv.txt" || true)"
}

median() { tr ' ' '\n' | sort -n | awk '{a[NR]=$1} END {print (NR ? a[int((NR+1)/2)] : 0)}'; }

echo
echo "== our GigE Vision discovery alone (bench_discovery, one adapter)"
for r in $(seq 1 "$ROUNDS"); do
  printf 'round %d: ' "$r"
  timeout 30 "$LAB" exec "$RUN" pc "$BUILD/bench/bench_discovery"
  sleep 0.5
done

echo
echo "== one adapter: teliox-cli scan --json ($COUNT GigE Vision + $MDNS mDNS) beside arv-tool-0.8 ($COUNT GigE Vision)"
have_arv=1
command -v arv-tool-0.8 >/dev/null || { have_arv=0; echo "arv-tool-0.8 is not installed (aravis-tools-cli): no peer figure"; }
ours=() peer=()
for r in $(seq 1 "$ROUNDS"); do
  read -r ms rows gev mdns < <(scan_once)
  ours+=("$ms")
  line=$(printf 'round %d: teliox-cli %5d ms, rows %d of %d (GigE Vision %d, mDNS %d)' \
    "$r" "$ms" "$rows" "$((COUNT + MDNS))" "$gev" "$mdns")
  if [ "$have_arv" = 1 ]; then
    sleep 0.5
    read -r ams cams < <(arv_once)
    peer+=("$ams")
    line+=$(printf ' | arv-tool-0.8 %5d ms, cameras %d of %d | ratio %s' "$ams" "$cams" "$COUNT" \
      "$(awk -v a="$ms" -v b="$ams" 'BEGIN { printf (b > 0 ? "%.2f" : "-"), a / b }')")
  fi
  echo "$line"
  sleep 0.5
done
one=$(echo "${ours[*]}" | median)
if [ "$have_arv" = 1 ]; then
  arv=$(echo "${peer[*]}" | median)
  echo "median: teliox-cli $one ms, arv-tool-0.8 $arv ms, ratio $(awk -v a="$one" -v b="$arv" \
    'BEGIN { printf (b > 0 ? "%.2f" : "-"), a / b }') (goal: at most 1.10, every camera listed)"
else
  echo "median: teliox-cli $one ms"
fi

echo
echo "== three adapters: the same, and $EXTRA GigE Vision cameras on each of two more adapters"
for n in 2 3; do
  "$LAB" add-subnet "$RUN" "s$n" "10.$((n + 8)).0.0/16"
  "$LAB" add-pc-adapter "$RUN" "s$n" "10.$((n + 8)).0.1/16" >/dev/null
  "$LAB" add-host "$RUN" "extra$n" "s$n" none >/dev/null
  bench_camsim "extra$n" "$WORK/extra$n.log" "camsim (adapter $n)" --swarm "$EXTRA" --first "10.$((n + 8)).0.10" \
    --mask 255.255.0.0 --spread-ms "$SPREAD_MS" --info KSRV-BENCH --model Bench --services gvcp
done
three=()
for r in $(seq 1 "$ROUNDS"); do
  read -r ms rows gev mdns < <(scan_once)
  three+=("$ms")
  printf 'round %d: teliox-cli %5d ms, rows %d of %d (GigE Vision %d, mDNS %d)\n' \
    "$r" "$ms" "$rows" "$((COUNT + MDNS + 2 * EXTRA))" "$gev" "$mdns"
  sleep 0.5
done
echo "median: three adapters $(echo "${three[*]}" | median) ms, one adapter $one ms (goal: no slower than one adapter)"
