#!/usr/bin/env python3
"""pyvisa's default backend (the one that loads a VISA shared library through ctypes) pointed at
kobrant's built library, against kobrant-sim: list, open, write/read/query with pyvisa's own
termination settings, read_raw of a large binary block, timeout and termination attributes,
clear, close.

usage: pyvisa_drop_in.py LIBRARY SIMULATOR [simulator options...]
Exit 77 (skipped) when pyvisa is not installed.
"""
import subprocess
import sys

try:
    import pyvisa
    from pyvisa import constants
except ImportError:
    print("pyvisa is not installed (Debian: python3-pyvisa)")
    sys.exit(77)


def expect(what, got, wanted):
    if got != wanted:
        raise AssertionError(f"{what}: got {got!r}, wanted {wanted!r}")


def block(n):
    digits = str(n)
    return b"#" + str(len(digits)).encode() + digits.encode() + bytes(i % 256 for i in range(n)) + b"\n"


def exercise(rm, name):
    inst = rm.open_resource(name, read_termination="\n", write_termination="\n")
    inst.timeout = 2500
    expect("timeout", inst.timeout, 2500)
    expect("VI_ATTR_TMO_VALUE", inst.get_visa_attribute(constants.VI_ATTR_TMO_VALUE), 2500)
    expect("query", inst.query("*IDN?"), "KOBRANT,SIM-1,0,1.0")
    expect("termchar", inst.get_visa_attribute(constants.VI_ATTR_TERMCHAR), 10)
    expect("termchar enabled", inst.get_visa_attribute(constants.VI_ATTR_TERMCHAR_EN), 1)
    inst.write("ECHO? hello there")
    expect("read", inst.read(), "hello there")

    values = inst.query_binary_values("BLOCK? 1000", datatype="B")
    expect("binary values", list(values), [i % 256 for i in range(1000)])

    # A raw read of a large block: no termination character, so newlines inside it stay data.
    inst.read_termination = None
    expect("termchar disabled", inst.get_visa_attribute(constants.VI_ATTR_TERMCHAR_EN), 0)
    n = 3_000_000
    inst.write(f"BLOCK? {n}")
    expect("read_raw", bytes(inst.read_raw()), block(n))

    inst.timeout = 300
    inst.write("SILENT?")
    try:
        inst.read_raw()
        raise AssertionError("a silent instrument did not time out")
    except pyvisa.errors.VisaIOError as e:
        expect("timeout status", e.error_code, constants.StatusCode.error_timeout)
    inst.clear()
    inst.timeout = 2500
    inst.read_termination = "\n"
    expect("query after clear", inst.query("*IDN?"), "KOBRANT,SIM-1,0,1.0")
    inst.close()


def main():
    library, simulator, *options = sys.argv[1:]
    sim = subprocess.Popen([simulator, *options], stdout=subprocess.PIPE, text=True)
    try:
        names = [sim.stdout.readline().strip() for _ in range(max(1, options.count("--socket") +
                 options.count("--hislip") + options.count("--vxi11") + options.count("--serial")))]
        rm = pyvisa.ResourceManager(library)
        rm.list_resources()  # must not fail, whatever it finds on this machine
        for name in names:
            info = rm.resource_info(name)
            expect("resource class", info.resource_class, name.rsplit("::", 1)[1].upper())
            exercise(rm, name)
            print(f"ok: {name}")
        rm.close()
    finally:
        sim.terminate()
        sim.wait(timeout=10)


if __name__ == "__main__":
    main()
