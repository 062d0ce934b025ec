// Address discovery over a scripted query (the Windows adapter query, or
// getifaddrs): the records a real machine cannot be made to produce, and
// the query's failures. What real adapters give (which are listed, their
// order, index, MTU and hardware address, unique addresses, 127.0.0.1
// skipped) is proven on the network-namespace hosts.
#if !defined(_WIN32)
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#endif

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "test_seams.h"
#include "whitebox_support.h"

namespace {

namespace seams = TqProxy::seams;
using tqtest::Lines;

// How the next query ends: with records, with none, with an error, or with
// no memory for them.
enum class Outcome { kRecords, kNoData, kError, kNoMemory };

#if defined(_WIN32)
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

// Three refusals for want of room are the limit. The system's text of the
// error is left out of the comparison.
constexpr int kNoDataCode = ERROR_NO_DATA, kErrorCode = ERROR_BUFFER_OVERFLOW;
const char *const kErrorText = "";
void Prepare(Outcome outcome) {
  seams::get_adapters_addresses = &FakeQuery;
  const ULONG overflow = ERROR_BUFFER_OVERFLOW;
  const std::vector<ULONG> results[] = {
      {overflow, NO_ERROR}, {ERROR_NO_DATA}, {overflow, overflow, overflow}, {}};
  script = Script{results[static_cast<int>(outcome)], {}, script.first};
  if (outcome == Outcome::kNoMemory) seams::heap_alloc = &NoMemory;
}
#else
struct Entry {
  const char *name;
  unsigned flags;
  const char *ip;  // null: no address; an IPv6 text gives an IPv6 one
};

// What the next query returns: these records, or this error.
std::vector<Entry> script;
int script_error;

// glibc's freeifaddrs frees one block: the records and their addresses are
// laid out in a single allocation, the first record at its start.
int FakeGetIfAddrs(ifaddrs **out) {
  if (script_error != 0) return errno = script_error, -1;
  struct Slot {
    ifaddrs record;
    sockaddr_in6 address;
  };
  auto *slots = static_cast<Slot *>(std::calloc(script.size(), sizeof(Slot)));
  if (slots == nullptr) return errno = ENOMEM, -1;
  for (size_t i = 0; i < script.size(); ++i) {
    Slot &s = slots[i];
    s.record.ifa_next = i + 1 < script.size() ? &slots[i + 1].record : nullptr;
    s.record.ifa_name = const_cast<char *>(script[i].name);  // outlives the block
    s.record.ifa_flags = script[i].flags;
    if (script[i].ip == nullptr) continue;
    s.record.ifa_addr = reinterpret_cast<sockaddr *>(&s.address);
    auto *v4 = reinterpret_cast<sockaddr_in *>(&s.address);
    const bool is_v4 = inet_pton(AF_INET, script[i].ip, &v4->sin_addr) == 1;
    s.address.sin6_family = is_v4 ? AF_INET : AF_INET6;
  }
  *out = &slots[0].record;
  return 0;
}

constexpr int kNoDataCode = ENODATA, kErrorCode = EACCES;
const char *const kErrorText = std::strerror(EACCES);
void Prepare(Outcome outcome) {
  seams::get_if_addrs = &FakeGetIfAddrs;
  const int errors[] = {0, 0, EACCES, ENOMEM};
  script_error = errors[static_cast<int>(outcome)];
  if (outcome == Outcome::kNoData)
    script = {{"tq-lo", IFF_UP | IFF_LOOPBACK | IFF_RUNNING, "127.0.0.1"}};
}
#endif

class Discovery : public ::testing::Test {
 protected:
  void TearDown() override { seams::Reset(); }
  // One discovery: its result must be `expected`; the addresses found are
  // left in `list`, the message of every line logged is returned.
  Lines Run(Outcome outcome, int32_t expected) {
    seams::Reset();
    Prepare(outcome);
    log.Clear();
    list.clear();
    EXPECT_EQ(expected, service.GetSystemNetAdaptor(&list));
    return tqtest::Messages(log);
  }

