# A private network for end-to-end tests, sourced by scripts that run inside a
# fresh network namespace (`unshare -n`). The calling shell becomes the
# scanning host; each simulated scanner is a namespace of its own on a veth,
# with a real snmpd agent answering discovery and the scanner simulator
# serving the scan data port. Nothing reaches the machine's own network, and
# everything ends with the processes when the script exits.
#
#   lab_init                      checks the namespace, brings lo up
#   lab_bridge NAME ADDR/24       a subnet of the host
#   lab_device NAME BRIDGE ADDR/24 OID DEVICE_ID SERIAL [SIM ARGS...]
#                                 (LAB_SNMPD_UNICAST=1: its snmpd listens on
#                                 the device's own address only, and so
#                                 answers no subnet broadcast, only direct
#                                 requests)
#   lab_join NAME BRIDGE ADDR/24  a second interface for an existing device
#   lab_sim_device NAME BRIDGE ADDR/24 [SIM ARGS...]
#                                 a device served by the simulator alone: its
#                                 own SNMP agent (--snmp) and the data port; the
#                                 SIM ARGS pick the model and any bad answers.
#                                 LAB_SIM_EXTRA_ADDRS="A/24 ..." adds further
#                                 addresses to its interface first (for
#                                 --snmp-flood-from)
#                                 (NAME: at most 12 characters, it names the veth)
#   lab_stop NAME                 ends a device's processes; its namespace and
#                                 veth go with them
#   lab_sane_config [streaming|whole]
#                                 a private SANE configuration loading only
#                                 this backend (its directory on stdout), the
#                                 page delivery as named or the default
#   lab_saned_config              SRV: a saned configuration with this backend
#                                 that lets 127.0.0.1 in; CLI: a client
#                                 configuration with libsane's net backend alone
#   lab_saned LOG [WRAPPER...]    saned on 127.0.0.1:6566 of this namespace,
#                                 inetd style (a saned per connection, run
#                                 under WRAPPER when given); returns once it
#                                 listens, its pid in LAB_SANED_PID, its
#                                 messages in LOG
#
# Needs: LAB_BIN (the directory with orvela-scanner-sim and sendmsg_fix.so).

LAB_PIDS=()
LAB_RUN=$(mktemp -d "${TMPDIR:-/tmp}/orvela-lab.XXXXXX")
declare -A LAB_NS_PID
declare -A LAB_DEV_PIDS

lab_cleanup() {
  local p
  for p in "${LAB_PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${LAB_PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -n "${LAB_KEEP:-}" ] && echo "lab: kept $LAB_RUN" >&2 || rm -rf "$LAB_RUN"
}
trap lab_cleanup EXIT

lab_init() {
  # Refuse to run anywhere but in a namespace of our own: discovery broadcasts.
  if [ "$(ip -o link | wc -l)" != 1 ]; then
    echo "lab: not in a fresh network namespace; run under unshare -n" >&2
    exit 2
  fi
  ip link set lo up
  export SNMP_PERSISTENT_DIR=$LAB_RUN/client-persist
}

LAB_BRIDGES=0
lab_bridge() {
  # A fixed address: a bridge otherwise takes the lowest address of its ports,
  # which changes as devices join and leaves their ARP caches stale.
  LAB_BRIDGES=$((LAB_BRIDGES + 1))
  ip link add "$1" address "02:00:00:00:00:$(printf '%02x' $LAB_BRIDGES)" type bridge stp_state 0 forward_delay 0
  ip link set "$1" up
  ip addr add "$2" brd + dev "$1"
}

# Starts a holder process in a new network namespace and waits until it is
# there; its pid is left in LAB_LAST_PID.
lab_namespace() {
  local me pid
  unshare -n sleep infinity </dev/null >/dev/null 2>&1 &
  pid=$!
  LAB_PIDS+=("$pid")
  me=$(readlink /proc/self/ns/net)
  for _ in $(seq 1 400); do
    [ "$(readlink "/proc/$pid/ns/net" 2>/dev/null)" != "$me" ] && break
    sleep 0.005
  done
  LAB_LAST_PID=$pid
}

lab_join() {  # NAME BRIDGE ADDR/24
  local name=$1 pid=${LAB_NS_PID[$1]} ifname
  ifname="e$(nsenter -t "$pid" -n ip -o link | wc -l)"
  ip link add "v$name$ifname" type veth peer name "$ifname" netns "$pid"
  ip link set "v$name$ifname" master "$2" up
  nsenter -t "$pid" -n sh -c "ip link set lo up && ip addr add $3 brd + dev $ifname && ip link set $ifname up"
}

