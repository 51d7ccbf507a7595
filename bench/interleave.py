#!/usr/bin/env python3
"""Times commands against each other in interleaved rounds, the order reversed every other
round, so that drift on a busy machine reaches them all alike. Prints one JSON object: for each
command its wall times, user+system CPU times (from wait4, so load on other CPUs barely counts)
and the medians, minima and maxima of both, plus the load average before and after.

    interleave.py PLAN.json

PLAN: {"rounds": N, "warmup": W, "cpu": C or null, "copies": K or null, "commands": [{"name": ..., "argv": [...],
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

How long a short program takes to start also depends on where the system happened to put the
pages of its file in memory: byte-identical copies of one program differ by a few percent here,
as much as the differences being measured. With "copies" K, each program file is copied K times
and every copy takes its turn in each round; a command's median is then the mean of its copies'
medians, its minimum and maximum those of all its runs.
"""
import json
import os
import shutil
import statistics
import sys
import tempfile
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


def combined(series):
    """The mean of the series' medians, and the extremes of them all."""
    return {"median": statistics.mean(statistics.median(values) for values in series),
            "min": min(min(values) for values in series), "max": max(max(values) for values in series)}


def with_copies(commands, copies, folder):
    """Each command once per copy of its program, named (command, copy)."""
    runs = []
    for c in commands:
        for k in range(copies):
            program = os.path.join(folder, f"{len(runs)}-{os.path.basename(c['argv'][0])}")
            shutil.copy2(c["argv"][0], program)
            runs.append((c, k, dict(c, argv=[program] + c["argv"][1:])))
    return runs


def main():
    plan = json.load(open(sys.argv[1]))
    with tempfile.TemporaryDirectory(prefix="interleave-") as folder:
        measure(plan, folder)


def measure(plan, folder):
    commands = plan["commands"]
    copies = plan.get("copies") or 1
    runs = with_copies(commands, copies, folder) if copies > 1 else [(c, 0, c) for c in commands]
    cpu = plan.get("cpu")
    if cpu is not None:
        # Children inherit the affinity of the process that spawns them.
        os.sched_setaffinity(0, {int(cpu)})
    load_before = os.getloadavg()[0]
    walls = {(c["name"], k): [] for c, k, _ in runs}
    cpus = {(c["name"], k): [] for c, k, _ in runs}
    for round_no in range(plan.get("warmup", 1) + plan["rounds"]):
        order = runs if round_no % 2 == 0 else list(reversed(runs))
        for c, k, command in order:
            wall, cpu_time = run_once(command)
            if round_no >= plan.get("warmup", 1):
                walls[c["name"], k].append(wall)
                cpus[c["name"], k].append(cpu_time)
    result = {"load_before": load_before, "load_after": os.getloadavg()[0], "results": {}}
    for c in commands:
        keys = [(c["name"], k) for k in range(copies)]
        result["results"][c["name"]] = {"wall": combined([walls[key] for key in keys]),
                                        "cpu": combined([cpus[key] for key in keys]),
                                        "runs": sum(len(walls[key]) for key in keys)}
    json.dump(result, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main()
