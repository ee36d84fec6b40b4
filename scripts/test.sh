#!/usr/bin/env bash
# Runs every test of the project: installs what is missing, builds, and runs
#  1. all ctest tests of the normal build (unit, lab and interop; the lab tests
#     build their own network namespaces and need root, else they skip);
#  2. the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer;
#  3. the tests labelled "tsan" under ThreadSanitizer;
#  4. every libFuzzer target for a bounded time on its corpus.
# Every stage runs in a network namespace with only loopback (see isolated).
# Ends with one line "N passed, N failed" over all stages.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-2}
FUZZ_SECONDS=${FUZZ_SECONDS:-30}
STAGES=${STAGES:-"main asan tsan fuzz"}
OUT=$ROOT/build-results
mkdir -p "$OUT"
rm -f "$OUT"/*.xml

bash scripts/install-deps.sh || exit 1

failures=0
stage_failed() { echo "test.sh: stage '$1' FAILED" >&2; failures=$((failures + 1)); }

configure_and_build() {  # dir, cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j "$JOBS" || return 1
}

# Tests run in a network namespace of their own that has only loopback: a test
# can reach 127.0.0.0/8 and the lab namespaces it builds itself, and nothing
# else, whatever it tries (no name server, no route out of the machine).
isolated() {
  if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null && unshare --net true 2>/dev/null; then
    unshare --net -- sh -c 'ip link set lo up && exec "$@"' isolated "$@"
  else
    echo "test.sh: not root: tests run without a network namespace of their own" >&2
    "$@"
  fi
}

run_ctest() {  # name, dir, ctest args...
  local name=$1 dir=$2; shift 2
  isolated ctest --test-dir "$dir" --output-on-failure -j "$JOBS" --timeout 600 \
        --output-junit "$OUT/$name.xml" "$@"
}

for stage in $STAGES; do
  echo "=== stage: $stage ==="
  case $stage in
    main)
      configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo || { stage_failed main-build; continue; }
      run_ctest main build || stage_failed main ;;
    asan)
      mkdir -p build-asan
      configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DTELIOX_BUILD_APP=OFF -DTELIOX_BUILD_BENCH=OFF \
        -DTELIOX_SANITIZE=address,undefined || { stage_failed asan-build; continue; }
      ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest asan build-asan -L unit || stage_failed asan ;;
    tsan)
      mkdir -p build-tsan
      configure_and_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DTELIOX_BUILD_APP=OFF -DTELIOX_BUILD_BENCH=OFF \
        -DTELIOX_SANITIZE=thread || { stage_failed tsan-build; continue; }
      if ctest --test-dir build-tsan -N -L tsan | grep -q "Total Tests: [1-9]"; then
        TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" run_ctest tsan build-tsan -L tsan || stage_failed tsan
      else
        echo "no tests labelled tsan yet"
      fi ;;
    fuzz)
      if ! ls fuzz/*.cmake >/dev/null 2>&1; then echo "no fuzz targets yet"; continue; fi
      mkdir -p build-fuzz
      configure_and_build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ -DTELIOX_FUZZ=ON -DTELIOX_BUILD_TESTS=OFF -DTELIOX_BUILD_APP=OFF \
        -DTELIOX_BUILD_BENCH=OFF || { stage_failed fuzz-build; continue; }
      isolated python3 scripts/run-fuzzers.py --build build-fuzz --seconds "$FUZZ_SECONDS" --junit "$OUT/fuzz.xml" \
        || stage_failed fuzz ;;
    *) echo "unknown stage $stage" >&2; stage_failed "$stage" ;;
  esac
done

python3 scripts/summarize-junit.py "$OUT"/*.xml
status=$?
[ $failures -eq 0 ] && [ $status -eq 0 ]
