// Local address discovery: every IPv4 unicast address of every adapter the
// system reports, each adapter described in the log.
#include <cstdio>
#include <string>

#include "service_log.h"
#include "test_seams.h"
#include "tq_udp_service.h"

// "%wS" is the Windows runtime's wide-text conversion, which GCC's
// ms_printf checker does not know.
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
#endif

namespace TqProxy {

namespace {

constexpr ULONG kFirstQueryBufferSize = 150000;
constexpr int kMaxQueries = 3;

template <typename Node>
int32_t CountList(const Node *node) {
  int32_t count = 0;
  for (; node != nullptr; node = node->Next) ++count;
  return count;
}

void LogCountLine(int32_t count, const char *counted, const char *none) {
  if (count > 0) {
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelInfo, counted, count);
  } else {
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelInfo, "%s", none);
  }
}

}  // namespace

void TQUdpService::CheckAndInsertIpAddress(std::vector<std::string> *list, const std::string &ip) {
  if (ip.empty() || ip == "127.0.0.1") {
    TQ_SERVICE_LOG(fn::kCheckAndInsertIpAddress, kLogLevelError,
                   "check ip address exception, ip=%s", ip.c_str());
    return;
  }
  if (list == nullptr) return;
  for (const std::string &known : *list) {
    if (known == ip) return;
  }
  list->push_back(ip);
}

int32_t TQUdpService::GetSystemNetAdaptor(std::vector<std::string> *list) {
  if (list == nullptr) {
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelError,
                   "get system net adaptor failed, invalid net lists params");
    return -1;
  }

  HANDLE heap = GetProcessHeap();
  ULONG size = kFirstQueryBufferSize;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  IP_ADAPTER_ADDRESSES *buffer = nullptr;
  for (int attempt = 0; attempt < kMaxQueries; ++attempt) {
    buffer = static_cast<IP_ADAPTER_ADDRESSES *>(TQ_SYSCALL(HeapAlloc, heap_alloc)(heap, 0, size));
    if (buffer == nullptr) {
      TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelError,
                     "Memory allocation failed for IP_ADAPTER_ADDRESSES struct");
      return -1;
    }
    result = TQ_SYSCALL(GetAdaptersAddresses, get_adapters_addresses)(
        AF_INET, GAA_FLAG_INCLUDE_PREFIX, nullptr, buffer, &size);
    if (result != ERROR_BUFFER_OVERFLOW) break;
    HeapFree(heap, 0, buffer);
    buffer = nullptr;
  }

  TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelInfo, "<< ==============================");
  if (result == NO_ERROR) {
    for (const IP_ADAPTER_ADDRESSES *adapter = buffer; adapter != nullptr;
         adapter = adapter->Next) {
      DescribeAdapter(*adapter, list);
    }
    HeapFree(heap, 0, buffer);
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelInfo, "============================== >>");
    return 0;
  }

  TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelError,
                 "Call to GetAdaptersAddresses failed with error: %d", static_cast<int>(result));
  if (result == ERROR_NO_DATA) {
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelError,
                   "No addresses were found for the requested parameters");
    if (buffer != nullptr) HeapFree(heap, 0, buffer);
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelInfo, "============================== >>");
    return 0;
  }
  char *message = nullptr;
  if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, result, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<LPSTR>(&message), 0, nullptr) != 0 &&
      message != nullptr) {
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelError, "Error: %s", message);
    LocalFree(message);
  }
  if (buffer != nullptr) HeapFree(heap, 0, buffer);
  return -1;
}

void TQUdpService::DescribeAdapter(const IP_ADAPTER_ADDRESSES &adapter,
                                   std::vector<std::string> *list) {
  const char *const f = fn::kGetSystemNetAdaptor;
  TQ_SERVICE_LOG(f, kLogLevelInfo, "IfIndex (IPv4 interface):%u, Adapter name:%s ",
                 static_cast<unsigned>(adapter.IfIndex), adapter.AdapterName);

  int32_t unicast_count = 0;
  for (const IP_ADAPTER_UNICAST_ADDRESS *u = adapter.FirstUnicastAddress; u != nullptr;
       u = u->Next) {
    ++unicast_count;
    const sockaddr *sa = u->Address.lpSockaddr;
    if (sa == nullptr || sa->sa_family != AF_INET) continue;
    const std::string ip(Ipv4Text(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr).View());
    TQ_SERVICE_LOG(f, kLogLevelInfo, "IP:%s ", ip.c_str());
    CheckAndInsertIpAddress(list, ip);
  }
  LogCountLine(unicast_count, "Number of Unicast Addresses: %d ", "No Unicast Addresses ");
  LogCountLine(CountList(adapter.FirstAnycastAddress), "Number of Anycast Addresses: %d ",
               "No Anycast Addresses ");
  LogCountLine(CountList(adapter.FirstMulticastAddress), "Number of Multicast Addresses: %d ",
               "No Multicast Addresses ");
  LogCountLine(CountList(adapter.FirstDnsServerAddress), "Number of DNS Server Addresses: %d ",
               "No DNS Server Addresses ");

  TQ_SERVICE_LOG(f, kLogLevelInfo, "DNS Suffix: %wS ", adapter.DnsSuffix);
  TQ_SERVICE_LOG(f, kLogLevelInfo, "Description: %wS ", adapter.Description);
  TQ_SERVICE_LOG(f, kLogLevelInfo, "Friendly name: %wS ", adapter.FriendlyName);

  if (adapter.PhysicalAddressLength != 0) {
    std::string text = "Physical address: ";
    const ULONG length = adapter.PhysicalAddressLength < MAX_ADAPTER_ADDRESS_LENGTH
                             ? adapter.PhysicalAddressLength
                             : MAX_ADAPTER_ADDRESS_LENGTH;
    for (ULONG i = 0; i < length; ++i) {
      char byte[8];
      std::snprintf(byte, sizeof(byte), "%2x", static_cast<unsigned>(adapter.PhysicalAddress[i]));
      if (i != 0) text += "-";
      text += byte;
    }
    TQ_SERVICE_LOG(f, kLogLevelInfo, "%s", text.c_str());
  }

  TQ_SERVICE_LOG(f, kLogLevelInfo,
                 "Flags: %ld, Mtu: %lu, IfType: %ld, OperStatus: %ld, Ipv6IfIndex (IPv6 "
                 "interface): %u ",
                 static_cast<long>(adapter.Flags), static_cast<unsigned long>(adapter.Mtu),
                 static_cast<long>(adapter.IfType), static_cast<long>(adapter.OperStatus),
                 static_cast<unsigned>(adapter.Ipv6IfIndex));

  std::string zones = "ZoneIndices (hex): ";
  for (ULONG zone : adapter.ZoneIndices) {
    char digits[16];
    std::snprintf(digits, sizeof(digits), "%lx", static_cast<unsigned long>(zone));
    zones += digits;
  }
  TQ_SERVICE_LOG(f, kLogLevelInfo, "%s", zones.c_str());

  TQ_SERVICE_LOG(f, kLogLevelInfo, "Transmit link speed: %I64u",
                 static_cast<unsigned long long>(adapter.TransmitLinkSpeed));
  TQ_SERVICE_LOG(f, kLogLevelInfo, "Receive link speed: %I64u",
                 static_cast<unsigned long long>(adapter.ReceiveLinkSpeed));
  TQ_SERVICE_LOG(f, kLogLevelInfo, "Number of IP Adapter Prefix entries: %d",
                 CountList(adapter.FirstPrefix));
}

}  // namespace TqProxy
