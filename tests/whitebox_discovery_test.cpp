// Address discovery over a scripted adapter query: the failures and the
// adapter records a real machine cannot be made to produce. What real
// adapters give (their order, unique addresses, 127.0.0.1 skipped) is
// proven on the network-namespace hosts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/log_sink.h"
#include "test_seams.h"
#include "test_support.h"
#include "tq_udp_service.h"

namespace {

namespace seams = TqProxy::seams;
using Lines = std::vector<std::string>;

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

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script = Script{};
    seams::get_adapters_addresses = &FakeQuery;
    TqProxy::LogSink::Instance().SetLog(&log, &tqtest::LogCapture::Callback, 1);
  }
  void TearDown() override {
    seams::Reset();
    TqProxy::LogSink::Instance().SetLog(nullptr, nullptr, 1);
  }
  // One discovery over `results`: its result must be `expected`; returns the
  // message part of every line it logged.
  Lines Run(std::vector<ULONG> results, int32_t expected) {
    log.Clear();
    script = Script{std::move(results), {}, script.first};
    EXPECT_EQ(expected, service.GetSystemNetAdaptor(&list));
    Lines out;
    for (const auto &line : log.Lines()) {
      const size_t at = line.text.find("] ", line.text.find("->"));  // after the prefix
      out.push_back(line.text.substr(at + 2, line.text.size() - at - 3));
    }
    return out;
  }

  tqtest::LogCapture log;
  TqProxy::TQUdpService service;
  Lines list;
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
  EXPECT_EQ((Lines{
                "<< ==============================",
                "IfIndex (IPv4 interface):0, Adapter name:{A} ",
                "IP:127.0.0.1 ",
                "check ip address exception, ip=127.0.0.1",
                "IP:192.0.2.10 ",
                "Number of Unicast Addresses: 4 ",
                "Number of Anycast Addresses: 1 ",
                "No Multicast Addresses ",
                "Number of DNS Server Addresses: 2 ",
                "DNS Suffix: corp ",
                "Description: first adapter ",
                "Friendly name: Ethernet ",
                "Physical address:  0-15-5d- 1- 2- a-ff-10",
                "Flags: 128, Mtu: 0, IfType: 6, OperStatus: 2, Ipv6IfIndex (IPv6 interface): 3 ",
                "ZoneIndices (hex): 0000000000000001a",
                "Transmit link speed: 18446744073709551615",
                "Receive link speed: 1000000000",
                "Number of IP Adapter Prefix entries: 5",
                "============================== >>",
            }),
            messages);
  EXPECT_EQ(4, log.Matching("check ip address exception")[0].level);
}

TEST_F(DiscoveryTest, FailurePathsLogAndReturn) {
  // No data: opening and closing lines, result 0.
  EXPECT_EQ((Lines{"<< ==============================",
                   "Call to GetAdaptersAddresses failed with error: 232",
                   "No addresses were found for the requested parameters",
                   "============================== >>"}),
            Run({ERROR_NO_DATA}, 0));

  // Three refusals for want of room are the limit. This and any other
  // failure end with the system's own text and no closing line.
  const Lines messages =
      Run({ERROR_BUFFER_OVERFLOW, ERROR_BUFFER_OVERFLOW, ERROR_BUFFER_OVERFLOW}, -1);
  EXPECT_EQ((std::vector<ULONG>{150000, 151000, 152000}), script.sizes);
  ASSERT_EQ(3u, messages.size());
  EXPECT_EQ("Call to GetAdaptersAddresses failed with error: 111", messages[1]);
  EXPECT_EQ(0u, messages[2].find("Error: "));

  // No memory for the buffer: one line, not even the opening one.
  seams::heap_alloc = &NoMemory;
  EXPECT_EQ(Lines{"Memory allocation failed for IP_ADAPTER_ADDRESSES struct"}, Run({}, -1));
}

}  // namespace