lab_device() {  # NAME BRIDGE ADDR/24 OID DEVICE_ID SERIAL [SIM ARGS...]
  local name=$1 bridge=$2 cidr=$3 oid=$4 devid=$5 serial=$6 dir=$LAB_RUN/$1 pid addr
  shift 6
  addr=${cidr%/*}
  mkdir -p "$dir/persist"
  lab_namespace
  pid=$LAB_LAST_PID
  LAB_NS_PID[$name]=$pid
  lab_join "$name" "$bridge" "$cidr"
  {
    # A socket bound to a unicast address is given no broadcast datagram.
    echo "agentaddress udp:$([ "${LAB_SNMPD_UNICAST:-}" = 1 ] && echo "$addr" || echo 0.0.0.0):161"
    echo "rocommunity rdcomm default"
    echo "sysName $name"
    [ -n "$oid" ] && echo "sysObjectID $oid"
    [ -n "$devid" ] && echo "override 1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1 octet_str \"$devid\""
    [ -n "$serial" ] && echo "override 1.3.6.1.2.1.43.5.1.1.17.1 octet_str \"$serial\""
  } > "$dir/snmpd.conf"
  SNMP_PERSISTENT_DIR=$dir/persist LD_PRELOAD=$LAB_BIN/sendmsg_fix.so \
    nsenter -t "$pid" -n snmpd -f -Lo -C -c "$dir/snmpd.conf" -m '' </dev/null >"$dir/snmpd.log" 2>&1 &
  LAB_PIDS+=("$!")
  nsenter -t "$pid" -n "$LAB_BIN/orvela-scanner-sim" --listen 0.0.0.0 --port 53010 "$@" \
    </dev/null >"$dir/sim.log" 2>&1 &
  LAB_PIDS+=("$!")
  for _ in $(seq 1 200); do
    if snmpget -v1 -c rdcomm -r0 -t0.2 -On -m '' "$addr" 1.3.6.1.2.1.1.5.0 >/dev/null 2>&1 &&
       (exec 3<>"/dev/tcp/$addr/53010") 2>/dev/null; then
      return 0
    fi
    sleep 0.05
  done
  echo "lab: device $name at $addr not ready" >&2
  cat "$dir/snmpd.log" "$dir/sim.log" >&2
  return 1
}

lab_sim_device() {  # NAME BRIDGE ADDR/24 [SIM ARGS...]
  local name=$1 bridge=$2 cidr=$3 dir=$LAB_RUN/$1 pid addr extra sim
  shift 3
  addr=${cidr%/*}
  mkdir -p "$dir"
  lab_namespace
  pid=$LAB_LAST_PID
  LAB_NS_PID[$name]=$pid
  lab_join "$name" "$bridge" "$cidr"
  for extra in ${LAB_SIM_EXTRA_ADDRS:-}; do
    nsenter -t "$pid" -n ip addr add "$extra" dev e1
  done
  # LAB_SIM_NO_SNMP=1: a scanner whose SNMP agent answers nothing.
  nsenter -t "$pid" -n "$LAB_BIN/orvela-scanner-sim" --listen 0.0.0.0 --port 53010 \
    $([ "${LAB_SIM_NO_SNMP:-}" = 1 ] || echo --snmp) "$@" \
    </dev/null >"$dir/sim.log" 2>&1 &
  sim=$!
  LAB_PIDS+=("$sim")
  LAB_DEV_PIDS[$name]="$sim $pid"
  # The agent may be told to answer nothing useful, so readiness is the
  # simulator's own word (it answers SNMP before it says it listens) and the
  # data port.
  for _ in $(seq 1 200); do
    if grep -q "listening on" "$dir/sim.log" 2>/dev/null && (exec 3<>"/dev/tcp/$addr/53010") 2>/dev/null; then
      return 0
    fi
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.05
  done
  echo "lab: simulated device $name at $addr not ready" >&2
  cat "$dir/sim.log" >&2
  return 1
}

lab_stop() {  # NAME
  local p
  for p in ${LAB_DEV_PIDS[$1]:-}; do kill "$p" 2>/dev/null || true; done
  for p in ${LAB_DEV_PIDS[$1]:-}; do wait "$p" 2>/dev/null || true; done
  LAB_DEV_PIDS[$1]=
}

# A private SANE configuration that loads only this backend; with the
# argument "streaming" its orvela.conf switches the streaming path on, with
# "whole" off (the default, written out).
lab_sane_config() {  # [streaming|whole]
  local cfg=$LAB_RUN/sane${1:+-$1}
  mkdir -p "$cfg"
  echo orvela > "$cfg/dll.conf"
  case ${1:-} in
    streaming) echo "scan streaming on" > "$cfg/orvela.conf" ;;
    whole) echo "scan streaming off" > "$cfg/orvela.conf" ;;
  esac
  echo "$cfg"
}

lab_saned_config() {
  SRV=$LAB_RUN/saned-cfg CLI=$LAB_RUN/net-cfg
  mkdir -p "$SRV" "$CLI"
  echo orvela >"$SRV/dll.conf"
  echo 127.0.0.1 >"$SRV/saned.conf"
  echo net >"$CLI/dll.conf"
  printf 'connect_timeout = 3\n127.0.0.1\n' >"$CLI/net.conf"
}

lab_saned() {  # LOG [WRAPPER...]
  local log=$1
  shift
  systemd-socket-activate -l 127.0.0.1:6566 --inetd -a -E LD_LIBRARY_PATH --setenv=SANE_CONFIG_DIR="$SRV" \
    "$@" /usr/sbin/saned -e </dev/null >/dev/null 2>"$log" &
  LAB_SANED_PID=$!
  LAB_PIDS+=("$LAB_SANED_PID")
  # (A test connection would start a saned of its own.)
  for _ in $(seq 1 100); do
    grep -q "Listening on" "$log" && return 0
    sleep 0.05
  done
  echo "lab: saned does not listen: $(cat "$log")" >&2
  return 1
}
