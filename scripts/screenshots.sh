#!/usr/bin/env bash
# The screenshots of the documentation that show many cameras at once:
#
#   sudo scripts/screenshots.sh [OUT_DIR]      (default: docs/)
#
# Builds what it needs into build/ (BUILD_DIR overrides), creates the demo lab
# of lab/demo-cameras.sh with a pair of cameras that share an address, and
# runs the window's list with its real discovery in the lab's pc host under
# Xvfb. It saves the list with the pair marked (screenshot-duplicates.png),
# then assigns addresses from 192.168.10.1 on to the cameras of the office wire
# and saves the dialog once the rescan is through (screenshot-assign.png).
# Everything that broadcasts stays inside the lab's namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD_DIR:-$ROOT/build}
OUT=$(realpath -m "${1:-$ROOT/docs}")

if [ "$(id -u)" -ne 0 ]; then
  echo "screenshots.sh: run it as root: the lab needs network namespaces" >&2
  exit 1
fi
command -v Xvfb >/dev/null || { echo "screenshots.sh: Xvfb is missing (scripts/install-deps.sh)" >&2; exit 1; }
cmake --build "$BUILD" -j "${JOBS:-2}" --target camsim teliox_view_probe

# shellcheck source=../lab/demo-cameras.sh
source "$ROOT/lab/demo-cameras.sh"
RUN=tlx$$
WORK=$(mktemp -d /tmp/teliox-shots-XXXXXX)
chmod 755 "$WORK"
XVFB=
teardown() {
  [ -n "$XVFB" ] && kill "$XVFB" 2>/dev/null || true
  demo_lab_down "$RUN"
  rm -rf "$WORK"
}
trap teardown EXIT INT TERM

demo_lab_up "$RUN" "$BUILD" "$WORK"
demo_duplicate_pair "$RUN" "$BUILD" "$WORK"

n=77
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
XVFB=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done

mkdir -p "$WORK/shots" "$WORK/config"
chmod 777 "$WORK/shots"
demo_lab_exec "$RUN" env DISPLAY=":$n" XDG_CONFIG_HOME="$WORK/config" TELIOX_PROBE_SHOTS="$WORK/shots" \
  TELIOX_PROBE_ASSIGN_FROM=192.168.10.1 TELIOX_PROBE_ASSIGN_APPLY=1 \
  "$BUILD/tests/app/teliox_view_probe" 10 60 | grep -E '^(SHARED|PANE|ASSIGN)' || true

mkdir -p "$OUT"
cp "$WORK/shots/screenshot-list.png" "$OUT/screenshot-duplicates.png"
cp "$WORK/shots/screenshot-assign.png" "$OUT/screenshot-assign.png"
echo "== $OUT/screenshot-duplicates.png, $OUT/screenshot-assign.png"
