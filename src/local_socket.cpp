// Binding the service's listen sockets: one UDP socket per address text,
// all on the one service port.
#include <cstring>

#include "service_log.h"
#include "test_seams.h"
#include "tq_udp_service.h"

namespace TqProxy {

bool TQUdpService::CreateLocalSocket(const std::vector<std::string> &addresses, int32_t port,
                                     std::string *error) {
  if (error != nullptr) error->clear();
  std::string str;  // failure text of the last address tried
  for (const std::string &ip : addresses) {
    str.clear();
    // A port whose low 16 bits are 0 (65536, ...) would bind whatever
    // ephemeral port the system picks: skipped like port 0.
    if (ip.empty() || port < 1 || (port & 0xFFFF) == 0) continue;

    const SOCKET s = TQ_SYSCALL(socket, create_socket)(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
      const int err = platform::LastSocketError();
      str = ErrorText(err);
      TQ_SERVICE_LOG(fn::kCreateLocalSocket, kLogLevelError,
                     "Socket Error, ret=%d, errno=%d, str=%s, ip=%s, port=%d", -1, err, str.c_str(),
                     ip.c_str(), port);
      continue;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    address.sin_addr.s_addr = inet_addr(ip.c_str());
    const int rc = bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof(address));
    if (rc < 0) {
      const int err = platform::LastSocketError();
      str = ErrorText(err);
      platform::CloseSocket(s);
      TQ_SERVICE_LOG(fn::kCreateLocalSocket, kLogLevelError,
                     "Bind Error, ret=%d, errno=%d, str=%s, ip=%s, port=%d", rc, err, str.c_str(),
                     ip.c_str(), port);
      continue;
    }

    TQ_SERVICE_LOG(fn::kCreateLocalSocket, kLogLevelInfo, "Bind Success, ip=%s, port=%d",
                   ip.c_str(), port);
    listen_sockets.emplace(static_cast<int64_t>(s), LocalSocketInfo{ip, port, false});
  }
  if (!listen_sockets.empty()) return true;
  if (error != nullptr) *error = "service listen failed: " + str;
  return false;
}

}  // namespace TqProxy
