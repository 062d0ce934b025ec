# Address discovery and multi-socket behaviour on real test hosts. Runs
# inside a network namespace laid out by run_netns_tests.sh, the Windows host
# under that namespace's own Wine server, the native one as it is; peers
# live in a second namespace (PEER_PID) and reach the service over veth pairs.
import ctypes, json, os, re, socket, subprocess, sys, time, unittest  # noqa: E401
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tq_host import Host  # noqa: E402

PHASE, WINE, PORT = os.environ["TQ_NETNS_PHASE"], os.environ["HOST_EXE"].endswith(".exe"), 47001
HOST = ["wine64"] * WINE + [os.environ["HOST_EXE"], str(PORT)]
# What differs per platform. Windows lists every adapter, loopback and those
# that are down included, and binds the adapters phase's addresses in adapter
# order: 127.0.0.1 never, 198.18.4.1 (on two adapters) once. Linux lists only
# interfaces that are up with an IPv4 address, the loopback interface left out.
BOUND = ["127.0.0.2", "198.18.0.1", "198.18.2.1", "198.18.4.1"] if WINE else ["198.18.0.1", "198.18.2.1"]


def listed(link):
    return WINE or ("UP" in link["flags"] and "LOOPBACK" not in link["flags"]
                    and any(a["family"] == "inet" for a in link["addr_info"]))


def peer_socket(ip):  # a UDP socket made in the peers' namespace, bound to ip there
    def make():  # setns moves only the calling thread; should it fail, so does the bind
        with open("/proc/%s/ns/net" % os.environ["PEER_PID"]) as ns:
            ctypes.CDLL(None).setns(ns.fileno(), 0x40000000)  # CLONE_NEWNET
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((ip, 0))
        s.settimeout(5)
        return s

    with ThreadPoolExecutor(1) as pool:
        return pool.submit(make).result()


@unittest.skipUnless(PHASE == "loopback-only", "loopback-only phase")
class LoopbackOnlyMachine(unittest.TestCase):
    def test_starting_on_all_addresses_fails(self):  # how discovery says so is its unit test's
        host = Host(HOST)
        host.stop()
        self.assertIn("INIT -98", host.lines)
        for line in ["service engine get sys net failed, size=0", "service engine start failed:service "
                     "listen failed: , do listen exception, will not start work thread"]:
            self.assertIn(line, host.messages())


