#!/usr/bin/env python3
"""One query over a raw socket with pyvisa's pure-Python backend: the reference a script
writer would otherwise reach for. The benchmark times this whole process, interpreter start and
imports included, because that is what a user pays per call.

    pyvisa_query.py TCPIP0::127.0.0.1::5025::SOCKET ['*IDN?']
"""
import sys

import pyvisa


def main(argv):
    if len(argv) not in (2, 3):
        print("usage: pyvisa_query.py RESOURCE [COMMAND]", file=sys.stderr)
        return 2
    command = argv[2] if len(argv) == 3 else "*IDN?"
    rm = pyvisa.ResourceManager("@py")
    try:
        inst = rm.open_resource(argv[1], read_termination="\n", write_termination="\n")
        try:
            print(inst.query(command))
        finally:
            inst.close()
    finally:
        rm.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
