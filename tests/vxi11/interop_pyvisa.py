# pyvisa with its pure-Python backend against kobrant-sim over VXI-11: a query, a binary block
# read raw, a text answer longer than pyvisa's read chunk, and the instrument's timeout.
# Usage: interop_pyvisa.py RESOURCE; exits non-zero with a message on the first mismatch.
import sys

import pyvisa

IDN = "KOBRANT,SIM-1,0,1.0\n"


def block_answer(n):
    digits = str(n)
    return b"#" + str(len(digits)).encode() + digits.encode() + bytes(i % 256 for i in range(n)) + b"\n"


def text_pattern(n):
    return "".join(chr(ord("A") + i % 26) for i in range(n))


def check(name, got, expected):
    if got != expected:
        shown = repr(got[:80]) if len(got) > 80 else repr(got)
        sys.exit(f"pyvisa: {name}: got {shown} ({len(got)} bytes), expected {len(expected)} bytes")
    print(f"pyvisa: {name}: ok")


def main():
    resource = sys.argv[1]
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(resource)
    inst.timeout = 5000
    check("*IDN?", inst.query("*IDN?"), IDN)

    inst.write("BLOCK? 100000")
    check("BLOCK? 100000 read raw", inst.read_raw(), block_answer(100000))

    check("TEXT? 300000", inst.query("TEXT? 300000"), text_pattern(300000) + "\n")

    inst.timeout = 300
    inst.write("SILENT?")
    try:
        inst.read()
        sys.exit("pyvisa: SILENT?: a read that should time out returned")
    except pyvisa.errors.VisaIOError as error:
        check("SILENT? times out", error.error_code, pyvisa.constants.StatusCode.error_timeout)
    inst.close()
    rm.close()


main()
