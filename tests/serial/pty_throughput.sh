#!/usr/bin/env bash
# Throughput of a large block over a pseudo-terminal: kobrant reading "BLOCK? N" from
# kobrant-sim --serial into /o=, beside two readings of the same bytes through a pty pair that
# involve no VISA at all: head -c on the simulator's own port, and head -c on a pty that socat
# feeds from a file. Medians of whole processes (hyperfine), peak RSS (/usr/bin/time).
#
#   tests/serial/pty_throughput.sh [BUILD_DIR] [BYTES] [RUNS]
#
# BUILD_DIR defaults to build-serial next to this tree, BYTES to 10000000, RUNS to 10.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build-serial}
bytes=${2:-10000000}
runs=${3:-10}
kobrant=$build/kobrant
sim=$build/sim/kobrant-sim
for tool in hyperfine socat /usr/bin/time python3 "$kobrant" "$sim"; do
  command -v "$tool" > /dev/null || { echo "missing: $tool" >&2; exit 77; }
done

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2> /dev/null || true
  [ -f "$work/socat.pid" ] && kill "$(cat "$work/socat.pid")" 2> /dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The answer as the simulator sends it: "#<d><n>", byte i = i % 256, newline.
python3 - "$bytes" > "$work/expected.bin" << 'EOF'
import sys
n = int(sys.argv[1])
pattern = bytes(range(256)) * (n // 256 + 1)
sys.stdout.buffer.write(b"#%d%d" % (len(str(n)), n) + pattern[:n] + b"\n")
EOF
total=$(stat -c %s "$work/expected.bin")

"$sim" --serial > "$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
resource=$(head -n 1 "$work/sim.out")
port=${resource#ASRL}
port=${port%::INSTR}

check() {  # file label
  cmp -s "$1" "$work/expected.bin" || { echo "$2: output differs from the expected block" >&2; exit 1; }
}

# socat writes the file into a fresh pty master and stays (ignoreeof) until killed, so the
# reader gets every byte before the pty goes away.
socat_prepare="kill \$(cat $work/socat.pid 2> /dev/null) 2> /dev/null; rm -f $work/pty;
  setsid socat -u FILE:$work/expected.bin,ignoreeof PTY,link=$work/pty,rawer > /dev/null 2>&1 &
  echo \$! > $work/socat.pid; while [ ! -e $work/pty ]; do sleep 0.01; done"

kobrant_cmd="$kobrant /a=$resource '/c=BLOCK? $bytes' /o=$work/kobrant.bin"
sim_head_cmd="printf 'BLOCK? $bytes\n' > $port; head -c $total $port > $work/sim_head.bin"
socat_head_cmd="head -c $total $work/pty > $work/socat_head.bin"

# hyperfine takes one --prepare for all commands or one per command, in order.
hyperfine --style basic --warmup 2 --runs "$runs" --export-json "$work/times.json" \
  --prepare true --prepare true --prepare "$socat_prepare" \
  -n kobrant "$kobrant_cmd" -n "sim pty + head" "$sim_head_cmd" -n "socat pty + head" "$socat_head_cmd" > /dev/null

check "$work/kobrant.bin" kobrant
check "$work/sim_head.bin" "sim pty + head"
check "$work/socat_head.bin" "socat pty + head"

rss_kobrant=$(/usr/bin/time -f %M sh -c "$kobrant_cmd > /dev/null" 2>&1 | tail -n 1)
check "$work/kobrant.bin" kobrant

python3 - "$work/times.json" "$total" "$rss_kobrant" << 'EOF'
import json, statistics, sys
results = json.load(open(sys.argv[1]))["results"]
total = int(sys.argv[2])
rss = int(sys.argv[3])
medians = {r["command"]: statistics.median(r["times"]) for r in results}
reference = medians["socat pty + head"]
print(f"block of {total} bytes over a pseudo-terminal, median of {len(results[0]['times'])} runs")
print(f"{'case':<18} {'median s':>9} {'MB/s':>8} {'vs socat':>9}")
for name, t in medians.items():
    print(f"{name:<18} {t:9.4f} {total / t / 1e6:8.1f} {t / reference:9.2f}")
print(f"kobrant peak RSS: {rss / 1024:.1f} MB")
EOF
