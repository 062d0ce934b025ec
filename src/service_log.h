// Internal header. Logging for the service engine's operations: every line
// names the service's source file, wherever the operation's code lives, and
// the operation's qualified name.
#pragma once

#include <cstring>

#include "log/log_sink.h"

namespace TqProxy {

constexpr const char *kServiceSourceFile = "src/tq_udp_service";

namespace fn {
constexpr const char *kStart = "TqProxy::TQUdpService::Start";
constexpr const char *kStop = "TqProxy::TQUdpService::Stop";
constexpr const char *kSend = "TqProxy::TQUdpService::Send";
constexpr const char *kSelect = "TqProxy::TQUdpService::Select";
constexpr const char *kGetPeerContext = "TqProxy::TQUdpService::GetPeerContext";
constexpr const char *kCreateLocalSocket = "TqProxy::TQUdpService::CreateLocalSocket";
constexpr const char *kGetSystemNetAdaptor = "TqProxy::TQUdpService::GetSystemNetAdaptor";
constexpr const char *kCheckAndInsertIpAddress = "TqProxy::TQUdpService::CheckAndInsertIpAddress";
}  // namespace fn

// The C runtime's strerror text for an error number. Winsock codes have no
// text there ("Unknown error"); that is the text the log reports.
inline const char *ErrorText(int error) { return std::strerror(error); }

}  // namespace TqProxy

#define TQ_SERVICE_LOG(function, level, ...)                                                     \
  ::TqProxy::LogSink::Instance().Write(::TqProxy::kServiceSourceFile, __LINE__, function, level, \
                                       nullptr, __VA_ARGS__)
