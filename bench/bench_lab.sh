# What the lab benchmarks share; source it from a script in bench/ that has
# set ROOT, BUILD and LAB (lab/lab.sh).
#
#   bench_build TARGET...               configure BUILD when needed, build the targets
#   bench_lab_up RUN WORK SUBNET CIDR PC_ADDRESS/PREFIX
#                                       a lab with one subnet and the pc on it; the lab
#                                       and WORK are removed when the script exits

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