@unittest.skipUnless(PHASE == "adapters", "adapters phase")
class Adapters(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = Host(HOST)
        cls.addClassCleanup(cls.host.stop)
        status = cls.host.wait_for(r"status report, do listen")
        cls.listed = [(ip, int(h)) for ip, h in re.findall(r"([\d.]+):%d:<(\d+)>;" % PORT, status)]

    def test_every_adapter_is_described_and_every_address_bound_once_in_order(self):
        # Against what the kernel reports; the exact line formats are the discovery unit test's.
        msgs = self.host.messages()
        first, last = msgs.index("<< =============================="), msgs.index("============================== >>")
        blocks = ("\n" + "\n".join(msgs[first + 1:last]) + "\n").split("\nIfIndex (IPv4 interface):")[1:]
        links = [l for l in sorted(json.loads(subprocess.check_output(["ip", "-j", "addr", "show"])),
                                   key=lambda l: l["ifindex"]) if listed(l)]
        self.assertEqual(len(links), len(blocks))
        for link, block in zip(links, blocks):
            name, mac = link["ifname"], link["address"]
            self.assertRegex(block, r"^%d, Adapter name:\S+ \n" % link["ifindex"])
            v4 = [a["local"] for a in link["addr_info"] if a["family"] == "inet"]
            self.assertEqual(v4, re.findall(r"\nIP:(.*) \n", block), name)
            physical = [] if not mac.strip("0:") else ["-".join("%2x" % int(b, 16) for b in mac.split(":"))]
            self.assertEqual(physical, re.findall(r"\nPhysical address: (.*)\n", block), name)
            for want in ("\nDescription: %s \n" % name, "\nFriendly name: %s \n" % name, ", Mtu: %d, " % link["mtu"]):
                self.assertIn(want, block, name)
        self.assertIn("service engine get sys net suceess, port=%d, size=%d" % (PORT, len(BOUND)), msgs)
        self.assertEqual(["Bind Success, ip=%s, port=%d" % (ip, PORT) for ip in BOUND],
                         [m for m in msgs if m.startswith("Bind ")])
        self.assertEqual(sorted(BOUND), sorted(ip for ip, _ in self.listed))
        self.assertEqual(sorted(h for _, h in self.listed), [h for _, h in self.listed])

    def test_replies_leave_from_the_address_each_peer_was_first_heard_on(self):
        with peer_socket("198.18.0.2") as a, peer_socket("198.18.2.2") as b:
            # a's last datagram arrives on the other address: the reply still leaves from the first.
            for s, to, source in ((a, "198.18.0.1", "198.18.0.1"), (b, "198.18.2.1", "198.18.2.1"),
                                  (a, "198.18.2.1", "198.18.0.1")):
                s.sendto(("echo %s %d hi" % s.getsockname()).encode(), (to, PORT))
                self.assertEqual((b"hi", (source, PORT)), s.recvfrom(100))
            accepted = re.escape("] accept peer=%d_198.18.0.2," % a.getsockname()[1])
            self.host.wait_for(accepted)  # the reply may overtake the host's output
            self.assertEqual(1, len(self.host.matching(accepted)))

    def test_ready_sockets_are_served_in_ascending_handle_order(self):
        with peer_socket("198.18.0.2") as a, peer_socket("198.18.2.2") as b:
            # Keep the loop busy, queue one datagram on each socket, the higher handle's first.
            a.sendto(b"hold 700", ("198.18.0.1", PORT))
            self.host.wait_for(r"^RECV hold 700$")
            handle = dict(self.listed)
            order = sorted(((a, "198.18.0.1"), (b, "198.18.2.1")), key=lambda p: -handle[p[1]])
            for s, ip in order:
                s.sendto(("tag-" + ip).encode(), (ip, PORT))
            self.host.wait_for(r"^RECV tag-" + re.escape(order[0][1]))
            got = [l[5:] for l in self.host.lines if l.startswith("RECV tag-")]
            self.assertEqual(["tag-" + ip for _, ip in reversed(order)], got)


@unittest.skipUnless(PHASE == "many-sockets", "many-sockets phase")
class SixtyFourAddresses(unittest.TestCase):
    def test_63_are_bound_and_watched_the_one_left_out_is_named_and_restarts_work(self):
        host = Host(HOST)
        for run in (1, 2):
            host.wait_for(r"status report, do listen socket.size=63, ", count=run)
            msgs = host.messages()
            found = [m[3:-1] for m in msgs if m.startswith("IP:") and m != "IP:127.0.0.1 "]
            self.assertEqual(64 * run, len(found))
            self.assertEqual(["Bind Success, ip=%s, port=%d" % (ip, PORT) for ip in found[:63]] * run,
                             [m for m in msgs if m.startswith("Bind ")])
            left_out = host.matching(r"\bip=%s\b" % re.escape(found[63]))
            self.assertEqual(run, len(left_out), left_out)
            self.assertRegex(left_out[-1], r"^LOG [34] .*CreateLocalSocket:\d+\] [a-z ,]+ip=%s, port=%d, "
                             % (re.escape(found[63]), PORT))
            time.sleep(1.2)  # idle waits, each over the 63 sockets and the breaker
            socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b"run %d" % run, (found[0], PORT))
            host.wait_for(r"^RECV run %d$" % run)
            self.assertFalse(host.matching("will exit net i/o thread"))
            if run == 1:
                host.proc.stdin.write("restart\n")  # Stop, then Start
        host.stop()


if __name__ == "__main__":
    unittest.main()
