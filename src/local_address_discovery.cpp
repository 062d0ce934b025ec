// Local address discovery: every IPv4 unicast address of every adapter the
// system reports, each adapter described in the log.
#include <cstdio>
#include <string>

#include "service_log.h"
#include "test_seams.h"
#include "tq_udp_service.h"

namespace TqProxy {

namespace {

void LogCountLine(int32_t count, const char *counted, const char *none) {
  if (count > 0) {
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelInfo, counted, count);
  } else {
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelInfo, "%s", none);
  }
}

// "%wS" is the Windows runtime's wide-text conversion, which GCC's
// ms_printf checker does not know: its check is off for these lines only.
#if defined(__GNUC__) && defined(_WIN32)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
#endif
void LogAdapterTexts(const platform::AdapterRecord &adapter) {
  const char *const f = fn::kGetSystemNetAdaptor;
  TQ_SERVICE_LOG(f, kLogLevelInfo, "DNS Suffix: " TQ_FORMAT_ADAPTER_TEXT " ", adapter.dns_suffix);
  TQ_SERVICE_LOG(f, kLogLevelInfo, "Description: " TQ_FORMAT_ADAPTER_TEXT " ", adapter.description);
  TQ_SERVICE_LOG(f, kLogLevelInfo, "Friendly name: " TQ_FORMAT_ADAPTER_TEXT " ",
                 adapter.friendly_name);
}
#if defined(__GNUC__) && defined(_WIN32)
#pragma GCC diagnostic pop
#endif

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

  platform::AdapterList adapters;
  const platform::AdapterQueryResult result = adapters.Query();
  if (result == platform::AdapterQueryResult::kNoMemory) {
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelError,
                   "Memory allocation failed for IP_ADAPTER_ADDRESSES struct");
    return -1;
  }

  TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelInfo, "<< ==============================");
  if (result == platform::AdapterQueryResult::kOk) {
    for (const platform::AdapterRecord &adapter : adapters.Records()) {
      DescribeAdapter(adapter, list);
    }
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelInfo, "============================== >>");
    return 0;
  }

  TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelError,
                 "Call to GetAdaptersAddresses failed with error: %d",
                 static_cast<int>(adapters.Error()));
  if (result == platform::AdapterQueryResult::kNoData) {
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelError,
                   "No addresses were found for the requested parameters");
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelInfo, "============================== >>");
    return 0;
  }
  std::string message;
  if (adapters.ErrorText(&message)) {
    TQ_SERVICE_LOG(fn::kGetSystemNetAdaptor, kLogLevelError, "Error: %s", message.c_str());
  }
  return -1;
}

void TQUdpService::DescribeAdapter(const platform::AdapterRecord &adapter,
                                   std::vector<std::string> *list) {
  const char *const f = fn::kGetSystemNetAdaptor;
  TQ_SERVICE_LOG(f, kLogLevelInfo, "IfIndex (IPv4 interface):%u, Adapter name:%s ",
                 adapter.if_index, adapter.adapter_name);

  int32_t unicast_count = 0;
  for (const sockaddr *sa : adapter.unicast) {
    ++unicast_count;
    if (sa == nullptr || sa->sa_family != AF_INET) continue;
    const std::string ip(Ipv4Text(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr).View());
    TQ_SERVICE_LOG(f, kLogLevelInfo, "IP:%s ", ip.c_str());
    CheckAndInsertIpAddress(list, ip);
  }
  LogCountLine(unicast_count, "Number of Unicast Addresses: %d ", "No Unicast Addresses ");
  LogCountLine(adapter.anycast_count, "Number of Anycast Addresses: %d ", "No Anycast Addresses ");
  LogCountLine(adapter.multicast_count, "Number of Multicast Addresses: %d ",
               "No Multicast Addresses ");
  LogCountLine(adapter.dns_server_count, "Number of DNS Server Addresses: %d ",
               "No DNS Server Addresses ");

  LogAdapterTexts(adapter);

  if (adapter.physical_address_length != 0) {
    std::string text = "Physical address: ";
    for (unsigned long i = 0; i < adapter.physical_address_length; ++i) {
      char byte[8];
      std::snprintf(byte, sizeof(byte), "%2x", static_cast<unsigned>(adapter.physical_address[i]));
      if (i != 0) text += "-";
      text += byte;
    }
    TQ_SERVICE_LOG(f, kLogLevelInfo, "%s", text.c_str());
  }

  TQ_SERVICE_LOG(f, kLogLevelInfo,
                 "Flags: %ld, Mtu: %lu, IfType: %ld, OperStatus: %ld, Ipv6IfIndex (IPv6 "
                 "interface): %u ",
                 adapter.flags, adapter.mtu, adapter.if_type, adapter.oper_status,
                 adapter.ipv6_if_index);

  std::string zones = "ZoneIndices (hex): ";
  for (size_t i = 0; i < adapter.zone_count; ++i) {
    char digits[24];
    std::snprintf(digits, sizeof(digits), "%lx", adapter.zone_indices[i]);
    zones += digits;
  }
  TQ_SERVICE_LOG(f, kLogLevelInfo, "%s", zones.c_str());

  TQ_SERVICE_LOG(f, kLogLevelInfo, "Transmit link speed: " TQ_FORMAT_U64,
                 adapter.transmit_link_speed);
  TQ_SERVICE_LOG(f, kLogLevelInfo, "Receive link speed: " TQ_FORMAT_U64,
                 adapter.receive_link_speed);
  TQ_SERVICE_LOG(f, kLogLevelInfo, "Number of IP Adapter Prefix entries: %d", adapter.prefix_count);
}

}  // namespace TqProxy
