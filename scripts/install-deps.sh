#!/usr/bin/env bash
# Installs the Debian 12 packages that the build, the tests, the lab and the
# benchmarks need. Idempotent: packages already present are not touched, and
# the package lists are refreshed at most once per run.
set -euo pipefail

PACKAGES=(
  # build
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  libssl-dev libcurl4-openssl-dev libtinyxml2-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libmicrohttpd-dev zlib1g-dev
  # lab and real peers
  iproute2 iputils-ping libcap2-bin procps psmisc
  aravis-tools aravis-tools-cli avahi-daemon python3 python3-zeroconf
  openssl curl tshark dnsmasq-base
  # window program under a virtual display
  xvfb xauth x11-utils imagemagick fonts-dejavu-core
  # benchmarks
  redis-server redis-tools
  # Debian packages of the programs and the library (cpack -G DEB with
  # dpkg-shlibdeps, which needs file and readelf) and their checks
  dpkg-dev file binutils lintian desktop-file-utils appstream bash-completion
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run this script as root (or with sudo) to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; answer no without a prompt.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
# Keep package scripts from starting daemons (avahi would multicast on this
# machine's own network): the lab starts its own instances in its namespaces.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"; chmod +x "$policy"; own_policy=1
fi
trap '[ "$own_policy" = 1 ] && rm -f "$policy"' EXIT
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
# The packaged daemons must not start on their own in this machine's namespace:
# the lab starts its own instances inside its network namespaces.
for svc in avahi-daemon redis-server; do
  if command -v systemctl >/dev/null 2>&1; then systemctl disable --now "$svc" >/dev/null 2>&1 || true; fi
  if command -v service >/dev/null 2>&1; then service "$svc" stop >/dev/null 2>&1 || true; fi
done
pkill -x avahi-daemon 2>/dev/null || true
echo "install-deps: done"
