# Builds small networks of namespaces for LAN discovery (sourced by lan_discovery_test.sh and
# bench/discovery; root only). Every namespace is named for this run and removed on exit, with
# the processes started in them; nothing touches the host's own interfaces.
#
#   net_init                          a switch namespace with bridges brA and brB
#   net_add NAME...                   namespaces, each loopback up; $NAME holds the full name
#   net_attach NS IF BRIDGE ADDR...   a veth from BRIDGE into namespace NS as IF, with addresses
#                                     (ADDR/PREFIX) and their subnet broadcast addresses
#   net_start LABEL NS COMMAND...     runs COMMAND in NS; waits until it prints its first line
#                                     (output in $net_scratch/LABEL.out)

net_tag="kbd$$x$RANDOM"
net_namespaces=()
net_pids=()
net_port=0
net_scratch=$(mktemp -d)

net_cleanup() {
  for pid in "${net_pids[@]}"; do kill "$pid" 2> /dev/null; done
  wait 2> /dev/null
  for n in "${net_namespaces[@]}"; do ip netns del "$n" 2> /dev/null; done
  rm -rf "$net_scratch"
}
trap net_cleanup EXIT
trap 'exit 1' INT TERM

net_add() {
  local name
  for name in "$@"; do
    printf -v "$name" '%s' "$net_tag$name"
    ip netns add "$net_tag$name" || return 1
    net_namespaces+=("$net_tag$name")
    ip -n "$net_tag$name" link set lo up
  done
}

net_init() {
  net_add sw || return 1
  local bridge
  for bridge in brA brB; do
    ip -n "$sw" link add "$bridge" type bridge
    echo 0 | ip netns exec "$sw" tee /sys/class/net/$bridge/bridge/multicast_snooping > /dev/null
    ip -n "$sw" link set "$bridge" up
  done
}

net_attach() {
  local ns=$1 ifname=$2 bridge=$3 address
  shift 3
  net_port=$((net_port + 1))
  ip -n "$sw" link add "p$net_port" type veth peer name "$ifname" netns "$ns"
  ip -n "$sw" link set "p$net_port" master "$bridge" up
  for address in "$@"; do ip -n "$ns" addr add "$address" broadcast + dev "$ifname"; done
  ip -n "$ns" link set "$ifname" up
}

net_start() {
  local label=$1 ns=$2
  shift 2
  ip netns exec "$ns" "$@" > "$net_scratch/$label.out" 2> "$net_scratch/$label.err" &
  net_pids+=($!)
  for _ in $(seq 100); do
    [[ -s $net_scratch/$label.out ]] && return 0
    sleep 0.1
  done
  cat "$net_scratch/$label.err" >&2
  echo "$label did not start" >&2
  return 1
}
