#!/usr/bin/env bash
# The network lab: a "pc" host and camera hosts in network namespaces of their
# own, joined by one bridge per subnet. The bridges live in a namespace of the
# lab too, so nothing of the lab ever touches the machine's own interfaces and
# broadcast or multicast traffic inside it cannot leave it.
#
#   lab.sh up RUN [OWNER_PID]                      create the run (bridge namespace and host "pc")
#   lab.sh add-subnet RUN NAME CIDR                create the bridge of a subnet
#   lab.sh add-pc-adapter RUN SUBNET ADDR/PREFIX [GATEWAY]
#   lab.sh add-host RUN HOST SUBNET ADDR/PREFIX [MAC [GATEWAY]]
#   lab.sh add-dhcp RUN HOST SUBNET ADDR/PREFIX RANGE_START RANGE_END [LEASE [ROUTER]]
#                                                  a host with a DHCP server (dnsmasq) on that subnet
#   lab.sh exec RUN HOST CMD...                    run a command inside a host
#   lab.sh ns RUN HOST                             print the namespace name of a host
#   lab.sh dev RUN HOST SUBNET                     print the host's interface on that subnet
#   lab.sh bridge RUN SUBNET                       print the bridge of a subnet (in namespace "$(lab.sh ns RUN br)")
#   lab.sh down RUN                                stop every process of the run, remove it
#   lab.sh cleanup                                 remove runs whose owner process is gone
#
# RUN names start with "tlx" (e.g. "tlx$$"); every namespace of a run is named
# RUN-<host>. The owner (default: the calling process) is recorded so that
# "cleanup" removes only runs whose owner has died; owner 0 keeps a run until
# "down" (for a lab set up by hand from short-lived shells). Hosts may get more adapters by
# calling add-host again with the same HOST and another subnet (a DHCP server
# host or a service host are ordinary hosts).
set -euo pipefail

STATE_ROOT=${TELIOX_LAB_STATE:-/run/teliox-lab}
PREFIX=tlx

die() { echo "lab.sh: $*" >&2; exit 1; }

need_root() {
  [ "$(id -u)" -eq 0 ] || die "needs root (network namespaces)"
  command -v ip >/dev/null || die "iproute2 (ip) is missing"
}

check_run() {
  [[ $1 =~ ^${PREFIX}[A-Za-z0-9]{1,9}$ ]] || die "run name must be '${PREFIX}' and 1-9 letters or digits: '$1'"
}

state() { echo "$STATE_ROOT/$1"; }
ns_of() { echo "$1-$2"; }

next_port() {  # run -> a number unique within the run
  local f; f="$(state "$1")/ports"
  local n=0
  [ -f "$f" ] && n=$(cat "$f")
  echo $((n + 1)) >"$f"
  echo "$n"
}

ensure_host() {  # run host
  local run=$1 host=$2 ns
  [[ $host =~ ^[A-Za-z0-9]{1,20}$ ]] || die "host name must be 1-20 letters or digits: '$host'"
  ns=$(ns_of "$run" "$host")
  if [ ! -e "/run/netns/$ns" ]; then
    ip netns add "$ns"
    ip -n "$ns" link set lo up
    # IPv4 only: keeps captures and peers quiet; answers from other subnets on
    # the same wire are accepted (a camera in a foreign subnet answers on-link).
    ip netns exec "$ns" sysctl -q -w net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1 \
      net.ipv4.conf.all.rp_filter=0 net.ipv4.conf.default.rp_filter=0 \
      net.ipv4.conf.all.promote_secondaries=1 net.ipv4.conf.default.promote_secondaries=1 net.ipv4.ping_group_range="0 2147483647" \
      >/dev/null 2>&1 || true
    mkdir -p "$(state "$run")/hosts"
    : >"$(state "$run")/hosts/$host"
  fi
}

subnet_bridge() {  # run subnet -> bridge name
  local f; f="$(state "$1")/subnets/$2"
  [ -f "$f" ] || die "no subnet '$2' in run $1"
  echo "b$(sed -n 2p "$f")"
}

attach() {  # run host subnet addr/prefix [mac] -> device name in the host
  local run=$1 host=$2 subnet=$3 addr=$4 mac=${5:-}
  local br ns port dev k
  br=$(subnet_bridge "$run" "$subnet")
  ns=$(ns_of "$run" "$host")
  ensure_host "$run" "$host"
  port=$(next_port "$run")
  k=$(ip -n "$ns" -o link show | grep -c ': eth' || true)
  dev="eth$k"
  ip -n "$(ns_of "$run" br)" link add "p$port" type veth peer name "$dev" netns "$ns"
  ip -n "$(ns_of "$run" br)" link set "p$port" master "$br" up
  [ -n "$mac" ] && ip -n "$ns" link set "$dev" address "$mac"
  [ "$addr" != "none" ] && ip -n "$ns" addr add "$addr" dev "$dev"
  ip -n "$ns" link set "$dev" up
  echo "$subnet $dev" >>"$(state "$run")/hosts/$host"
  echo "$dev"
}

