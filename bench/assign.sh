#!/usr/bin/env bash
# Readdressing benchmark: COUNT simulated GigE Vision cameras (default 50) in
# swarm mode on one lab adapter. Measures, in one run:
#   - teliox-cli assign --from ... --all: one scan, the plan with its neighbour
#     probes, the changes a few at a time, the rescan; wall time and cameras
#     found at their new addresses;
#   - the same cameras readdressed once more by COUNT sequential
#     teliox-cli set-ip runs (one scan and one change each), the way a
#     technician did it one camera at a time; total wall time and successes.
# Everything broadcasting runs inside the lab's namespaces. Needs root.
#
#   sudo bench/assign.sh [BUILD_DIR]      env: COUNT=50 PARALLEL=4
set -euo pipefail
# shellcheck source=bench_lab.sh
source "$(dirname "$0")/bench_lab.sh"
COUNT=${COUNT:-50}
PARALLEL=${PARALLEL:-4}

bench_need_root
bench_range COUNT 1 200
bench_build camsim teliox-cli

RUN=tlx$$
WORK=$(mktemp -d /tmp/teliox-bench-XXXXXX)
bench_lab_up "$RUN" "$WORK" site 10.1.0.0/16 10.1.0.1/16
"$LAB" add-host "$RUN" cams site none >/dev/null

echo "starting $COUNT simulated cameras..."
bench_camsim cams "$WORK/camsim.log" camsim --swarm "$COUNT" --first 10.1.0.10 --mask 255.255.0.0 \
  --spread-ms 50 --info KSRV-BENCH --model Bench --services gvcp

echo
echo "== teliox-cli assign --from 10.1.1.10/16 --all ($COUNT cameras, $PARALLEL at a time)"
t=$(date +%s%N)
status=0
timeout 600 "$LAB" exec "$RUN" pc "$BUILD/tools/cli/teliox-cli" assign --from 10.1.1.10/16 --all \
  --parallel "$PARALLEL" >"$WORK/assign.out" 2>"$WORK/assign.err" || status=$?
assign_ms=$(ms_since "$t")
assign_found=$(grep -c ' found at 10\.1\.1\.' "$WORK/assign.out" || true)
echo "exit $status, $(grep -E '^[0-9]+ done' "$WORK/assign.out" || echo 'no result line')"
echo "found at their new addresses: $assign_found of $COUNT, wall time: ${assign_ms} ms"

echo
echo "== $COUNT sequential teliox-cli set-ip runs (one camera each, to 10.1.2.x)"
timeout 60 "$LAB" exec "$RUN" pc "$BUILD/tools/cli/teliox-cli" scan --csv >"$WORK/scan.csv" 2>/dev/null || true
mapfile -t addresses < <(tail -n +2 "$WORK/scan.csv" | tr -d '\r' | cut -d, -f2 | grep -E '^10\.1\.' | sort -t. -k4,4n)
echo "cameras listed before: ${#addresses[@]}"
ok=0
i=0
t=$(date +%s%N)
for a in "${addresses[@]}"; do
  if timeout 120 "$LAB" exec "$RUN" pc "$BUILD/tools/cli/teliox-cli" set-ip "$a" --static "10.1.2.$((10 + i))/16" \
       >>"$WORK/setip.out" 2>&1; then
    ok=$((ok + 1))
  fi
  i=$((i + 1))
done
setip_ms=$(ms_since "$t")
echo "succeeded: $ok of ${#addresses[@]}, wall time: ${setip_ms} ms"

echo
echo "== side by side"
printf '%-34s %10s ms  (%s of %s at the new address)\n' "teliox-cli assign (one run)" "$assign_ms" "$assign_found" "$COUNT"
printf '%-34s %10s ms  (%s of %s succeeded)\n' "teliox-cli set-ip x ${#addresses[@]} (sequential)" "$setip_ms" "$ok" "${#addresses[@]}"
