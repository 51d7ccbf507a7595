#!/usr/bin/env python3
"""Sorts valgrind memcheck logs (one per kobrant process, written by scripts/valgrind) into
clean and faulty: prints each faulty log and exits 1 when there is one.

Usage: scripts/valgrind_log.py LOG...
"""
import re
import sys

# Descriptors the parent handed down (the test harness, ctest's own log) are not kobrant's.
INHERITED = "<inherited from parent>"


def faults(text):
    """The lines of a log that report an error, a leak or a descriptor kobrant left open."""
    # Each line is "==PID== text". A descriptor reads "Open file descriptor N: what", then
    # where it came from. valgrind warns in three lines of ioctls it does not model (the serial
    # port's TIOCEXCL and TIOCNXCL): that is about valgrind, not about kobrant.
    lines = [re.sub(r"^==\d+== ?", "", line).rstrip() for line in text.splitlines()]
    found = []
    skip = 0
    for i, line in enumerate(lines):
        if line.startswith("Warning: noted but unhandled ioctl"):
            skip = 2
            continue
        if skip:
            skip -= 1
            continue
        if not line or line.startswith("FILE DESCRIPTORS:") or line.strip() == INHERITED:
            continue
        if line.startswith("Open file descriptor"):
            if i + 1 < len(lines) and lines[i + 1].strip() == INHERITED:
                continue
        found.append(line)
    return found


def main(paths):
    bad = 0
    for path in paths:
        with open(path, errors="replace") as f:
            text = f.read()
        if faults(text):
            bad += 1
            print("== " + path)
            print(text)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
