# What the lab benchmarks share. Source it first thing from a script in
# bench/ (after "set -euo pipefail"): it enters the source tree and sets
#   ROOT   the source tree
#   BUILD  the script's first argument, else ROOT/build
#   LAB    lab/lab.sh
# and offers
#   bench_need_root                     exit unless run as root (network namespaces)
#   bench_range NAME MIN MAX            exit unless the variable NAME lies in MIN..MAX
#   bench_build TARGET...               configure BUILD when needed, build the targets
#   bench_lab_up RUN WORK SUBNET CIDR PC_ADDRESS/PREFIX
#                                       a lab with one subnet and the pc on it; the lab
#                                       and WORK are removed when the script exits
#   bench_camsim HOST LOG WHAT ARG...   camsim with ARG... and "--log LOG" in a host of
#                                       that lab (its output in LOG.out) until the lab
#                                       goes down; waits (bounded) until it is ready
#   ms_since START_NS                   milliseconds since a "date +%s%N"

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
BUILD=${1:-$ROOT/build}
LAB=$ROOT/lab/lab.sh
BENCH_NAME=$(basename "$0")

bench_need_root() {
  [ "$(id -u)" -eq 0 ] || { echo "$BENCH_NAME: needs root (network namespaces)" >&2; exit 1; }
}

bench_range() {
  local value=${!1}
  [ "$value" -ge "$2" ] 2>/dev/null && [ "$value" -le "$3" ] || { echo "$BENCH_NAME: $1 must be $2..$3" >&2; exit 1; }
}

bench_build() {
  if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DTELIOX_BUILD_APP=OFF >/dev/null
  fi
  cmake --build "$BUILD" -j2 --target "$@" >/dev/null
}

bench_lab_up() {
  local run=$1 work=$2 subnet=$3 cidr=$4 pc=$5
  BENCH_RUN=$run
  BENCH_WORK=$work
  trap '"$LAB" down "$BENCH_RUN" >/dev/null 2>&1 || true; rm -rf "$BENCH_WORK"' EXIT INT TERM
  "$LAB" cleanup
  "$LAB" up "$run" $$
  "$LAB" add-subnet "$run" "$subnet" "$cidr"
  "$LAB" add-pc-adapter "$run" "$subnet" "$pc" >/dev/null
}

bench_camsim() {
  local host=$1 log=$2 what=$3
  shift 3
  "$LAB" exec "$BENCH_RUN" "$host" "$BUILD/tools/camsim/camsim" "$@" --log "$log" >"$log.out" 2>&1 &
  disown $!  # ended by "lab.sh down"
  for _ in $(seq 1 150); do grep -q " ready " "$log" 2>/dev/null && return 0; sleep 0.1; done
  cat "$log.out" >&2
  echo "$what did not start" >&2
  exit 1
}

ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
