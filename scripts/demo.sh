#!/usr/bin/env bash
# The main job: simulated cameras in a network lab, found by Teliox.
#
#   sudo scripts/demo.sh
#
# Installs what is missing, builds into build/ (BUILD_DIR overrides), creates
# the lab of lab/demo-cameras.sh (two wires, GigE Vision, mDNS and announcing
# cameras of several platforms, one disabled, one in another subnet), shows
# what the program finds there, and removes the lab again. Everything that
# broadcasts or multicasts runs inside the lab's own network namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD_DIR:-$ROOT/build}

if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh: run it as root (sudo scripts/demo.sh): the lab needs network namespaces" >&2
  exit 1
fi

bash scripts/install-deps.sh

echo "== building into $BUILD"
cmake -S . -B "$BUILD" -G Ninja >"$BUILD.configure.log" 2>&1 || { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" -j "${JOBS:-2}" --target camsim teliox-cli

# shellcheck source=../lab/demo-cameras.sh
source "$ROOT/lab/demo-cameras.sh"
RUN=tlx$$
WORK=$(mktemp -d /tmp/teliox-demo-XXXXXX)
teardown() { demo_lab_down "$RUN"; rm -rf "$WORK"; }
trap teardown EXIT INT TERM

echo "== creating the lab with simulated cameras"
demo_lab_up "$RUN" "$BUILD" "$WORK"

# ---------------------------------------------------------------------------
# WINDOW PROGRAM: plug the Teliox window in here. It runs in the pc host:
#   demo_lab_exec "$RUN" "$BUILD/app/Teliox"              (on the user's display)
# or, without a display, under Xvfb with a screenshot, e.g.
#   demo_lab_exec "$RUN" xvfb-run -a sh -c '...Teliox & sleep 6; import -window root shot.png'
# Define run_window() (or set DEMO_WINDOW=0 to skip it) and it is called below.
# ---------------------------------------------------------------------------
if [ "${DEMO_WINDOW:-1}" != 0 ] && declare -F run_window >/dev/null; then
  run_window "$RUN" "$BUILD" "$WORK"
fi

echo "== teliox-cli scan in the lab's pc host"
demo_lab_exec "$RUN" "$BUILD/tools/cli/teliox-cli" scan
echo "== done; removing the lab"
