#!/usr/bin/env python3
"""Checks a stored block answer byte for byte, so the benchmark never reports a truncated or
scrambled transfer as a fast one.

    check_block.py FILE N

FILE must hold exactly what kobrant-sim sends for `BLOCK? N`: `#<d><N>`, then N bytes where
byte i is i % 256, then a newline. Exit 0 when it does; otherwise one line on stderr saying
where it first differs, exit 1.
"""
import sys

# A multiple of 256, so every chunk of the data starts at pattern offset 0.
CHUNK = 256 * 4096
PATTERN = bytes(range(256)) * (CHUNK // 256)


def check(path, n):
    """Returns None when the file is right, otherwise a text saying what is wrong."""
    header = b"#%d%d" % (len(str(n)), n)
    expected_size = len(header) + n + 1
    with open(path, "rb") as f:
        got = f.read(len(header))
        if got != header:
            return "header is %r, expected %r" % (got[:32], header)
        buf = bytearray(CHUNK)
        view = memoryview(buf)
        offset = 0
        while offset < n:
            want = min(CHUNK, n - offset)
            got = f.readinto(view[:want])
            if got != want:
                return "file ends inside the data, at data byte %d of %d" % (offset + got, n)
            # bytearray against bytes compares with memcmp; a memoryview would go element
            # by element and take seconds per gigabyte.
            data = buf if want == CHUNK else buf[:want]
            if data != PATTERN[:want]:
                first = next(i for i in range(want) if buf[i] != PATTERN[i])
                return "data byte %d is 0x%02x, expected 0x%02x" % (
                    offset + first, buf[first], PATTERN[first])
            offset += want
        tail = f.read(2)
        if tail != b"\n":
            return "after the data: %r, expected a single newline (file size %d expected)" % (
                tail, expected_size)
    return None


def main(argv):
    if len(argv) != 3 or not argv[2].isdigit():
        print("usage: check_block.py FILE N", file=sys.stderr)
        return 2
    try:
        problem = check(argv[1], int(argv[2]))
    except OSError as e:
        problem = str(e)
    if problem is not None:
        print("%s: %s" % (argv[1], problem), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
