// Address discovery over scripted getifaddrs records: the record shapes a
// namespace host does not give (an entry without an address, a point-to-
// point interface without carrier, one interface's addresses interleaved
// with another's) and the query's failures. What real interfaces give
// (which are listed, their index, MTU and hardware address) is proven on
// the network-namespace hosts.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <cstdlib>
#include <cstring>

#include "whitebox_support.h"

namespace {

using tqtest::Lines;

struct Entry {
  const char *name;
  unsigned flags;
  const char *ip;  // null: no address; "v6": an IPv6 one
};

// What the next query returns: these records, or this error.
std::vector<Entry> script;
int script_error;

// glibc's freeifaddrs frees one block: the records, their addresses and
// names are laid out in a single allocation, the first record at its start.
int FakeGetIfAddrs(ifaddrs **out) {
  if (script_error != 0) {
    errno = script_error;
    return -1;
  }
  struct Slot {
    ifaddrs record;
    sockaddr_in6 address;
    char name[IFNAMSIZ];
  };
  auto *slots = static_cast<Slot *>(std::calloc(script.size(), sizeof(Slot)));
  if (slots == nullptr) return errno = ENOMEM, -1;
  for (size_t i = 0; i < script.size(); ++i) {
    Slot &s = slots[i];
    std::snprintf(s.name, sizeof(s.name), "%s", script[i].name);
    s.record.ifa_next = i + 1 < script.size() ? &slots[i + 1].record : nullptr;
    s.record.ifa_name = s.name;
    s.record.ifa_flags = script[i].flags;
    if (script[i].ip == nullptr) continue;
    s.record.ifa_addr = reinterpret_cast<sockaddr *>(&s.address);
    if (std::strcmp(script[i].ip, "v6") == 0) {
      s.address.sin6_family = AF_INET6;
    } else {
      auto *v4 = reinterpret_cast<sockaddr_in *>(&s.address);
      v4->sin_family = AF_INET;
      inet_pton(AF_INET, script[i].ip, &v4->sin_addr);
    }
  }
  *out = &slots[0].record;
  return 0;
}

struct LinuxDiscoveryTest : tqtest::DiscoveryTest {
  LinuxDiscoveryTest() { TqProxy::seams::get_if_addrs = &FakeGetIfAddrs; }
};

// Names no interface here has: index, MTU and hardware address are unknown.
TEST_F(LinuxDiscoveryTest, ListsUpInterfacesWithIpv4InOrderOfTheirFirstAddress) {
  const unsigned up = IFF_UP | IFF_RUNNING;
  script = {
      {"tq-lo", up | IFF_LOOPBACK, "127.0.0.2"},
      {"tq-a", up, "192.0.2.1"},
      {"tq-down", IFF_RUNNING, "192.0.2.9"},
      {"tq-6", up, "v6"},
      {"tq-nil", up, nullptr},
      {"tq-p", IFF_UP | IFF_POINTOPOINT, "192.0.2.5"},
      {"tq-a", up, "192.0.2.2"},
      {"tq-p", IFF_UP | IFF_POINTOPOINT, "192.0.2.1"},
      {"tq-a", up, "127.0.0.1"},  // not listed, whatever interface holds it
  };
  script_error = 0;
  const Lines messages = Discover(0);
  EXPECT_EQ((Lines{"192.0.2.1", "192.0.2.2", "192.0.2.5"}), list);
  auto block = [](const char *name, Lines ips, const char *kind) {
    Lines out{std::string("IfIndex (IPv4 interface):0, Adapter name:") + name + " "};
    for (const std::string &ip : ips) {
      out.push_back("IP:" + ip + " ");
      if (ip == "127.0.0.1") out.push_back("check ip address exception, ip=127.0.0.1");
    }
    const Lines rest{
        "Number of Unicast Addresses: " + std::to_string(ips.size()) + " ",
        "No Anycast Addresses ",
        "No Multicast Addresses ",
        "No DNS Server Addresses ",
        "DNS Suffix:  ",
        std::string("Description: ") + name + " ",
        std::string("Friendly name: ") + name + " ",
        std::string("Flags: 128, Mtu: 0, ") + kind + ", Ipv6IfIndex (IPv6 interface): 0 ",
        "ZoneIndices (hex): 0000000000000000",
        "Transmit link speed: 0",
        "Receive link speed: 0",
        "Number of IP Adapter Prefix entries: " + std::to_string(ips.size())};
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
  };
  Lines expected{"<< =============================="};
  for (const Lines &b :
       {block("tq-a", {"192.0.2.1", "192.0.2.2", "127.0.0.1"}, "IfType: 6, OperStatus: 1"),
        block("tq-p", {"192.0.2.5", "192.0.2.1"}, "IfType: 131, OperStatus: 7")}) {
    expected.insert(expected.end(), b.begin(), b.end());
  }
  expected.push_back("============================== >>");
  EXPECT_EQ(expected, messages);
}

// Only a loopback interface: no data. Any other error ends with its text
// and no closing line; no memory for the records, with one line only.
TEST_F(LinuxDiscoveryTest, FailuresLogErrnoAndItsText) {
  const struct {
    int error;
    int32_t result;
    Lines lines;
  } cases[] = {
      {0,
       0,
       {"<< ==============================", "Call to GetAdaptersAddresses failed with error: 61",
        "No addresses were found for the requested parameters",
        "============================== >>"}},
      {EACCES,
       -1,
       {"<< ==============================", "Call to GetAdaptersAddresses failed with error: 13",
        "Error: Permission denied"}},
      {ENOMEM, -1, {"Memory allocation failed for IP_ADAPTER_ADDRESSES struct"}}};
  for (const auto &c : cases) {
    script = {{"tq-lo", IFF_UP | IFF_LOOPBACK | IFF_RUNNING, "127.0.0.1"}};
    script_error = c.error;
    EXPECT_EQ(c.lines, Discover(c.result)) << c.error;
  }
}

}  // namespace
