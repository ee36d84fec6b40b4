#!/usr/bin/env bash
# Discovery benchmark: COUNT simulated cameras (default 2000) in swarm mode on
# one lab adapter. Measures, in one run:
#   - our GigE Vision discovery (bench_discovery): answers found, scan time
#     (goal: the 1-second window + at most 50 ms) and merge time, ROUNDS times;
#   - teliox-cli scan --json: rows found and wall time of the whole command;
#   - arv-tool-0.8 (Aravis) discovery of the same cameras: count and wall time.
# Everything broadcasting runs inside the lab's namespaces. Needs root.
#
#   sudo bench/discovery.sh [BUILD_DIR]      env: COUNT=2000 ROUNDS=3 SPREAD_MS=400
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${1:-$ROOT/build}
COUNT=${COUNT:-2000}
ROUNDS=${ROUNDS:-3}
SPREAD_MS=${SPREAD_MS:-400}
LAB=$ROOT/lab/lab.sh

[ "$(id -u)" -eq 0 ] || { echo "discovery.sh: needs root (network namespaces)" >&2; exit 1; }
[ "$COUNT" -ge 1 ] && [ "$COUNT" -le 60000 ] || { echo "discovery.sh: COUNT must be 1..60000" >&2; exit 1; }
[ "$ROUNDS" -ge 1 ] && [ "$ROUNDS" -le 20 ] || { echo "discovery.sh: ROUNDS must be 1..20" >&2; exit 1; }

# shellcheck source=bench_lab.sh
source "$ROOT/bench/bench_lab.sh"
bench_build camsim teliox-cli bench_discovery

RUN=tlx$$
WORK=$(mktemp -d /tmp/teliox-bench-XXXXXX)
bench_lab_up "$RUN" "$WORK" swarm 10.1.0.0/16 10.1.0.1/16
"$LAB" add-host "$RUN" swarm swarm none >/dev/null

echo "starting $COUNT simulated cameras..."
"$LAB" exec "$RUN" swarm "$BUILD/tools/camsim/camsim" --swarm "$COUNT" --first 10.1.0.10 --mask 255.255.0.0 \
  --spread-ms "$SPREAD_MS" --info KSRV-BENCH --model Bench --services gvcp --log "$WORK/camsim.log" \
  >"$WORK/camsim.out" 2>&1 &
for _ in $(seq 1 100); do grep -q " ready " "$WORK/camsim.log" 2>/dev/null && break; sleep 0.1; done
grep -q " ready " "$WORK/camsim.log" || { cat "$WORK/camsim.out"; echo "camsim did not start" >&2; exit 1; }

ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }

echo
echo "== our GigE Vision discovery (answers of $COUNT, one adapter, $ROUNDS rounds)"
for r in $(seq 1 "$ROUNDS"); do
  printf 'round %d: ' "$r"
  timeout 30 "$LAB" exec "$RUN" pc "$BUILD/bench/bench_discovery"
  sleep 0.5
done

echo
echo "== teliox-cli scan --json (mDNS window, GigE Vision window, listener grace)"
t=$(date +%s%N)
timeout 60 "$LAB" exec "$RUN" pc "$BUILD/tools/cli/teliox-cli" scan --json >"$WORK/scan.json" 2>"$WORK/scan.err" || true
elapsed=$(ms_since "$t")
rows=$(grep -c '"ipAddress"' "$WORK/scan.json" || true)
echo "rows: $rows of $COUNT, wall time: ${elapsed} ms"

echo
echo "== arv-tool-0.8 (Aravis) discovery of the same cameras"
if command -v arv-tool-0.8 >/dev/null; then
  t=$(date +%s%N)
  timeout 60 "$LAB" exec "$RUN" pc arv-tool-0.8 >"$WORK/arv.txt" 2>&1 || true
  elapsed=$(ms_since "$t")
  echo "cameras: $(grep -c '(10\.1\.' "$WORK/arv.txt" || true) of $COUNT, wall time: ${elapsed} ms"
else
  echo "arv-tool-0.8 is not installed (aravis-tools-cli)"
fi