cmd_up() {
  local run=$1 owner=${2:-$PPID}
  check_run "$run"; need_root
  [ -d "$(state "$run")" ] && die "run $run exists already"
  [[ $owner =~ ^[0-9]+$ ]] || die "owner must be a process id (0: kept until 'down')"
  # The state appears in one step, owner included, so that a concurrent
  # cleanup never mistakes a run being set up for a leftover.
  local tmp="$STATE_ROOT/.$run.$$"
  mkdir -p "$tmp/subnets" "$tmp/hosts"
  echo "$owner" >"$tmp/owner"
  mv "$tmp" "$(state "$run")"
  ensure_host "$run" br
  ensure_host "$run" pc
}

cmd_add_subnet() {
  local run=$1 name=$2 cidr=$3 n
  check_run "$run"; need_root
  [[ $name =~ ^[A-Za-z0-9]{1,12}$ ]] || die "subnet name must be 1-12 letters or digits"
  [ -f "$(state "$run")/subnets/$name" ] && die "subnet $name exists"
  n=$(ls "$(state "$run")/subnets" | wc -l)
  printf '%s\n%s\n' "$cidr" "$n" >"$(state "$run")/subnets/$name"
  # No snooping: every port of the bridge sees every multicast, like a plain switch.
  ip -n "$(ns_of "$run" br)" link add "b$n" type bridge mcast_snooping 0 stp_state 0
  ip -n "$(ns_of "$run" br)" link set "b$n" up
}

cmd_add_pc_adapter() {
  local run=$1 subnet=$2 addr=$3 gw=${4:-} dev
  check_run "$run"; need_root
  dev=$(attach "$run" pc "$subnet" "$addr")
  if [ -n "$gw" ]; then
    ip -n "$(ns_of "$run" pc)" route add default via "$gw" dev "$dev" metric "$((100 + ${dev#eth}))"
  fi
  echo "$dev"
}

cmd_add_host() {
  local run=$1 host=$2 subnet=$3 addr=$4 mac=${5:-} gw=${6:-} dev ns
  check_run "$run"; need_root
  [ "$host" = pc ] || [ "$host" = br ] && die "host names 'pc' and 'br' are the lab's own"
  ns=$(ns_of "$run" "$host")
  local first=1
  [ -e "/run/netns/$ns" ] && first=0
  dev=$(attach "$run" "$host" "$subnet" "$addr" "$mac")
  if [ "$first" = 1 ]; then
    # A camera answers whoever asks on its wire: with a gateway through it,
    # else with an on-link default route (peers in a foreign subnet are
    # reached directly, as on a flat network).
    if [ -n "$gw" ]; then
      ip -n "$ns" route add default via "$gw" dev "$dev" onlink
    else
      ip -n "$ns" route add default dev "$dev"
    fi
  fi
  echo "$dev"
}

prefix_mask() {  # prefix length -> dotted mask
  local p=$1 m=() i n
  for i in 0 1 2 3; do
    if [ "$p" -ge 8 ]; then n=255; p=$((p - 8)); else n=$(( (256 - (1 << (8 - p))) & 255 )); p=0; fi
    m+=("$n")
  done
  echo "${m[0]}.${m[1]}.${m[2]}.${m[3]}"
}

is_ipv4() { [[ $1 =~ ^([0-9]{1,3}\.){3}[0-9]{1,3}$ ]]; }