  tqtest::SinkCapture log;
  TqProxy::TQUdpService service;
  Lines list;
};

// No data: opening and closing lines, result 0. Any other failure ends
// with the system's own text and no closing line. No memory for the
// records: one line only.
TEST_F(Discovery, FailuresLogTheErrorAndItsText) {
  const std::string open = "<< ==============================",
                    failed = "Call to GetAdaptersAddresses failed with error: ";
  const struct {
    Outcome outcome;
    int32_t result;
    Lines lines;
  } cases[] = {
      {Outcome::kNoData,
       0,
       {open, failed + std::to_string(kNoDataCode),
        "No addresses were found for the requested parameters",
        "============================== >>"}},
      {Outcome::kNoMemory, -1, {"Memory allocation failed for IP_ADAPTER_ADDRESSES struct"}},
      {Outcome::kError,
       -1,
       {open, failed + std::to_string(kErrorCode), std::string("Error: ") + kErrorText}}};
  for (const auto &c : cases) {
    Lines got = Run(c.outcome, c.result);
#if defined(_WIN32)
    if (c.outcome == Outcome::kError && got.size() == 3) got[2].resize(7);
#endif
    EXPECT_EQ(c.lines, got);
  }
#if defined(_WIN32)
  EXPECT_EQ((std::vector<ULONG>{150000, 151000, 152000}), script.sizes);
#endif
}

#if defined(_WIN32)
// After one refusal for want of room the query is repeated with the size
// the system asked for, and its records are used.
TEST_F(Discovery, DescribesUnusualRecordsAfterGrowingTheBuffer) {
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

  const Lines messages = Run(Outcome::kRecords, 0);
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

#else
// Names no interface here has: index, MTU and hardware address are unknown.
TEST_F(Discovery, ListsUpInterfacesWithIpv4InOrderOfTheirFirstAddress) {
  const unsigned up = IFF_UP | IFF_RUNNING;
  script = {
      {"tq-lo", up | IFF_LOOPBACK, "127.0.0.2"},
      {"tq-a", up, "192.0.2.1"},
      {"tq-down", IFF_RUNNING, "192.0.2.9"},
      {"tq-6", up, "2001:db8::1"},
      {"tq-nil", up, nullptr},
      {"tq-p", IFF_UP | IFF_POINTOPOINT, "192.0.2.5"},
      {"tq-a", up, "192.0.2.2"},
      {"tq-p", IFF_UP | IFF_POINTOPOINT, "192.0.2.1"},
      {"tq-a", up, "127.0.0.1"},  // not listed, whatever interface holds it
  };
  // The lines the records decide; which addresses each block shows and the
  // texts every block repeats are checked on the network-namespace hosts.
  Lines shown;
  for (const std::string &m : Run(Outcome::kRecords, 0)) {
    if (std::regex_search(m, std::regex("^(IfIndex|check|Number of (U|IP)|Flags)")))
      shown.push_back(m);
  }
  EXPECT_EQ((Lines{"192.0.2.1", "192.0.2.2", "192.0.2.5"}), list);
  const std::string flags = "Flags: 128, Mtu: 0, IfType: ",
                    v6 = ", Ipv6IfIndex (IPv6 interface): 0 ";
  EXPECT_EQ(
      (Lines{"IfIndex (IPv4 interface):0, Adapter name:tq-a ",
             "check ip address exception, ip=127.0.0.1", "Number of Unicast Addresses: 3 ",
             flags + "6, OperStatus: 1" + v6, "Number of IP Adapter Prefix entries: 3",
             "IfIndex (IPv4 interface):0, Adapter name:tq-p ", "Number of Unicast Addresses: 2 ",
             flags + "131, OperStatus: 7" + v6, "Number of IP Adapter Prefix entries: 2"}),
      shown);
}

#endif

}  // namespace
