// Address discovery over a scripted adapter query: the failures and the
// adapter records a real machine cannot be made to produce. What real
// adapters give (their order, unique addresses, 127.0.0.1 skipped) is
// proven on the network-namespace hosts.
#include <cstring>

#include "whitebox_support.h"

namespace {

namespace seams = TqProxy::seams;
using tqtest::Lines;

struct Script {
  std::vector<ULONG> results;  // one per query; ERROR_BUFFER_OVERFLOW asks for more room
  std::vector<ULONG> sizes;    // the size each query was given
  const IP_ADAPTER_ADDRESSES *first = nullptr;
} script;

ULONG WINAPI FakeQuery(ULONG family, ULONG flags, PVOID, PIP_ADAPTER_ADDRESSES out, PULONG size) {
  EXPECT_EQ(static_cast<ULONG>(AF_INET), family);
  EXPECT_EQ(static_cast<ULONG>(GAA_FLAG_INCLUDE_PREFIX), flags);
  script.sizes.push_back(*size);
  const ULONG result = script.results.at(script.sizes.size() - 1);
  if (result == ERROR_BUFFER_OVERFLOW) *size += 1000;
  if (result == NO_ERROR) std::memcpy(out, script.first, sizeof(*out));
  return result;
}

LPVOID WINAPI NoMemory(HANDLE, DWORD, SIZE_T) { return nullptr; }

template <typename Node, size_t N>
Node *Chain(Node (&nodes)[N]) {
  for (size_t i = 0; i + 1 < N; ++i) nodes[i].Next = &nodes[i + 1];
  return nodes;
}

struct DiscoveryTest : tqtest::DiscoveryTest {
  DiscoveryTest() { seams::get_adapters_addresses = &FakeQuery; }
  // One discovery over the query results `results`.
  Lines Run(std::vector<ULONG> results, int32_t expected) {
    script = Script{std::move(results), {}, script.first};
    return Discover(expected);
  }
};

// After one refusal for want of room the query is repeated with the size
// the system asked for, and its records are used.
TEST_F(DiscoveryTest, DescribesUnusualRecordsAfterGrowingTheBuffer) {
  sockaddr_in lo{}, v4{}, v6{};
  lo.sin_family = v4.sin_family = AF_INET;
  lo.sin_addr.s_addr = inet_addr("127.0.0.1");
  v4.sin_addr.s_addr = inet_addr("192.0.2.10");
  v6.sin_family = AF_INET6;  // only the family is read
  // An IPv6 entry and one without an address are counted, not logged.
  IP_ADAPTER_UNICAST_ADDRESS unicast[4]{};
  unicast[0].Address.lpSockaddr = reinterpret_cast<sockaddr *>(&lo);
  unicast[1].Address.lpSockaddr = reinterpret_cast<sockaddr *>(&v6);
  unicast[3].Address.lpSockaddr = reinterpret_cast<sockaddr *>(&v4);
  IP_ADAPTER_ANYCAST_ADDRESS anycast[1]{};
  IP_ADAPTER_DNS_SERVER_ADDRESS dns[2]{};
  IP_ADAPTER_PREFIX prefixes[5]{};

  IP_ADAPTER_ADDRESSES a{};
  a.AdapterName = const_cast<char *>("{A}");
  a.FirstUnicastAddress = Chain(unicast);
  a.FirstAnycastAddress = anycast;
  a.FirstDnsServerAddress = Chain(dns);
  a.FirstPrefix = Chain(prefixes);
  a.DnsSuffix = const_cast<wchar_t *>(L"corp");
  a.Description = const_cast<wchar_t *>(L"first adapter");
  a.FriendlyName = const_cast<wchar_t *>(L"Ethernet");
  const BYTE mac[] = {0, 0x15, 0x5d, 1, 2, 0xa, 0xff, 0x10};
  std::memcpy(a.PhysicalAddress, mac, sizeof(mac));
  a.PhysicalAddressLength = 12;  // more than the field holds: only its 8 bytes are shown
  a.Flags = 0x80;
  a.IfType = 6;
  a.OperStatus = IfOperStatusDown;
  a.Ipv6IfIndex = 3;
  a.ZoneIndices[15] = 26;
  a.TransmitLinkSpeed = 18446744073709551615ULL;
  a.ReceiveLinkSpeed = 1000000000;
  script.first = &a;

  const Lines messages = Run({ERROR_BUFFER_OVERFLOW, NO_ERROR}, 0);
  EXPECT_EQ((std::vector<ULONG>{150000, 151000}), script.sizes);
  EXPECT_EQ(Lines{"192.0.2.10"}, list);
  EXPECT_EQ(
      (Lines{"<< ==============================", "IfIndex (IPv4 interface):0, Adapter name:{A} ",
             "IP:127.0.0.1 ", "check ip address exception, ip=127.0.0.1", "IP:192.0.2.10 ",
             "Number of Unicast Addresses: 4 ", "Number of Anycast Addresses: 1 ",
             "No Multicast Addresses ", "Number of DNS Server Addresses: 2 ", "DNS Suffix: corp ",
             "Description: first adapter ", "Friendly name: Ethernet ",
             "Physical address:  0-15-5d- 1- 2- a-ff-10",
             "Flags: 128, Mtu: 0, IfType: 6, OperStatus: 2, Ipv6IfIndex (IPv6 interface): 3 ",
             "ZoneIndices (hex): 0000000000000001a", "Transmit link speed: 18446744073709551615",
             "Receive link speed: 1000000000", "Number of IP Adapter Prefix entries: 5",
             "============================== >>"}),
      messages);
  EXPECT_EQ(4, log.Matching("check ip address exception")[0].level);
}

// No data: opening and closing lines, result 0. Three refusals for want
// of room are the limit; this and any other failure end with the system's
// own text and no closing line. No memory for the buffer: one line only.
TEST_F(DiscoveryTest, FailurePathsLogAndReturn) {
  const ULONG overflow = ERROR_BUFFER_OVERFLOW;
  const struct {
    std::vector<ULONG> results, sizes;
    int32_t result;
    Lines lines;
  } cases[] = {
      {{ERROR_NO_DATA},
       {150000},
       0,
       {"<< ==============================", "Call to GetAdaptersAddresses failed with error: 232",
        "No addresses were found for the requested parameters",
        "============================== >>"}},
      {{overflow, overflow, overflow},
       {150000, 151000, 152000},
       -1,
       {"<< ==============================", "Call to GetAdaptersAddresses failed with error: 111",
        "Error: "}},
      {{}, {}, -1, {"Memory allocation failed for IP_ADAPTER_ADDRESSES struct"}}};
  for (const auto &c : cases) {
    if (c.results.empty()) seams::heap_alloc = &NoMemory;
    Lines got = Run(c.results, c.result);
    if (c.lines.back() == "Error: " && !got.empty()) got.back().resize(7);  // the system's text
    EXPECT_EQ(c.lines, got);
    EXPECT_EQ(c.sizes, script.sizes);
  }
}

}  // namespace
