#!/usr/bin/env bash
# Resource-tree client benchmark on 127.0.0.1 (never run as a test): session
# mode Get of an int32 and Set of an ascii text, on one connection and on 8
# (a thread and a tree each), against the halvex resource server; beside it,
# redis-benchmark GET/SET without pipelining against a redis-server that this
# script starts itself, with the same connections and request counts.
# Goal: at least 0.8 of redis' rate.
#
#   bench/client.sh [BUILD_DIR]        env: REQUESTS=20000 (total per test, at most 200000)
BUILD=${1:-${BUILD:-}}
[ -n "$BUILD" ] && BUILD=$(cd "$BUILD" && pwd)
source "$(dirname "$0")/loopback.sh"
REQUESTS=${REQUESTS:-20000}
[ "$REQUESTS" -ge 8 ] && [ "$REQUESTS" -le 200000 ] || { echo "client.sh: REQUESTS must be 8..200000" >&2; exit 1; }

echo "== minimal in-process server (session reads, a connection per request)"
timeout 120 "$BUILD/bench/bench_client" 5000 300 | sed 's/^/  /'
echo
echo "== halvex resource server 127.0.0.1:$HALVEX_PORT beside redis-server 127.0.0.1:$REDIS_PORT ($REQUESTS requests per test)"
echo "  (ratio = ours / redis; goal: at least 0.8. Both run on the same 2 shared cores: repeat for steadier figures)"
for c in 1 8; do compare "$c" "$REQUESTS"; done