cmd_add_dhcp() {
  # The server answers only on its lab interface (DNS off, no ping before an
  # offer, authoritative so a stale request is refused at once). Its leases,
  # pid file and log live in the run's state folder; "down" stops it with the
  # other processes of the run.
  local run=$1 host=$2 subnet=$3 addr=$4 start=$5 end=$6 lease=${7:-1h} router=${8:-} dev ns dir prefix
  check_run "$run"; need_root
  command -v dnsmasq >/dev/null || die "dnsmasq is missing (Debian package dnsmasq-base)"
  [[ $addr =~ ^([0-9.]+)/([0-9]{1,2})$ ]] || die "address must be ADDR/PREFIX: '$addr'"
  prefix=${BASH_REMATCH[2]}
  is_ipv4 "${BASH_REMATCH[1]}" && [ "$prefix" -le 32 ] || die "bad address '$addr'"
  is_ipv4 "$start" && is_ipv4 "$end" || die "range must be two IPv4 addresses: '$start' '$end'"
  [[ $lease =~ ^([0-9]+[smhd]?|infinite)$ ]] || die "bad lease time '$lease'"
  [ -z "$router" ] || is_ipv4 "$router" || die "bad router '$router'"
  dir=$(state "$run")
  [ -e "$dir/dhcp-$host.pid" ] && die "host $host runs a DHCP server already"
  dev=$(cmd_add_host "$run" "$host" "$subnet" "$addr")
  ns=$(ns_of "$run" "$host")
  local opts=()
  [ -n "$router" ] && opts+=("--dhcp-option=3,$router")
  ip netns exec "$ns" setsid dnsmasq --no-daemon --conf-file=/dev/null --port=0 \
    --interface="$dev" --except-interface=lo --bind-interfaces \
    --dhcp-range="$start,$end,$(prefix_mask "$prefix"),$lease" --dhcp-authoritative --no-ping \
    --dhcp-leasefile="$dir/dhcp-$host.leases" --pid-file="$dir/dhcp-$host.pid" \
    --log-dhcp --log-facility="$dir/dhcp-$host.log" "${opts[@]}" \
    </dev/null >>"$dir/dhcp-$host.out" 2>&1 &
  local pid=$! i
  # In the foreground dnsmasq writes no pid file of its own.
  echo "$pid" >"$dir/dhcp-$host.pid"
  for i in $(seq 1 50); do
    grep -q "sockets bound" "$dir/dhcp-$host.log" 2>/dev/null && { echo "$dev"; return 0; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  rm -f "$dir/dhcp-$host.pid"
  die "dnsmasq did not start in $host: $(cat "$dir/dhcp-$host.out" "$dir/dhcp-$host.log" 2>/dev/null | tail -5)"
}

cmd_exec() {
  local run=$1 host=$2; shift 2
  check_run "$run"; need_root
  [ -e "/run/netns/$(ns_of "$run" "$host")" ] || die "no host '$host' in run $run"
  exec ip netns exec "$(ns_of "$run" "$host")" "$@"
}

kill_ns_processes() {  # ns
  local ns=$1 pids i
  for i in 1 2 3 4 5 6 7 8 9 10; do
    pids=$(ip netns pids "$ns" 2>/dev/null || true)
    [ -z "$pids" ] && return 0
    if [ "$i" -lt 6 ]; then kill -TERM $pids 2>/dev/null || true; else kill -KILL $pids 2>/dev/null || true; fi
    sleep 0.2
  done
}

remove_run() {  # run
  local run=$1 ns
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^${run}-" || true); do
    kill_ns_processes "$ns"
  done
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^${run}-" || true); do
    ip netns del "$ns" 2>/dev/null || true
  done
  rm -rf "$(state "$run")"
}

cmd_down() {
  local run=$1
  check_run "$run"; need_root
  remove_run "$run"
}

cmd_cleanup() {
  need_root
  local run owner runs
  runs=$( { ls "$STATE_ROOT" 2>/dev/null || true; ip netns list 2>/dev/null | awk '{print $1}' | grep -E "^${PREFIX}[A-Za-z0-9]+-" | sed 's/-.*//' || true; } | sort -u)
  for run in $runs; do
    [[ $run =~ ^${PREFIX}[A-Za-z0-9]{1,9}$ ]] || continue
    owner=$(cat "$(state "$run")/owner" 2>/dev/null || echo "")
    [ "$owner" = 0 ] && continue
    if [ -n "$owner" ] && kill -0 "$owner" 2>/dev/null; then continue; fi
    echo "lab.sh: removing leftover run $run" >&2
    remove_run "$run"
  done
}

[ $# -ge 1 ] || { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 2; }
cmd=$1; shift
case $cmd in
  up) [ $# -ge 1 ] || die "usage: up RUN [OWNER_PID]"; cmd_up "$@" ;;
  add-subnet) [ $# -eq 3 ] || die "usage: add-subnet RUN NAME CIDR"; cmd_add_subnet "$@" ;;
  add-pc-adapter) [ $# -ge 3 ] || die "usage: add-pc-adapter RUN SUBNET ADDR/PREFIX [GATEWAY]"; cmd_add_pc_adapter "$@" ;;
  add-host) [ $# -ge 4 ] || die "usage: add-host RUN HOST SUBNET ADDR/PREFIX [MAC [GATEWAY]]"; cmd_add_host "$@" ;;
  add-dhcp) [ $# -ge 6 ] && [ $# -le 8 ] || die "usage: add-dhcp RUN HOST SUBNET ADDR/PREFIX RANGE_START RANGE_END [LEASE [ROUTER]]"
            cmd_add_dhcp "$@" ;;
  exec) [ $# -ge 3 ] || die "usage: exec RUN HOST CMD..."; cmd_exec "$@" ;;
  ns) [ $# -eq 2 ] || die "usage: ns RUN HOST"; ns_of "$1" "$2" ;;
  dev) [ $# -eq 3 ] || die "usage: dev RUN HOST SUBNET"
       awk -v s="$3" '$1 == s {print $2; exit}' "$(state "$1")/hosts/$2" ;;
  bridge) [ $# -eq 2 ] || die "usage: bridge RUN SUBNET"; subnet_bridge "$@" ;;
  down) [ $# -eq 1 ] || die "usage: down RUN"; cmd_down "$@" ;;
  cleanup) cmd_cleanup ;;
  *) die "unknown command '$cmd'" ;;
esac
