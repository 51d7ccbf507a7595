#!/usr/bin/python3
"""Peers for the LAN discovery test, each run in a network namespace of the test's own.

  lan_peers.py mdns ADDRESS HOST SERVICE:PORT...   a python3-zeroconf responder announcing the
                                                   services (vxi-11, hislip, scpi-raw) of ADDRESS
  lan_peers.py portmap-zero                        a port mapper with no VXI-11 server: port 0
  lan_peers.py multicast-only ADDRESS PORT         an mDNS responder that only multicasts its
                                                   answer: _scpi-raw._tcp on PORT
  lan_peers.py rogue ON_LINK OFF_LINK              answers every port-mapper call and mDNS query
                                                   with what discovery must ignore: a wrong XID
                                                   or ID, a reply from OFF_LINK (an address of
                                                   another subnet), and malformed messages

Each prints "ready" once it listens, then serves until killed.
"""
import socket
import struct
import sys
import time

MDNS_GROUP = "224.0.0.251"


def ready():
    print("ready", flush=True)


def udp(address, port, group_on=None):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((address, port))
    if group_on:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                     socket.inet_aton(MDNS_GROUP) + socket.inet_aton(group_on))
    return s


# ONC RPC: a GETPORT call's xid, and replies to it.
def rpc_xid(call):
    return struct.unpack(">I", call[:4])[0] if len(call) >= 4 else None


def getport_reply(xid, port):
    return struct.pack(">IIIIIII", xid, 1, 0, 0, 0, 0, port)


# DNS: names without compression, and a response with PTR, SRV and A records.
def name(text):
    out = b""
    for label in text.rstrip(".").split("."):
        out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def record(owner, rtype, rdata, ttl=120):
    return name(owner) + struct.pack(">HHIH", rtype, 0x8001, ttl, len(rdata)) + rdata


def service_response(query_id, service, instance, host, address, port):
    records = [
        record(service, 12, name(instance)),
        record(instance, 33, struct.pack(">HHH", 0, 0, port) + name(host)),
        record(host, 1, socket.inet_aton(address)),
    ]
    return struct.pack(">HHHHHH", query_id, 0x8400, 0, 1, 0, 2) + b"".join(records)


def is_query(message):
    return len(message) >= 12 and not message[2] & 0x80


def run_mdns(address, host, services):
    from zeroconf import IPVersion, ServiceInfo, Zeroconf
    zc = Zeroconf(interfaces=[address], ip_version=IPVersion.V4Only)
    for i, item in enumerate(services):
        kind, port = item.split(":")
        info = ServiceInfo(f"_{kind}._tcp.local.", f"{host} {i}._{kind}._tcp.local.",
                           addresses=[socket.inet_aton(address)], port=int(port), server=f"{host}.local.")
        zc.register_service(info)
    ready()
    while True:
        time.sleep(3600)


def run_portmap_zero():
    s = udp("0.0.0.0", 111)
    ready()
    while True:
        call, sender = s.recvfrom(2048)
        xid = rpc_xid(call)
        if xid is not None:
            s.sendto(getport_reply(xid, 0), sender)


def run_multicast_only(address, port):
    s = udp("0.0.0.0", 5353, group_on=address)
    out = udp(address, 5353)
    out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
    out.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
    ready()
    while True:
        message, _ = s.recvfrom(9000)
        if is_query(message) and b"_scpi-raw" in message:
            response = service_response(0, "_scpi-raw._tcp.local", "quiet._scpi-raw._tcp.local",
                                        "quiet.local", address, int(port))
            out.sendto(response, (MDNS_GROUP, 5353))


def run_rogue(on_link, off_link):
    portmap_in = udp("0.0.0.0", 111)
    portmap_on = udp(on_link, 0)
    portmap_off = udp(off_link, 0)
    mdns_in = udp("0.0.0.0", 5353, group_on=on_link)
    mdns_on = udp(on_link, 5353)
    mdns_off = udp(off_link, 5353)
    ready()
    import select
    while True:
        readable, _, _ = select.select([portmap_in, mdns_in], [], [])
        if portmap_in in readable:
            call, sender = portmap_in.recvfrom(2048)
            xid = rpc_xid(call)
            if xid is not None:
                portmap_on.sendto(getport_reply(xid ^ 1, 1024), sender)      # another call's XID
                portmap_off.sendto(getport_reply(xid, 1025), sender)         # from off-link
                portmap_on.sendto(getport_reply(xid, 1026)[:-2], sender)     # cut short
                portmap_on.sendto(getport_reply(xid, 70000), sender)         # no port
                portmap_on.sendto(struct.pack(">IIIIIII", xid, 1, 0, 0, 0, 1, 1027), sender)  # refused
        if mdns_in in readable:
            query, sender = mdns_in.recvfrom(9000)
            if not is_query(query) or sender[1] == 5353:
                continue
            query_id = struct.unpack(">H", query[:2])[0]
            answer = lambda i, a: service_response(i, "_scpi-raw._tcp.local", "rogue._scpi-raw._tcp.local",
                                                   "rogue.local", a, 5025)
            mdns_on.sendto(answer(query_id ^ 1, on_link), sender)              # another query's ID
            mdns_off.sendto(answer(query_id, off_link), sender)                # from off-link
            portmap_on.sendto(answer(query_id, on_link), sender)               # not from the mDNS port
            looped = struct.pack(">HHHHHH", query_id, 0x8400, 0, 1, 0, 0) + b"\xc0\x0c"
            mdns_on.sendto(looped + struct.pack(">HHIH", 12, 1, 120, 2) + b"\xc0\x0c", sender)  # a name loop
            mdns_on.sendto(answer(query_id, on_link)[:-3], sender)             # cut short


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "mdns":
        run_mdns(args[0], args[1], args[2:])
    elif mode == "portmap-zero":
        run_portmap_zero()
    elif mode == "multicast-only":
        run_multicast_only(*args)
    elif mode == "rogue":
        run_rogue(*args)
    else:
        sys.exit(f"unknown mode {mode}")


if __name__ == "__main__":
    main()
