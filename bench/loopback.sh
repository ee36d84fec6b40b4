# Shared part of bench/client.sh and bench/server.sh (sourced, not run):
# builds the programs, starts the halvex resource server (bench_server serve)
# and a redis-server of our own, both on 127.0.0.1 with free ports, and stops
# both on exit. Sets BUILD, WORK, HALVEX_PORT, REDIS_PORT.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
ROOT=$PWD
BUILD=${BUILD:-$ROOT/build}

command -v redis-server >/dev/null && command -v redis-benchmark >/dev/null ||
  { echo "$(basename "$0"): needs redis-server and redis-benchmark (redis-server, redis-tools)" >&2; exit 1; }

if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DTELIOX_BUILD_APP=OFF >/dev/null
fi
cmake --build "$BUILD" -j2 --target bench_client bench_server >/dev/null

WORK=$(mktemp -d /tmp/teliox-bench-rt-XXXXXX)
REDIS_PID=
HALVEX_PID=
loopback_cleanup() {
  exec 3>&- 2>/dev/null || true
  [ -n "$HALVEX_PID" ] && { kill "$HALVEX_PID" 2>/dev/null || true; wait "$HALVEX_PID" 2>/dev/null || true; }
  [ -n "$REDIS_PID" ] && { kill "$REDIS_PID" 2>/dev/null || true; wait "$REDIS_PID" 2>/dev/null || true; }
  rm -rf "$WORK"
}
trap loopback_cleanup EXIT INT TERM

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# The resource server: runs until its stdin (fd 3 here) closes, at most 10 minutes.
mkfifo "$WORK/halvex.in"
"$BUILD/bench/bench_server" serve 600 <"$WORK/halvex.in" >"$WORK/halvex.out" 2>"$WORK/halvex.err" &
HALVEX_PID=$!
exec 3>"$WORK/halvex.in"
for _ in $(seq 1 100); do grep -q '^port ' "$WORK/halvex.out" 2>/dev/null && break; sleep 0.1; done
HALVEX_PORT=$(sed -n 's/^port //p' "$WORK/halvex.out")
[ -n "$HALVEX_PORT" ] || { cat "$WORK/halvex.err" >&2; echo "bench_server did not start" >&2; exit 1; }

REDIS_PORT=$(free_port)
redis-server --port "$REDIS_PORT" --bind 127.0.0.1 --save "" --appendonly no --daemonize no \
  >"$WORK/redis.log" 2>&1 &
REDIS_PID=$!
for _ in $(seq 1 100); do redis-cli -h 127.0.0.1 -p "$REDIS_PORT" ping >/dev/null 2>&1 && break; sleep 0.1; done

# ours_rate LINE get|set: the requests/s that bench_client printed.
ours_rate() { sed -n "s/.*$2 [a-z0-9]* \([0-9]*\) requests\/s.*/\1/p" <<<"$1"; }
# redis_rate CONNECTIONS TOTAL TEST: redis-benchmark's requests/s, no pipelining.
redis_rate() {
  redis-benchmark -h 127.0.0.1 -p "$REDIS_PORT" -c "$1" -P 1 -n "$2" -t "$3" -q 2>/dev/null |
    tr '\r' '\n' | sed -n 's/^[A-Z]*: \([0-9.]*\) requests per second.*/\1/p' | tail -1
}
ratio() { python3 -c "import sys; a,b=float(sys.argv[1] or 0),float(sys.argv[2] or 0); print('%.2f' % (a/b) if b else 'n/a')" "$1" "$2"; }

# compare CONNECTIONS TOTAL: bench_client and redis-benchmark with the same
# number of connections and requests; prints both rates and their ratio.
compare() {
  local c=$1 total=$2 line rg rs og os
  line=$(timeout 300 "$BUILD/bench/bench_client" --port "$HALVEX_PORT" --connections "$c" --requests $((total / c)) || true)
  echo "  ours:  $line"
  og=$(ours_rate "$line" get); os=$(ours_rate "$line" set)
  rg=$(redis_rate "$c" "$total" get); rs=$(redis_rate "$c" "$total" set)
  printf '  %-3s connections  Get int32 %8s/s  vs redis GET %10s/s  ratio %s\n' "$c" "$og" "$rg" "$(ratio "$og" "$rg")"
  printf '  %-3s connections  Set ascii %8s/s  vs redis SET %10s/s  ratio %s\n' "$c" "$os" "$rs" "$(ratio "$os" "$rs")"
}
