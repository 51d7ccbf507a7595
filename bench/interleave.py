#!/usr/bin/env python3
"""Times commands against each other in interleaved rounds, the order reversed every other
round, so that drift on a busy machine reaches them all alike. Prints one JSON object: for each
command its wall times, user+system CPU times (from wait4, so load on other CPUs barely counts)
and the medians, minima and maxima of both, plus the load average before and after.

    interleave.py PLAN.json

PLAN: {"rounds": N, "warmup": W, "cpu": C or null, "commands": [{"name": ..., "argv": [...],
"stdout": "null" | "pipe" | "file:PATH", "stdin": "PATH" or null, "output_file": PATH or null,
"check": "text" or null, "size": BYTES or null, "status": EXIT or null,
"printed_ns": false}]}

stdout "pipe" drains the command's output through a pipe as fast as it comes, the way a
reader such as `cat > /dev/null` would; "file:PATH" writes it into PATH (truncated first, the
file removed after each run). "output_file" names a file the command writes itself (kobrant
/o=), checked and removed the same way. "cpu" pins every command to that CPU. A command that
exits otherwise than with "status" (default 0), or whose output does not start with "check"
or does not hold exactly "size" bytes, stops the whole measurement with an error: a broken run
must never pass for a fast one. With "printed_ns" (and stdout "pipe") the time of a run is not
the process's wall time but the number of nanoseconds it prints, for programs that time their
own inner loop.
"""
import json
import os
import statistics
import sys
import time


def run_once(command):
    argv = command["argv"]
    sink = command.get("stdout", "null")
    stdin_path = command.get("stdin")
    check = command.get("check")
    read_end = None
    captured = bytearray()
    received = 0
    actions = []
    if stdin_path:
        fd_in = os.open(stdin_path, os.O_RDONLY)
    else:
        fd_in = os.open(os.devnull, os.O_RDONLY)
    actions.append((os.POSIX_SPAWN_DUP2, fd_in, 0))
    out_path = command.get("output_file")
    if sink == "null":
        fd_out = os.open(os.devnull, os.O_WRONLY)
    elif sink == "pipe":
        read_end, fd_out = os.pipe()
    elif sink.startswith("file:"):
        out_path = sink[5:]
        fd_out = os.open(out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    else:
        raise SystemExit(f"unknown stdout {sink}")
    actions.append((os.POSIX_SPAWN_DUP2, fd_out, 1))
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    os.close(fd_in)
    os.close(fd_out)
    if read_end is not None:
        while True:
            chunk = os.read(read_end, 1 << 20)
            if not chunk:
                break
            received += len(chunk)
            if (check or command.get("printed_ns")) and len(captured) < 4096:
                captured += chunk[:4096]
        os.close(read_end)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if out_path:
        received = os.stat(out_path).st_size
        with open(out_path, "rb") as f:
            captured += f.read(4096)
        os.unlink(out_path)
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != command.get("status", 0):
        raise SystemExit(f"{command['name']}: exit status {status}")
    if check and not captured.startswith(check.encode()):
        raise SystemExit(f"{command['name']}: output does not start with {check!r}: {bytes(captured[:200])!r}")
    if command.get("size") is not None and received != command["size"]:
        raise SystemExit(f"{command['name']}: {received} bytes of output, expected {command['size']}")
    if command.get("printed_ns"):
        try:
            wall = float(captured.decode().split()[0]) / 1e9
        except (ValueError, IndexError):
            raise SystemExit(f"{command['name']}: printed no time: {bytes(captured[:200])!r}")
    return wall, usage.ru_utime + usage.ru_stime


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


def main():
    plan = json.load(open(sys.argv[1]))
    commands = plan["commands"]
    cpu = plan.get("cpu")
    if cpu is not None:
        # Children inherit the affinity of the process that spawns them.
        os.sched_setaffinity(0, {int(cpu)})
    load_before = os.getloadavg()[0]
    walls = {c["name"]: [] for c in commands}
    cpus = {c["name"]: [] for c in commands}
    for round_no in range(plan.get("warmup", 1) + plan["rounds"]):
        order = commands if round_no % 2 == 0 else list(reversed(commands))
        for command in order:
            wall, cpu_time = run_once(command)
            if round_no >= plan.get("warmup", 1):
                walls[command["name"]].append(wall)
                cpus[command["name"]].append(cpu_time)
    result = {"load_before": load_before, "load_after": os.getloadavg()[0], "results": {}}
    for c in commands:
        result["results"][c["name"]] = {"wall": summary(walls[c["name"]]), "cpu": summary(cpus[c["name"]]),
                                        "runs": len(walls[c["name"]])}
    json.dump(result, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main()
