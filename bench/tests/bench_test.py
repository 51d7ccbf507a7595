#!/usr/bin/env python3
"""Tests for the benchmark's own pieces: a benchmark whose floor client or output check is
wrong reports nonsense with a straight face, so these catch the faults that would do that.

    python3 bench/tests/bench_test.py

min_client is built with cc and run against a scripted server on loopback that sends its
answer in chosen pieces; check_block.py and the helpers of bench/run are run as they are.
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BENCH_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, BENCH_DIR)

import check_block  # noqa: E402

# Bounds that only catch hangs; a correct run takes milliseconds.
HANG_LIMIT_S = 20


def pattern(n):
    """kobrant-sim's block data: byte i is i % 256, so 0x00 and 0x0A occur."""
    return (bytes(range(256)) * (n // 256 + 1))[:n]


def block(n):
    return b"#%d%d" % (len(str(n)), n) + pattern(n) + b"\n"


class scripted_server:
    """Accepts one connection on 127.0.0.1, reads one command line, sends the given pieces,
    then either hangs up or waits until the client closes (so a client that waits for the
    peer to close instead of reading the answer's length hangs and fails)."""

    def __init__(self, pieces, hang_up=False):
        self.pieces = pieces
        self.hang_up = hang_up
        self.received = b""
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        conn, _ = self.listener.accept()
        with conn:
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn.settimeout(HANG_LIMIT_S)
            while not self.received.endswith(b"\n"):
                data = conn.recv(4096)
                if not data:
                    return
                self.received += data
            for i, piece in enumerate(self.pieces):
                if i:
                    # Nothing shows when the client has read a piece; the pause only makes a
                    # separate read per piece likely. Results never depend on it.
                    time.sleep(0.02)
                conn.sendall(piece)
            if not self.hang_up:
                try:
                    while conn.recv(4096):
                        pass
                except OSError:
                    pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.thread.join(HANG_LIMIT_S)
        self.listener.close()


class min_client_case(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.binary = os.path.join(cls.tmp.name, "min_client")
        subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", cls.binary,
                        os.path.join(BENCH_DIR, "min_client.c")], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def run_client(self, server, command, outfile=None):
        argv = [self.binary, "127.0.0.1", str(server.port), command]
        if outfile is not None:
            argv.append(outfile)
        return subprocess.run(argv, capture_output=True, timeout=HANG_LIMIT_S)

    def out_path(self):
        return os.path.join(self.tmp.name, self.id().rsplit(".", 1)[-1] + ".bin")


class min_client_query_test(min_client_case):
    def test_prints_the_answer_line_and_sends_the_command_with_one_newline(self):
        for command in ("*IDN?", "*IDN?\n"):
            with self.subTest(command=command), \
                    scripted_server([b"KOBRANT,SIM-1,", b"0,1.0\n"]) as server:
                result = self.run_client(server, command)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout, b"KOBRANT,SIM-1,0,1.0\n")
            self.assertEqual(server.received, b"*IDN?\n")

    def test_fails_when_the_peer_hangs_up_before_the_newline(self):
        with scripted_server([b"KOBRANT,SIM"], hang_up=True) as server:
            result = self.run_client(server, "*IDN?")
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"KOBRANT,SIM")


    def test_streams_a_line_longer_than_its_buffer_and_stops_at_the_newline(self):
        line = bytes(ord("A") + i % 26 for i in range(500000)) + b"\n"
        with scripted_server([line[:1000], line[1000:], b"next line\n"]) as server:
            result = self.run_client(server, "TEXT? 500000")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, line)


