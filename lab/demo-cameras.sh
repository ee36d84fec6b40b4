# The demo's lab: a pc with two adapters and a handful of simulated cameras of
# different platforms. Source this file, then:
#
#   demo_lab_up RUN BUILD_DIR WORK_DIR    create the lab and start the cameras
#   demo_lab_exec RUN CMD...              run a command in the pc host
#   demo_lab_down RUN                     stop everything and remove the lab
#   demo_duplicate_pair RUN BUILD_DIR WORK_DIR
#                                         two more GigE Vision cameras on the office
#                                         wire that share 192.168.10.70 (hosts twin1, twin2)
#
# Wires and cameras:
#   office 192.168.10.0/24, pc 192.168.10.1
#     gige   GigE Vision: KSRV 192.168.10.50, K210R 192.168.10.51, K460 192.168.10.52 (refuses control)
#     lobby  mDNS, platform J3, 192.168.10.60: resource tree on 22136, web pages on 80
#     gate   mDNS, platform W6, 192.168.10.61: resource tree on 22136 (FEC1), web pages on 80
#     stray  GigE Vision K460 at 172.16.5.5: on the office wire, in another subnet
#     dhcp   DHCP server (dnsmasq) 192.168.10.2, leases 192.168.10.100-149, router 192.168.10.1
#   plant 10.20.0.0/24, pc 10.20.0.1
#     yard   mDNS, platform W8, enabled=false, 10.20.0.60: TLS on 9100 (after "Upload
#            certificate" it trusts the program), web pages and upload on 80
#     dock   announcing camera ("$TOVRA"), 10.20.0.70
# Cameras switched to DHCP on the office wire get a lease; on the plant wire
# (no server) they fall back to 169.254.x.y. Each camera host keeps its TLS
# certificate and trusted uploads in WORK_DIR/state-HOST.
# The window program runs in the pc host like teliox-cli (demo_lab_exec).

DEMO_LAB_SH=${DEMO_LAB_SH:-$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/lab.sh}

demo_camsim() {  # run build work host subnet mac json
  local run=$1 build=$2 work=$3 host=$4 subnet=$5 mac=$6 json=$7
  "$DEMO_LAB_SH" add-host "$run" "$host" "$subnet" none "$mac" >/dev/null
  printf '%s\n' "$json" >"$work/$host.json"
  "$DEMO_LAB_SH" exec "$run" "$host" "$build/tools/camsim/camsim" --config "$work/$host.json" \
    --log "$work/$host.log" --state-dir "$work/state-$host" >"$work/$host.out" 2>&1 &
}

demo_lab_up() {
  local run=$1 build=$2 work=$3 host
  "$DEMO_LAB_SH" cleanup
  "$DEMO_LAB_SH" up "$run" "$$"
  "$DEMO_LAB_SH" add-subnet "$run" office 192.168.10.0/24
  "$DEMO_LAB_SH" add-subnet "$run" plant 10.20.0.0/24
  "$DEMO_LAB_SH" add-pc-adapter "$run" office 192.168.10.1/24 >/dev/null
  "$DEMO_LAB_SH" add-pc-adapter "$run" plant 10.20.0.1/24 >/dev/null
  "$DEMO_LAB_SH" add-dhcp "$run" dhcp office 192.168.10.2/24 192.168.10.100 192.168.10.149 12h 192.168.10.1 >/dev/null

  demo_camsim "$run" "$build" "$work" gige office 02:00:00:00:10:00 '{"defaults": {"services": ["gvcp"]}, "cameras": [
    {"name": "ksrv", "address": "192.168.10.50", "mac": "02:5a:00:00:10:50", "info": "KSRV-1234", "model": "ZYRK KS Thermal", "serial": "KS1050"},
    {"name": "k210", "address": "192.168.10.51", "mac": "02:5a:00:00:10:51", "info": "K210R", "model": "K210", "serial": "K21051", "delayMs": 50},
    {"name": "k460", "address": "192.168.10.52", "mac": "02:5a:00:00:10:52", "info": "K460", "model": "K460", "serial": "K46052", "delayMs": 100, "privilege": false}]}'
  demo_camsim "$run" "$build" "$work" lobby office 02:5a:00:00:10:60 '{"cameras": [
    {"name": "Lobby", "hostName": "lobby", "address": "192.168.10.60", "bsp": "J3", "modelCode": "x", "services": ["mdns", "ipchange"],
     "resourceService": true, "httpService": true}]}'
  demo_camsim "$run" "$build" "$work" gate office 02:5a:00:00:10:61 '{"cameras": [
    {"name": "Gate", "hostName": "gate", "address": "192.168.10.61", "bsp": "W6", "services": ["mdns", "ipchange"],
     "resourceService": true, "httpService": true}]}'
  demo_camsim "$run" "$build" "$work" stray office 02:5a:00:00:16:05 '{"cameras": [
    {"name": "stray", "address": "172.16.5.5", "mac": "02:5a:00:00:16:05", "info": "K460", "model": "K460", "serial": "K46005", "privilege": false, "services": ["gvcp"]}]}'
  demo_camsim "$run" "$build" "$work" yard plant 02:5a:00:00:20:60 '{"cameras": [
    {"name": "Yard", "hostName": "yard", "address": "10.20.0.60", "bsp": "W8", "enabled": false, "services": ["mdns", "ipchange"],
     "resourceService": true, "tlsService": true, "httpService": true}]}'
  demo_camsim "$run" "$build" "$work" dock plant 02:5a:00:00:20:70 '{"cameras": [
    {"name": "Dock", "announceName": "Cam", "hostName": "dock", "address": "10.20.0.70", "announceIntervalMs": 1000, "services": ["announce", "ipchange"]}]}'

  for host in gige lobby gate stray yard dock; do
    for _ in $(seq 1 50); do grep -q " ready " "$work/$host.log" 2>/dev/null && break; sleep 0.1; done
    if ! grep -q " ready " "$work/$host.log" 2>/dev/null; then
      echo "demo: camera host $host did not start:" >&2
      cat "$work/$host.out" >&2
      return 1
    fi
  done
}

demo_duplicate_pair() {
  local run=$1 build=$2 work=$3 host
  demo_camsim "$run" "$build" "$work" twin1 office 02:5a:00:00:10:71 '{"cameras": [
    {"name": "twin1", "address": "192.168.10.70", "mac": "02:5a:00:00:10:71", "info": "K210R", "model": "K210", "serial": "K21071", "services": ["gvcp"]}]}'
  demo_camsim "$run" "$build" "$work" twin2 office 02:5a:00:00:10:72 '{"cameras": [
    {"name": "twin2", "address": "192.168.10.70", "mac": "02:5a:00:00:10:72", "info": "K210R", "model": "K210", "serial": "K21072", "services": ["gvcp"]}]}'
  for host in twin1 twin2; do
    for _ in $(seq 1 50); do grep -q " ready " "$work/$host.log" 2>/dev/null && break; sleep 0.1; done
    grep -q " ready " "$work/$host.log" 2>/dev/null || { echo "demo: camera host $host did not start" >&2; return 1; }
  done
}

demo_lab_exec() {
  local run=$1; shift
  "$DEMO_LAB_SH" exec "$run" pc "$@"
}

demo_lab_down() {
  "$DEMO_LAB_SH" down "$1" >/dev/null 2>&1 || true
}
