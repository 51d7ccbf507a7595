#!/usr/bin/env bash
# LAN discovery on a network of namespaces this test builds and removes (root only; skipped
# otherwise): a controller with one interface on each of two subnets, joined through bridges to
# instrument namespaces that exist only here.
#
#   subnet A 192.0.2.0/24      controller .1 · simulator + mDNS responder .10 · port mapper
#                              with no VXI-11 (port 0) .3 · rogue .9 (also 203.0.113.9, off-link)
#   subnet B 198.51.100.0/24   controller .1 · mDNS responder .2 · multicast-only responder .4
#
# Usage: lan_discovery_test.sh KOBRANT KOBRANT_SIM FIND_RESOURCES LAN_PEERS_PY
set -uo pipefail
kobrant=$1 sim=$2 find_resources=$3 peers=$4
python=/usr/bin/python3

skip() { echo "SKIP: $*"; exit 77; }
[[ $(id -u) -eq 0 ]] || skip "building network namespaces needs root"
command -v ip > /dev/null || skip "ip (iproute2) is not installed"
command -v nft > /dev/null || skip "nft (nftables) is not installed"
$python -c 'import zeroconf' 2> /dev/null || skip "python3-zeroconf is not installed"

failed=0
fail() { echo "FAIL: $*"; failed=1; }

source "$(dirname "$0")/network.sh"
scratch=$net_scratch
net_init && net_add ctl i1 i2 i3 i4 i5 || skip "cannot add network namespaces here"
net_attach "$ctl" ethA brA 192.0.2.1/24
net_attach "$ctl" ethB brB 198.51.100.1/24
# As "ip addr add" leaves an address without "broadcast +": the interface then reports no
# broadcast address (or the address itself), and discovery must use the subnet's.
ip -n "$ctl" addr flush dev ethB && ip -n "$ctl" addr add 198.51.100.1/24 dev ethB
net_attach "$i1" eth0 brA 192.0.2.10/24
net_attach "$i2" eth0 brB 198.51.100.2/24
net_attach "$i3" eth0 brA 192.0.2.3/24
net_attach "$i4" eth0 brA 192.0.2.9/24 203.0.113.9/24
net_attach "$i5" eth0 brB 198.51.100.4/24
# The kernel must hand the off-link answer to the program, whose own check is under test.
for key in all default ethA ethB; do ip netns exec "$ctl" sysctl -qw "net.ipv4.conf.$key.rp_filter=0"; done

start() { net_start "$@" || { echo "FAIL: $1 did not start"; exit 1; }; }
start sim "$i1" "$sim" --address 192.0.2.10 --vxi11 0 --hislip 4881 --socket 5025
start mdns_a "$i1" $python "$peers" mdns 192.0.2.10 scope-a hislip:4881 scpi-raw:5025
start mdns_b "$i2" $python "$peers" mdns 198.51.100.2 meter-b vxi-11:111 scpi-raw:5025
start port_zero "$i3" $python "$peers" portmap-zero
start rogue "$i4" $python "$peers" rogue 192.0.2.9 203.0.113.9
start quiet "$i5" $python "$peers" multicast-only 198.51.100.4 5026

expected="TCPIP0::192.0.2.10::5025::SOCKET
TCPIP0::192.0.2.10::hislip0,4881::INSTR
TCPIP0::192.0.2.10::inst0::INSTR
TCPIP0::198.51.100.2::5025::SOCKET
TCPIP0::198.51.100.2::inst0::INSTR
TCPIP0::198.51.100.4::5026::SOCKET"

now_ms() { echo $(($(date +%s%N) / 1000000)); }
# One window (1 s by default) for everything, with a margin for starting the process: one
# window per interface or per protocol would take twice as long at least.
bound_ms=2000

# listing LABEL: the no-argument listing in the controller, its LAN lines in $scratch/LABEL.
listing() {
  local began status took
  began=$(now_ms)
  ip netns exec "$ctl" "$kobrant" > "$scratch/$1.list" 2> "$scratch/$1.err"
  status=$?
  took=$(($(now_ms) - began))
  echo "$1: exit $status after $took ms"
  [[ $status -eq 1 ]] || fail "$1: the listing exited $status"
  ((took < bound_ms)) || fail "$1: the listing took $took ms"
  grep '^TCPIP' "$scratch/$1.list" > "$scratch/$1"
}

echo "== every instrument once, in address order, from both subnets"
listing all
if [[ "$(cat "$scratch/all")" != "$expected" ]]; then
  fail "the listing's LAN names differ"
  diff <(echo "$expected") "$scratch/all"
fi
grep -q '192\.0\.2\.3::' "$scratch/all" && fail "the port mapper without VXI-11 was listed"
grep -Eq '192\.0\.2\.9::|203\.0\.113\.9' "$scratch/all" && fail "a rogue answer was taken"

echo "== the listed names open as they are"
for name in $(grep '192\.0\.2\.10' "$scratch/all"); do
  answer=$(ip netns exec "$ctl" "$kobrant" "/a=$name" "/c=*IDN?" /l /t=3000) || fail "$name does not open"
  [[ -n $answer ]] || fail "$name gave no answer"
done

echo "== a search that cannot match a LAN name sends nothing"
ip netns exec "$ctl" nft -f - << 'RULES'
table inet kbd_count {
  chain out { type filter hook output priority 0; meta l4proto udp counter; }
}
RULES
sent_udp() { ip netns exec "$ctl" nft list chain inet kbd_count out | grep -o 'packets [0-9]*' | cut -d' ' -f2; }
ip netns exec "$ctl" "$find_resources" 'ASRL?*INSTR' > /dev/null
[[ $(sent_udp) -eq 0 ]] || fail "ASRL?*INSTR sent $(sent_udp) UDP packets"
ip netns exec "$ctl" "$find_resources" 'TCPIP?*INSTR' > "$scratch/instr"
[[ $(sent_udp) -gt 0 ]] || fail "TCPIP?*INSTR sent nothing"
want_instr=$(echo "$expected" | grep 'INSTR$')
[[ "$(cat "$scratch/instr")" == "$want_instr" ]] || fail "viFindRsrc TCPIP?*INSTR: $(cat "$scratch/instr")"
ip netns exec "$ctl" nft delete table inet kbd_count

echo "== a broadcast lost on the way is made good by the second within the window"
ip netns exec "$ctl" nft -f - << 'RULES'
table inet kbd_lose {
  chain out { type filter hook output priority 0; oifname "ethA" udp dport 111 quota until 100 bytes counter drop; }
}
RULES
listing lossy
grep -qx 'TCPIP0::192.0.2.10::inst0::INSTR' "$scratch/lossy" || fail "the simulator was missed after one lost broadcast"
lose_rules=$(ip netns exec "$ctl" nft list table inet kbd_lose)
[[ $lose_rules == *"counter packets 1 "* ]] || fail "not exactly one broadcast was lost: $lose_rules"
ip netns exec "$ctl" nft delete table inet kbd_lose

echo "== a stateful firewall that drops the answers neither stalls nor breaks the listing"
ip netns exec "$ctl" nft -f - << 'RULES'
table inet kbd_wall {
  chain in { type filter hook input priority 0; ct state established,related accept; meta l4proto udp drop; }
}
RULES
listing walled
[[ -s $scratch/walled ]] && fail "answers came through the firewall: $(cat "$scratch/walled")"
ip netns exec "$ctl" nft delete table inet kbd_wall

[[ $failed -eq 0 ]] && echo "LAN discovery: all cases passed"
exit $failed
