# Many peers at once through the DLL: one generator socket gives each
# datagram its own source address in 127/8 (IP_PKTINFO), so thousands of
# peers need no thousands of sockets. Every datagram is delivered, every
# peer is answered from the service port at its own address, and Stop is
# prompt with all of them in the table.
# Usage: blackbox_many_peers.py <netns_host> <runner: wine-run.sh, or env for a native host>
import os, re, socket, struct, sys, time  # noqa: E401

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from tq_host import Host  # noqa: E402

PEERS = 2000
WINDOW = 32  # datagrams in flight: never more than the receive queue holds
IP_PKTINFO = 8  # Linux; not exported by every Python


def peer_ip(i):  # 127.1.0.1 upwards, never .0 or .255 last
    return "127.1.%d.%d" % (i // 250, i % 250 + 1)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    port = free_port()
    # On an early failure the end of this script's output stops the host too.
    host = Host([sys.argv[2], sys.argv[1], str(port), "127.0.0.1"])
    host.wait_for(r"^INIT 0$", 60)
    # Bound to every address, to hear the answers at each peer's own one.
    gen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    gen.bind(("0.0.0.0", 0))
    gen.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    gen.settimeout(10)
    gen_port = gen.getsockname()[1]
    answered, sent = set(), 0
    deadline = time.monotonic() + 90
    while len(answered) < PEERS:
        assert time.monotonic() < deadline, "answers: %d of %d" % (len(answered), PEERS)
        while sent < PEERS and sent - len(answered) < WINDOW:
            ip = peer_ip(sent)
            source = struct.pack("=i4s4s", 0, socket.inet_aton(ip), bytes(4))
            gen.sendmsg([b"echo %s %d n%d" % (ip.encode(), gen_port, sent)],
                        [(socket.IPPROTO_IP, IP_PKTINFO, source)], 0, ("127.0.0.1", port))
            sent += 1
        data, ancillary, _, sender = gen.recvmsg(256, 64)
        assert sender == ("127.0.0.1", port), "answered from %r" % (sender,)
        i = int(data[1:])
        to = [socket.inet_ntoa(d[8:12]) for lvl, kind, d in ancillary if kind == IP_PKTINFO]
        assert to == [peer_ip(i)], "answer n%d went to %r" % (i, to)
        assert i not in answered, "n%d answered twice" % i
        answered.add(i)
    host.wait_for(r"accept peer=%d_%s, size=%d\b" % (gen_port, re.escape(peer_ip(PEERS - 1)), PEERS), 10)
    for line in (r"^RECV echo ", r"\] accept peer="):
        assert len(host.matching(line)) == PEERS, "%r: %d" % (line, len(host.matching(line)))

    start = time.monotonic()
    host.proc.stdin.close()  # the host stops the service and exits
    host.wait_for(r"^EXIT$", 30)
    stop_s = time.monotonic() - start
    host.stop()
    host.wait_for(r"\] stop service$", 1)
    print("%d peers: delivered and answered; stopped in %.2f s" % (PEERS, stop_s))
    assert stop_s < 5, "stop took %.2f s" % stop_s


if __name__ == "__main__":
    main()
