// Address discovery over a scripted adapter query: the records and failures
// a real machine cannot be made to produce on demand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/log_sink.h"
#include "test_seams.h"
#include "test_support.h"
#include "tq_udp_service.h"

namespace {

using TqProxy::TQUdpService;
namespace seams = TqProxy::seams;

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
  // The message part of every line, after the "] " that ends the prefix.
  std::vector<std::string> Messages() const {
    std::vector<std::string> out;
    for (const auto &line : log.Lines()) {
      const size_t at = line.text.find("] ", line.text.find("->"));
      out.push_back(line.text.substr(at + 2, line.text.size() - at - 3));
    }
    return out;
  }

  tqtest::LogCapture log;
  TQUdpService service;
};

sockaddr_in V4(const char *ip) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr(ip);
  return a;
}

TEST_F(DiscoveryTest, DescribesEveryAdapterAndCollectsUniqueAddresses) {
  sockaddr_in lo = V4("127.0.0.1"), a1 = V4("192.0.2.10"), b1 = V4("127.0.0.2");
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  IP_ADAPTER_UNICAST_ADDRESS ua[3]{}, ub[2]{};
  ua[0].Address.lpSockaddr = reinterpret_cast<sockaddr *>(&lo);
  ua[0].Next = &ua[1];
  ua[1].Address.lpSockaddr = reinterpret_cast<sockaddr *>(&v6);  // counted, not logged
  ua[1].Next = &ua[2];
  ua[2].Address.lpSockaddr = reinterpret_cast<sockaddr *>(&a1);
  ub[0].Address.lpSockaddr = reinterpret_cast<sockaddr *>(&a1);  // same address again
  ub[0].Next = &ub[1];
  ub[1].Address.lpSockaddr = reinterpret_cast<sockaddr *>(&b1);
  IP_ADAPTER_MULTICAST_ADDRESS multicast[2]{};
  multicast[0].Next = &multicast[1];
  IP_ADAPTER_DNS_SERVER_ADDRESS dns{};
  IP_ADAPTER_PREFIX prefixes[2]{};
  prefixes[0].Next = &prefixes[1];

  IP_ADAPTER_ADDRESSES b{};
  b.IfIndex = 7;
  b.AdapterName = const_cast<char *>("{B}");
  b.FirstUnicastAddress = ub;
  b.DnsSuffix = const_cast<wchar_t *>(L"");
  b.Description = const_cast<wchar_t *>(L"second");
  b.FriendlyName = const_cast<wchar_t *>(L"B");
  b.Mtu = 1500;

  IP_ADAPTER_ADDRESSES a{};
  a.Next = &b;
  a.IfIndex = 5;
  a.AdapterName = const_cast<char *>("{A}");
  a.FirstUnicastAddress = ua;
  a.FirstMulticastAddress = multicast;
  a.FirstDnsServerAddress = &dns;
  a.DnsSuffix = const_cast<wchar_t *>(L"corp");
  a.Description = const_cast<wchar_t *>(L"first adapter");
  a.FriendlyName = const_cast<wchar_t *>(L"Ethernet");
  const BYTE mac[] = {0, 21, 93, 1, 2, 10};
  std::memcpy(a.PhysicalAddress, mac, sizeof(mac));
  a.PhysicalAddressLength = sizeof(mac);
  a.Flags = 0x80;
  a.Mtu = 9000;
  a.IfType = 6;
  a.OperStatus = IfOperStatusUp;
  a.Ipv6IfIndex = 3;
  a.ZoneIndices[0] = a.ZoneIndices[1] = a.ZoneIndices[2] = a.ZoneIndices[3] = 1;
  a.ZoneIndices[15] = 26;
  a.TransmitLinkSpeed = 18446744073709551615ULL;
  a.ReceiveLinkSpeed = 1000000000;
  a.FirstPrefix = prefixes;
  script.first = &a;
  script.results = {NO_ERROR};

  std::vector<std::string> list;
  EXPECT_EQ(0, service.GetSystemNetAdaptor(&list));
  EXPECT_EQ((std::vector<std::string>{"192.0.2.10", "127.0.0.2"}), list);
  EXPECT_EQ(std::vector<ULONG>{150000}, script.sizes);

  const std::vector<std::string> expected = {
      "<< ==============================",
      "IfIndex (IPv4 interface):5, Adapter name:{A} ",
      "IP:127.0.0.1 ",
      "check ip address exception, ip=127.0.0.1",
      "IP:192.0.2.10 ",
      "Number of Unicast Addresses: 3 ",
      "No Anycast Addresses ",
      "Number of Multicast Addresses: 2 ",
      "Number of DNS Server Addresses: 1 ",
      "DNS Suffix: corp ",
      "Description: first adapter ",
      "Friendly name: Ethernet ",
      "Physical address:  0-15-5d- 1- 2- a",
      "Flags: 128, Mtu: 9000, IfType: 6, OperStatus: 1, Ipv6IfIndex (IPv6 interface): 3 ",
      "ZoneIndices (hex): 1111000000000001a",
      "Transmit link speed: 18446744073709551615",
      "Receive link speed: 1000000000",
      "Number of IP Adapter Prefix entries: 2",
      "IfIndex (IPv4 interface):7, Adapter name:{B} ",
      "IP:192.0.2.10 ",  // the repeat writes only its own line
      "IP:127.0.0.2 ",
      "Number of Unicast Addresses: 2 ",
      "No Anycast Addresses ",
      "No Multicast Addresses ",
      "No DNS Server Addresses ",
      "DNS Suffix:  ",
      "Description: second ",
      "Friendly name: B ",
      "Flags: 0, Mtu: 1500, IfType: 0, OperStatus: 0, Ipv6IfIndex (IPv6 interface): 0 ",
      "ZoneIndices (hex): 0000000000000000",
      "Transmit link speed: 0",
      "Receive link speed: 0",
      "Number of IP Adapter Prefix entries: 0",
      "============================== >>",
  };
  EXPECT_EQ(expected, Messages());
  const auto check_line = log.Matching("check ip address exception")[0];
  EXPECT_EQ(4, check_line.level);
  EXPECT_NE(std::string::npos,
            check_line.text.find("->TqProxy::TQUdpService::CheckAndInsertIpAddress:"));
  EXPECT_NE(std::string::npos,
            log.Lines()[1].text.find("->TqProxy::TQUdpService::GetSystemNetAdaptor:"));
}

