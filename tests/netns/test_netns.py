"""Address discovery and multi-socket behaviour on real test hosts.

Runs inside a network namespace prepared by in_namespace.sh, with the DLL
under this namespace's own Wine server. Peers live in a second namespace
(PEER_PID) and reach the service over veth pairs.
"""
import ctypes
import json
import os
import re
import socket
import subprocess
import threading
import time
import unittest

PHASE = os.environ["TQ_NETNS_PHASE"]
HOST_EXE = os.environ["HOST_EXE"]
PEER_PID = os.environ.get("PEER_PID", "")
WINE = "/usr/lib/wine/wine64"
LINE = re.compile(r"^LOG (\d) \[[\d: .-]{23}\]\[(\w*)\]<TqProxy>\[tq_udp_service->([\w:]+):\d+\] (.*)$")
_port = [47000]


def next_port():
    _port[0] += 1
    return _port[0]


class Host:
    """netns_host.exe under Wine, its output collected line by line."""

    def __init__(self, ip, port, seconds=20):
        self.port = port
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen([WINE, HOST_EXE, ip, str(port), str(seconds)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def wait_for(self, pattern, timeout=15.0):
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    if re.search(pattern, line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("no line matching %r in:\n%s" % (pattern, "\n".join(self.lines)))
                self.cond.wait(left)

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def messages(self):
        """(level, function, message) of every library line so far."""
        with self.cond:
            return [(int(m[1]), m[3], m[4]) for m in map(LINE.match, self.lines) if m]

    def stop(self):
        if self.proc.poll() is None:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.sendto(b"quit", ("127.0.0.2" if PHASE == "adapters" else "127.0.0.1", self.port))
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.wait_for(r"^EXIT$", 5)


def peer_socket(ip, port=0):
    """A UDP socket made in the peers' namespace and bound there."""
    result = {}

    def make():
        libc = ctypes.CDLL(None, use_errno=True)
        fd = os.open("/proc/%s/ns/net" % PEER_PID, os.O_RDONLY)
        try:
            if libc.setns(fd, 0x40000000) != 0:  # CLONE_NEWNET, this thread only
                raise OSError(ctypes.get_errno(), "setns")
        finally:
            os.close(fd)
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((ip, port))
        s.settimeout(5)
        result["s"] = s

    t = threading.Thread(target=make)
    t.start()
    t.join()
    return result["s"]


def local_adapters():
    """This namespace's interfaces in index order, as `ip` reports them."""
    links = json.loads(subprocess.check_output(["ip", "-j", "addr", "show"]))
    return sorted(links, key=lambda l: l["ifindex"])


@unittest.skipUnless(PHASE == "loopback-only", "loopback-only phase")
class LoopbackOnlyMachine(unittest.TestCase):
    def test_only_127_0_0_1_fails_the_start(self):
        host = Host("", next_port())
        host.wait_for(r"^EXIT$")
        self.assertIn("INIT -98", host.lines)
        msgs = [m for _, _, m in host.messages()]
        self.assertIn("check ip address exception, ip=127.0.0.1", msgs)
        self.assertIn("service engine get sys net failed, size=0", msgs)
        self.assertIn("service engine start failed:service listen failed: , do listen exception, "
                      "will not start work thread", msgs)
        self.assertFalse([m for m in msgs if m.startswith("Bind ")])


@unittest.skipUnless(PHASE == "adapters", "adapters phase")
class Adapters(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = next_port()
        cls.host = Host("", cls.port, 60)
        cls.host.wait_for(r"status report, do listen")
        cls.adapters = local_adapters()
        cls.expected = []
        for link in cls.adapters:
            for a in link.get("addr_info", []):
                if a["family"] == "inet" and a["local"] != "127.0.0.1" and a["local"] not in cls.expected:
                    cls.expected.append(a["local"])

    @classmethod
    def tearDownClass(cls):
        cls.host.stop()

    def test_every_adapter_is_described_in_order(self):
        msgs = [m for _, f, m in self.host.messages() if f.endswith("GetSystemNetAdaptor")
                or f.endswith("CheckAndInsertIpAddress")]
        self.assertEqual("<< ==============================", msgs[0])
        self.assertEqual("============================== >>", msgs[-1])
        blocks = []
        for m in msgs[1:-1]:
            if m.startswith("IfIndex (IPv4 interface):"):
                blocks.append([])
            blocks[-1].append(m)
        self.assertEqual(len(self.adapters), len(blocks))
        for link, block in zip(self.adapters, blocks):
            name = link["ifname"]
            self.assertRegex(block[0], r"^IfIndex \(IPv4 interface\):%d, Adapter name:\S+ $" % link["ifindex"])
            v4 = [a["local"] for a in link.get("addr_info", []) if a["family"] == "inet"]
            ips = [m[3:-1] for m in block if m.startswith("IP:")]
            self.assertEqual(v4, ips, name)
            self.assertIn("Number of Unicast Addresses: %d " % len(v4) if v4 else "No Unicast Addresses ", block)
            self.assertIn("Description: %s " % name, block)
            self.assertIn("Friendly name: %s " % name, block)
            mac = link.get("address", "")
            physical = [m for m in block if m.startswith("Physical address: ")]
            if mac and mac != "00:00:00:00:00:00":
                text = "-".join("%2x" % int(b, 16) for b in mac.split(":"))
                self.assertEqual(["Physical address: " + text], physical, name)
            else:
                self.assertEqual([], physical, name)
            flags = [m for m in block if m.startswith("Flags: ")]
            self.assertRegex(flags[0], r"^Flags: \d+, Mtu: %d, IfType: \d+, OperStatus: \d+, "
                             r"Ipv6IfIndex \(IPv6 interface\): \d+ $" % link["mtu"])
            tail = block[-4:]
            self.assertRegex(tail[0], r"^ZoneIndices \(hex\): [0-9a-f]{16,}$")
            self.assertRegex(tail[1], r"^Transmit link speed: \d+$")
            self.assertRegex(tail[2], r"^Receive link speed: \d+$")
            self.assertRegex(tail[3], r"^Number of IP Adapter Prefix entries: \d+$")
        self.assertEqual(1, msgs.count("check ip address exception, ip=127.0.0.1"))

    def test_every_unique_address_is_bound_once_in_list_order(self):
        self.assertIn("127.0.0.2", self.expected)
        self.assertEqual(1, self.expected.count("198.18.4.1"))
        msgs = [m for _, _, m in self.host.messages()]
        self.assertIn("service engine get sys net suceess, port=%d, size=%d"
                      % (self.port, len(self.expected)), msgs)
        self.assertEqual(["Bind Success, ip=%s, port=%d" % (ip, self.port) for ip in self.expected],
                         [m for m in msgs if m.startswith("Bind ")])
        status = [m for m in msgs if m.startswith("status report, do listen")][0]
        n = len(self.expected)
        self.assertTrue(status.startswith("status report, do listen socket.size=%d, svr.size=%d [" % (n, n)))
        entries = re.findall(r"([\d.]+):(\d+):<(\d+)>;", status)
        self.assertEqual(sorted(self.expected), sorted(e[0] for e in entries))
        handles = [int(e[2]) for e in entries]
        self.assertEqual(sorted(handles), handles)

    def test_replies_leave_from_the_address_the_peer_used(self):
        for local, remote in (("198.18.0.1", "198.18.0.2"), ("198.18.2.1", "198.18.2.2")):
            with peer_socket(remote) as s:
                me = s.getsockname()
                s.sendto(("echo %s %d pong-%s" % (me[0], me[1], local)).encode(), (local, self.port))
                data, source = s.recvfrom(2000)
                self.assertEqual(("pong-" + local).encode(), data)
                self.assertEqual((local, self.port), source)

    def test_peer_keeps_the_socket_it_was_first_heard_on(self):
        with peer_socket("198.18.0.2") as s:
            me = s.getsockname()
            key = "accept peer=%d_198.18.0.2" % me[1]
            s.sendto(b"first", ("198.18.0.1", self.port))
            self.host.wait_for(key)
            # Heard again on the other address: still answered from the first.
            s.sendto(("echo %s %d again" % me).encode(), ("198.18.2.1", self.port))
            data, source = s.recvfrom(2000)
            self.assertEqual(b"again", data)
            self.assertEqual(("198.18.0.1", self.port), source)
            self.assertEqual(1, sum(1 for _, _, m in self.host.messages() if m.startswith(key)))

    def test_ready_sockets_are_served_in_ascending_handle_order(self):
        status = self.host.wait_for(r"status report, do listen")
        handle = {ip: int(h) for ip, _, h in re.findall(r"([\d.]+):(\d+):<(\d+)>;", status)}
        with peer_socket("198.18.0.2") as a, peer_socket("198.18.2.2") as b:
            # Keep the loop busy, queue one datagram on each socket, then let go.
            a.sendto(b"hold 700", ("198.18.0.1", self.port))
            self.host.wait_for(r"^RECV 8 hold 700$")
            order = sorted(("198.18.0.1", "198.18.2.1"), key=lambda ip: -handle[ip])
            for ip in order:  # highest handle first
                (a if ip == "198.18.0.1" else b).sendto(("tag-" + ip).encode(), (ip, self.port))
            self.host.wait_for(r"^RECV \d+ tag-" + re.escape(order[0]))
            self.host.wait_for(r"^RECV \d+ tag-" + re.escape(order[1]))
            got = [l for l in self.host.lines if l.startswith("RECV") and "tag-" in l]
            self.assertEqual(["tag-" + ip for ip in reversed(order)], [l.split()[2] for l in got])


@unittest.skipUnless(PHASE == "many-sockets", "many-sockets phase")
class SixtyFourSockets(unittest.TestCase):
    def test_the_event_wait_fails_and_stop_and_start_recover(self):
        port = next_port()
        host = Host("", port)
        try:
            host.wait_for(r"^INIT 0$")
            host.wait_for(r"status report, do listen socket.size=64, svr.size=64 \[")
            line = host.wait_for(r"status report, select return error will exit net i/o thread")
            self.assertRegex(line, r"^LOG 4 .* ret=-1, err\.no=87, err\.msg=")
            # One address fewer: 63 sockets and the breaker fit in one wait.
            subprocess.check_call(["ip", "addr", "del", "198.19.31.1/32", "dev", "ma31"])
            host.command("restart")
            host.wait_for(r"status report, do listen socket.size=63, svr.size=63 \[")
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.sendto(b"after recovery", ("127.0.0.2", port))
            host.wait_for(r"^RECV 14 after recovery$")
            self.assertEqual(1, sum(1 for l in host.lines if "select return error" in l))
        finally:
            host.stop()


if __name__ == "__main__":
    unittest.main()