class interleave_test(unittest.TestCase):
    """bench/interleave.py must refuse a run whose output is not the expected one."""

    def run_plan(self, command, copies=None):
        with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as plan:
            json.dump({"rounds": 2, "warmup": 0, "cpu": None, "copies": copies, "commands": [command]}, plan)
        try:
            return subprocess.run([sys.executable, os.path.join(BENCH_DIR, "interleave.py"), plan.name],
                                  capture_output=True, text=True, timeout=HANG_LIMIT_S)
        finally:
            os.unlink(plan.name)

    def test_times_a_run_that_delivers_what_was_asked(self):
        result = self.run_plan({"name": "echo", "argv": ["/bin/echo", "ABC"], "stdout": "pipe",
                                "check": "ABC", "size": 4})
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout)["results"]["echo"]["runs"], 2)

    def test_runs_every_copy_of_a_program_and_checks_each(self):
        result = self.run_plan({"name": "echo", "argv": ["/bin/echo", "ABC"], "stdout": "pipe",
                                "check": "ABC", "size": 4}, copies=3)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout)["results"]["echo"]["runs"], 6)
        result = self.run_plan({"name": "false", "argv": ["/bin/false"], "stdout": "null"}, copies=2)
        self.assertNotEqual(result.returncode, 0)

    def test_refuses_wrong_output_or_status(self):
        for name, command in (
                ("short", {"argv": ["/bin/echo", "ABC"], "stdout": "pipe", "size": 5}),
                ("other text", {"argv": ["/bin/echo", "XYZ"], "stdout": "pipe", "check": "ABC"}),
                ("exit status", {"argv": ["/bin/false"], "stdout": "null"})):
            with self.subTest(name):
                result = self.run_plan(dict(command, name=name))
                self.assertNotEqual(result.returncode, 0)


class min_client_block_test(min_client_case):
    def assert_stores(self, pieces, expected):
        path = self.out_path()
        with scripted_server(pieces) as server:
            result = self.run_client(server, "BLOCK? %d" % (len(expected) - 3), path)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), expected)
        self.assertEqual(server.received.split(b" ")[0], b"BLOCK?")

    def test_stores_every_byte_when_header_and_data_arrive_in_pieces(self):
        data = block(300)
        # Header split after '#', after the digit count and inside the length; data split
        # right after a 0x0A byte.
        self.assert_stores([data[:1], data[1:2], data[2:4], data[4:16], data[16:]], data)

    def test_stores_a_block_spanning_many_buffers(self):
        # Three 204810-byte buffers and a bit: the last read must ask for no more than is left.
        data = block(3 * 204810 + 7)
        self.assert_stores([data], data)

    def test_stores_an_empty_block(self):
        self.assert_stores([b"#10\n"], b"#10\n")

    def test_leaves_out_bytes_after_the_block(self):
        path = self.out_path()
        with scripted_server([block(20) + b"NEXT\n"]) as server:
            result = self.run_client(server, "BLOCK? 20", path)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), block(20))

    def test_fails_on_answers_that_are_not_a_whole_block(self):
        cases = {
            "peer hangs up mid-block": [block(1000)[:600]],
            "error line instead of a block": [b'-222,"Data out of range"\n'],
            "indefinite-length block": [b"#0" + pattern(10) + b"\n"],
            "no newline after the data": [block(10)[:-1] + b"X"],
        }
        for name, pieces in cases.items():
            path = self.out_path()
            with self.subTest(name), scripted_server(pieces, hang_up=True) as server:
                result = self.run_client(server, "BLOCK? 1000", path)
                self.assertNotEqual(result.returncode, 0)
                # What did arrive is kept, as kobrant keeps it.
                with open(path, "rb") as f:
                    self.assertEqual(f.read(), b"".join(pieces))

    def test_fails_when_the_file_cannot_be_written(self):
        with scripted_server([block(1000)]) as server:
            result = self.run_client(server, "BLOCK? 1000", "/dev/full")
        self.assertNotEqual(result.returncode, 0)