TEST_F(DiscoveryTest, FailurePathsLogAndReturnAsDocumented) {
  std::vector<std::string> list;
  // No list: nothing is asked of the system.
  EXPECT_EQ(-1, service.GetSystemNetAdaptor(nullptr));
  EXPECT_EQ(std::vector<std::string>{"get system net adaptor failed, invalid net lists params"},
            Messages());
  EXPECT_TRUE(script.sizes.empty());

  // No data: opening and closing lines, result 0.
  log.Clear();
  script.results = {ERROR_NO_DATA};
  EXPECT_EQ(0, service.GetSystemNetAdaptor(&list));
  EXPECT_EQ((std::vector<std::string>{"<< ==============================",
                                      "Call to GetAdaptersAddresses failed with error: 232",
                                      "No addresses were found for the requested parameters",
                                      "============================== >>"}),
            Messages());

  // Three refusals for want of room: three queries, growing sizes, no closing line.
  log.Clear();
  script = Script{};
  script.results = {ERROR_BUFFER_OVERFLOW, ERROR_BUFFER_OVERFLOW, ERROR_BUFFER_OVERFLOW};
  EXPECT_EQ(-1, service.GetSystemNetAdaptor(&list));
  EXPECT_EQ((std::vector<ULONG>{150000, 151000, 152000}), script.sizes);
  auto messages = Messages();
  ASSERT_EQ(3u, messages.size());
  EXPECT_EQ("Call to GetAdaptersAddresses failed with error: 111", messages[1]);
  EXPECT_EQ(0u, messages[2].find("Error: "));  // the system's own text

  // Any other failure: the system's text, no closing line.
  log.Clear();
  script = Script{};
  script.results = {ERROR_INVALID_PARAMETER};
  EXPECT_EQ(-1, service.GetSystemNetAdaptor(&list));
  messages = Messages();
  ASSERT_EQ(3u, messages.size());
  EXPECT_EQ("Call to GetAdaptersAddresses failed with error: 87", messages[1]);

  // No memory for the buffer: one line, not even the opening one.
  log.Clear();
  seams::heap_alloc = &NoMemory;
  EXPECT_EQ(-1, service.GetSystemNetAdaptor(&list));
  EXPECT_EQ(std::vector<std::string>{"Memory allocation failed for IP_ADAPTER_ADDRESSES struct"},
            Messages());
  EXPECT_TRUE(list.empty());
}

}  // namespace
