#!/usr/bin/env bash
# Builds the Debian packages teliox, libhalvex3 and libhalvex-dev from the
# main build tree (configured and built when needed) with CPack's DEB
# generator, and checks them with lintian.
#
#   scripts/package.sh [BUILD_DIR]        (default: build)
#
# The packages land in BUILD_DIR/packages. LINTIAN=0 skips the lintian check.
# Install them with:  apt install ./BUILD_DIR/packages/*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
JOBS=${JOBS:-2}

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
if ! grep -q '^TELIOX_BUILD_APP:BOOL=ON' "$BUILD/CMakeCache.txt" ||
   grep -q '^TELIOX_SANITIZE:STRING=.' "$BUILD/CMakeCache.txt"; then
  echo "package.sh: $BUILD is not a normal build with the window program" >&2
  exit 2
fi
cmake --build "$BUILD" -j "$JOBS"

rm -f "$BUILD"/packages/*.deb
(cd "$BUILD" && cpack -G DEB)
debs=("$BUILD"/packages/*.deb)
echo "package.sh: built ${debs[*]}"

if [ "${LINTIAN:-1}" != 0 ]; then
  # Exits non-zero on errors only; the warnings kept on purpose are listed in
  # the README.
  lintian --fail-on error --tag-display-limit 0 "${debs[@]}"
fi
