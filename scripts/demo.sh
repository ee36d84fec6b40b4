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
cmake --build "$BUILD" -j "${JOBS:-2}" --target camsim teliox-cli teliox

# shellcheck source=../lab/demo-cameras.sh
source "$ROOT/lab/demo-cameras.sh"
RUN=tlx$$
WORK=$(mktemp -d /tmp/teliox-demo-XXXXXX)
teardown() { demo_lab_down "$RUN"; rm -rf "$WORK"; }
trap teardown EXIT INT TERM

echo "== creating the lab with simulated cameras"
demo_lab_up "$RUN" "$BUILD" "$WORK"

# The window program runs in the pc host: on the user's display when there is
# one (close the window to end the demo), otherwise under Xvfb, where it is
# photographed once the first scan cycles are through.
run_window() {
  local run=$1 build=$2 work=$3 ns
  ns=$("$ROOT/lab/lab.sh" ns "$run" pc)
  mkdir -p "$work/config"
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    echo "== Teliox on display $DISPLAY (close its window to end the demo)"
    ip netns exec "$ns" env DISPLAY="$DISPLAY" XAUTHORITY="${XAUTHORITY:-}" \
      XDG_CONFIG_HOME="$work/config" "$build/app/teliox" || true
    return
  fi
  local n=77
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  echo "== no display: Teliox under Xvfb :$n, screenshot after ${DEMO_SECONDS:-10} s"
  Xvfb ":$n" -screen 0 1024x640x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  local xvfb=$!
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  ip netns exec "$ns" env DISPLAY=":$n" XDG_CONFIG_HOME="$work/config" "$build/app/teliox" \
    >"$work/teliox.log" 2>&1 &
  local teliox=$!
  sleep "${DEMO_SECONDS:-10}"
  # Photograph the frame window itself (no window manager: it sits at the top
  # left of an otherwise black screen); the whole screen if it is not found.
  local win
  win=$(xwininfo -display ":$n" -root -tree 2>/dev/null | awk '/"ZYRK - Teliox 3.5"/ {print $1; exit}')
  import -display ":$n" -window "${win:-root}" "$SCREENSHOT" && echo "== screenshot: $SCREENSHOT"
  kill -TERM "$teliox" 2>/dev/null || true
  wait "$teliox" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
}
SCREENSHOT=${SCREENSHOT:-$BUILD/demo-screenshot.png}

if [ "${DEMO_WINDOW:-1}" != 0 ] && declare -F run_window >/dev/null; then
  run_window "$RUN" "$BUILD" "$WORK"
fi

echo "== teliox-cli scan in the lab's pc host"
demo_lab_exec "$RUN" "$BUILD/tools/cli/teliox-cli" scan
echo "== done; removing the lab"
