#!/usr/bin/env python3
"""kobrant-sim's serial instrument queried by a client nobody here wrote: pyvisa with its
pure-Python backend (which drives the port through pyserial), so the simulator's pseudo-terminal
cannot drift into a private dialect shared only with kobrant. Queries, a binary block holding
newlines and zero bytes, a timeout, and a second session after a stalled one.

usage: interop_pyvisa_py.py KOBRANT_SIM
Exit 77 (skipped) when pyvisa-py is not installed.
"""
import os
import subprocess
import sys
import tempfile

try:
    import pyvisa
    import pyvisa_py  # noqa: F401  (the backend '@py' needs it)
    from pyvisa import constants
except ImportError:
    print("pyvisa-py is not installed (Debian: python3-pyvisa-py)")
    sys.exit(77)

IDN = "KOBRANT,SIM-1,0,1.0"


def expect(what, got, wanted):
    if got != wanted:
        raise AssertionError(f"{what}: got {got!r}, wanted {wanted!r}")


def record_lines(path):
    with open(path) as f:
        return [line.split(" ", 2) for line in f.read().splitlines()]


def main():
    simulator = sys.argv[1]
    with tempfile.TemporaryDirectory() as work:
        record = os.path.join(work, "record")
        sim = subprocess.Popen([simulator, "--serial", "--record", record], stdout=subprocess.PIPE, text=True)
        try:
            name = sim.stdout.readline().strip()
            expect("resource line", name.startswith("ASRL/dev/pts/") and name.endswith("::INSTR"), True)
            rm = pyvisa.ResourceManager("@py")
            inst = rm.open_resource(name, read_termination="\n", write_termination="\n")
            inst.timeout = 2000
            expect("query", inst.query("*IDN?"), IDN)
            expect("echo", inst.query("ECHO? a b  c"), "a b  c")
            values = inst.query_binary_values("BLOCK? 100000", datatype="B")
            expect("block", bytes(values), bytes(i % 256 for i in range(100000)))

            inst.timeout = 300
            inst.write("SILENT?")
            try:
                inst.read()
                raise AssertionError("a silent instrument did not time out")
            except pyvisa.errors.VisaIOError as e:
                expect("timeout status", e.error_code, constants.StatusCode.error_timeout)

            # A stalled instrument must not outlive the session that stalled it.
            inst.write("STALL? 5")
            try:
                inst.read()
                raise AssertionError("a stalled instrument did not time out")
            except pyvisa.errors.VisaIOError:
                pass
            inst.close()
            inst = rm.open_resource(name, read_termination="\n", write_termination="\n")
            inst.timeout = 2000
            expect("query in a new session", inst.query("*IDN?"), IDN)
            inst.close()
            rm.close()

            lines = record_lines(record)
            expect("transports", {line[0] for line in lines}, {"SERIAL"})
            expect("first message", bytes.fromhex(lines[0][2]), b"*IDN?\n")
            print(f"ok: {name}, {len(lines)} messages")
        finally:
            sim.terminate()
            sim.wait(timeout=10)


if __name__ == "__main__":
    main()
