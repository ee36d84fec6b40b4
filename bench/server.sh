#!/usr/bin/env bash
# Resource server benchmark on 127.0.0.1 (never run as a test): requests per
# second that the halvex resource server serves to 1, 8 and 64 concurrent
# session clients, beside redis-benchmark with -c 1/8/64 against a
# redis-server that this script starts itself; then the read rate of 200
# sessions while 50 slow clients drip beside the same rate without them; then
# the end-to-end time of
# one IP change through the resource tree (the program's read phase, then
# connect, writes and commit) against the simulated camera's resource service.
#
#   bench/server.sh [BUILD_DIR]        env: REQUESTS=20000 (per test) ROUNDS=20
BUILD=${1:-${BUILD:-}}
[ -n "$BUILD" ] && BUILD=$(cd "$BUILD" && pwd)
source "$(dirname "$0")/loopback.sh"
REQUESTS=${REQUESTS:-20000}
ROUNDS=${ROUNDS:-20}
[ "$REQUESTS" -ge 64 ] && [ "$REQUESTS" -le 200000 ] || { echo "server.sh: REQUESTS must be 64..200000" >&2; exit 1; }
[ "$ROUNDS" -ge 1 ] && [ "$ROUNDS" -le 500 ] || { echo "server.sh: ROUNDS must be 1..500" >&2; exit 1; }

echo "== halvex resource server 127.0.0.1:$HALVEX_PORT beside redis-server 127.0.0.1:$REDIS_PORT ($REQUESTS requests per test)"
echo "  (ratio = ours / redis; both run on the same machine in the same run)"
for c in 1 8 64; do compare "$c" "$REQUESTS"; done
echo
echo "== 200 sessions while 50 slow clients drip (halvex resource server on 127.0.0.1, same run)"
echo "  (good clients' reads per second beside the same figure with no slow clients)"
timeout 300 "$BUILD/bench/bench_server" drip 200 50 200 | sed 's/^/  /'
echo
echo "== IP change through the resource tree (simulated camera's resource service on 127.0.0.1)"
timeout 300 "$BUILD/bench/bench_server" ipchange "$ROUNDS" | sed 's/^/  /'
