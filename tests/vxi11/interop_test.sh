#!/bin/bash
# Interoperability: kobrant-sim's VXI-11 server queried by clients nobody here wrote, pyvisa
# with its pure-Python backend and `lxi scpi`, so the simulator (and through it kobrant) cannot
# drift into a private dialect. Runs in a network namespace of its own, where the simulator
# serves the port mapper on port 111. Exits 77 (CTest: skipped) when no peer is installed or
# no namespace can be made.
# Usage: interop_test.sh KOBRANT_SIM
set -u

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAILED: $*"
    exit 1
}

sim_bin=${1:?usage: interop_test.sh KOBRANT_SIM}
here=$(cd "$(dirname "$0")" && pwd)

if [ -z "${KOBRANT_INTEROP_NETNS:-}" ]; then
    command -v unshare >/dev/null || skip "unshare (util-linux) is not installed"
    command -v ip >/dev/null || skip "ip (iproute2) is not installed"
    unshare -n true 2>/dev/null || skip "cannot make a network namespace (needs root)"
    exec env KOBRANT_INTEROP_NETNS=1 unshare -n -- "$0" "$@"
fi

ip link set lo up || fail "cannot bring loopback up"

python=/usr/bin/python3
have_pyvisa=no
"$python" -c 'import pyvisa, pyvisa_py' 2>/dev/null && have_pyvisa=yes
have_lxi=no
command -v lxi >/dev/null && have_lxi=yes
[ $have_pyvisa = no ] && [ $have_lxi = no ] &&
    skip "neither pyvisa-py (python3-pyvisa-py) nor lxi (lxi-tools) is installed"

work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$sim_bin" --vxi11 0 --record "$work/record" >"$work/resource" &
sim_pid=$!
for _ in $(seq 100); do
    [ -s "$work/resource" ] && break
    kill -0 "$sim_pid" 2>/dev/null || fail "kobrant-sim exited before listening"
    sleep 0.1
done
resource=$(head -n 1 "$work/resource")
[ "$resource" = "TCPIP0::127.0.0.1::inst0::INSTR" ] || fail "unexpected resource line: '$resource'"

# The record as "<end> <text>" lines, for messages that are text.
record_text() {
    "$python" -c '
import sys
for line in open(sys.argv[1]):
    transport, end, data = line.rstrip("\n").split(" ")
    print(transport, end, bytes.fromhex(data).decode(errors="replace").replace("\r", "\\r").replace("\n", "\\n"))
' "$work/record"
}

if [ $have_pyvisa = yes ]; then
    : >"$work/record"
    "$python" "$here/interop_pyvisa.py" "$resource" || fail "pyvisa against kobrant-sim"
    record_text | grep -qxF 'VXI11 END *IDN?\r\n' || { record_text; fail "pyvisa's *IDN? is not one write with END"; }
else
    echo "SKIPPED peer: pyvisa-py (python3-pyvisa-py) is not installed"
fi

if [ $have_lxi = yes ]; then
    : >"$work/record"
    # lxi exits 0 whatever happened: the answer itself is the check.
    got=$(timeout 30 lxi scpi -a 127.0.0.1 '*IDN?') || fail "lxi scpi *IDN? failed"
    [ "$got" = "KOBRANT,SIM-1,0,1.0" ] || fail "lxi scpi *IDN? printed '$got'"
    echo "lxi: *IDN?: ok"
    expected=$("$python" -c 'print("".join(chr(65 + i % 26) for i in range(100000)))')
    got=$(timeout 30 lxi scpi -a 127.0.0.1 'TEXT? 100000') || fail "lxi scpi TEXT? failed"
    [ "$got" = "$expected" ] || fail "lxi scpi TEXT? 100000 printed ${#got} bytes, not the 100000-letter answer"
    echo "lxi: TEXT? 100000: ok"
    record_text | grep -q '^VXI11 END [*]IDN?' || { record_text; fail "lxi's *IDN? did not arrive with END"; }
else
    echo "SKIPPED peer: lxi (lxi-tools) is not installed"
fi
echo "PASSED"