class check_block_test(unittest.TestCase):
    # Longer than one comparison chunk, so chunk boundaries are crossed.
    N = 2 * check_block.CHUNK + 5

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.tmp.name, "block.bin")
        self.good = block(self.N)

    def tearDown(self):
        self.tmp.cleanup()

    def check(self, content, n=None):
        with open(self.path, "wb") as f:
            f.write(content)
        return check_block.check(self.path, self.N if n is None else n)

    def test_accepts_exactly_the_simulator_answer(self):
        self.assertIsNone(self.check(self.good))
        self.assertIsNone(self.check(b"#10\n", 0))

    def test_rejects_damaged_files(self):
        header_len = len(self.good) - self.N - 1
        flipped = {}
        for at in (0, check_block.CHUNK - 1, check_block.CHUNK, self.N - 1):
            damaged = bytearray(self.good)
            damaged[header_len + at] ^= 0xFF
            flipped["byte %d flipped" % at] = bytes(damaged)
        cases = dict(flipped, **{
            "one byte short": self.good[:-2] + b"\n",
            "truncated mid-data": self.good[:check_block.CHUNK],
            "one byte extra": self.good + b"\n",
            "no closing newline": self.good[:-1],
            "another length in the header": block(self.N - 1) + b"\n",
            # Same bytes, same size, misplaced: what a client that reorders reads produces.
            "data rotated by 100 bytes": self.good[:header_len]
            + self.good[header_len + 100:-1] + self.good[header_len:header_len + 100] + b"\n",
        })
        for name, content in cases.items():
            with self.subTest(name):
                self.assertIsNotNone(self.check(content))


class run_helpers_test(unittest.TestCase):
    """The arithmetic of bench/run, called by sourcing the script (main does not run)."""

    def bash(self, snippet):
        result = subprocess.run(
            ["bash", "-c", 'source "$1" && ' + snippet, "bash", os.path.join(BENCH_DIR, "run")],
            capture_output=True, text=True, timeout=HANG_LIMIT_S)
        return result.returncode, result.stdout.strip()

    def test_median_sorts_numerically_and_averages_the_middle_pair(self):
        self.assertEqual(self.bash("median 10 9 100"), (0, "10"))
        self.assertEqual(self.bash("median 4 1 3 2"), (0, "2.5"))
        self.assertEqual(self.bash("median 0.5 0.25"), (0, "0.375"))
        self.assertEqual(self.bash("median 0.003 0.0021 0.01"), (0, "0.003"))

    def test_block_size_counts_header_data_and_newline(self):
        for n, size in ((999999999, 1000000011), (100000000, 100000012), (0, 4), (7, 11)):
            with self.subTest(n=n):
                self.assertEqual(self.bash("block_size %d" % n), (0, str(size)))
                self.assertEqual(size, len(b"#%d%d" % (len(str(n)), n)) + n + 1)

    def test_parse_socket_resource_takes_host_and_port(self):
        show = 'parse_socket_resource "%s" && echo "$sock_host $sock_port"'
        self.assertEqual(self.bash(show % "TCPIP0::127.0.0.1::40123::SOCKET"),
                         (0, "127.0.0.1 40123"))
        self.assertEqual(self.bash(show % "tcpip::[::1]::5025::socket"), (0, "::1 5025"))
        self.assertNotEqual(self.bash(show % "TCPIP0::127.0.0.1::inst0::INSTR")[0], 0)

    def test_each_resource_line_goes_to_its_own_transport(self):
        # The simulator prints one line per transport; a line claimed by the wrong one would
        # time one transport's client against the other's server.
        lines = {"socket": "TCPIP0::127.0.0.1::40123::SOCKET", "vxi11": "TCPIP0::127.0.0.1::inst0::INSTR"}
        others = ["TCPIP0::127.0.0.1::hislip0::INSTR", "ASRL/dev/pts/3::INSTR"]
        for transport in lines:
            for name, line in list(lines.items()) + [("other", o) for o in others]:
                with self.subTest(transport=transport, line=line):
                    code, _ = self.bash('claims_resource_%s "%s"' % (transport, line))
                    self.assertEqual(code == 0, name == transport)


if __name__ == "__main__":
    unittest.main()
