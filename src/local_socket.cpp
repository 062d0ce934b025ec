// Binding the service's listen sockets: one UDP socket per address text,
// all on the one service port.
#include <cstring>
#include <utility>

#include "service_log.h"
#include "test_seams.h"
#include "tq_udp_service.h"

namespace TqProxy {
namespace {

// Closes a socket unless it was handed on: a bound socket is ours until
// the table holds it, also when a log line or the insert throws.
class OwnedSocket {
 public:
  explicit OwnedSocket(SOCKET s) : socket_(s) {}
  ~OwnedSocket() {
    if (socket_ != INVALID_SOCKET) platform::CloseSocket(socket_);
  }
  OwnedSocket(const OwnedSocket &) = delete;
  OwnedSocket &operator=(const OwnedSocket &) = delete;
  SOCKET Get() const { return socket_; }
  SOCKET Release() { return std::exchange(socket_, INVALID_SOCKET); }

 private:
  SOCKET socket_;
};

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// inet_addr answers INADDR_NONE both for a text it cannot parse and for
// the all-ones address itself. True for a text in one of its forms (one to
// four parts, each decimal, octal after "0" or hexadecimal after "0x"; the
// last part fills the bytes left) that gives 255.255.255.255.
bool SpellsAllOnes(const char *text) {
  uint64_t parts[4];
  int count = 0;
  const char *p = text;
  for (;;) {
    if (count == 4 || DigitValue(*p) > 9) return false;
    int base = 10;
    if (*p == '0') {
      base = 8;
      ++p;
      if (*p == 'x' || *p == 'X') base = 16, ++p;
    }
    uint64_t value = 0;
    for (; DigitValue(*p) < base; ++p) {
      value = value * base + DigitValue(*p);
      if (value > 0xFFFFFFFFu) return false;
    }
    parts[count++] = value;
    if (*p == '\0') break;
    if (*p++ != '.') return false;
  }
  for (int i = 0; i + 1 < count; ++i) {
    if (parts[i] != 0xFF) return false;
  }
  return parts[count - 1] == (0xFFFFFFFFu >> (8 * (count - 1)));
}

// The address inet_addr makes of the text, unless the text is none: then
// the system would bind every interface (Wine does) or fail (Windows).
bool ParseAddress(const std::string &ip, in_addr *address) {
  address->s_addr = inet_addr(ip.c_str());
  return address->s_addr != INADDR_NONE || SpellsAllOnes(ip.c_str());
}

}  // namespace

bool TQUdpService::CreateLocalSocket(const std::vector<std::string> &addresses, int32_t port,
                                     std::string *error) {
  if (error != nullptr) error->clear();
  std::string str;  // failure text of the last address tried
  for (const std::string &ip : addresses) {
    str.clear();
    // A port whose low 16 bits are 0 (65536, ...) would bind whatever
    // ephemeral port the system picks: skipped like port 0.
    if (ip.empty() || port < 1 || (port & 0xFFFF) == 0) continue;
    // One wait of the loop covers no more: the rest are left out, each
    // named, and the service runs on these.
    if (listen_sockets.size() >= kMaxListenSockets) {
      TQ_SERVICE_LOG(fn::kCreateLocalSocket, kLogLevelWarn,
                     "too many local addresses, not listening on ip=%s, port=%d, max=%d",
                     ip.c_str(), port, static_cast<int32_t>(kMaxListenSockets));
      continue;
    }

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    if (!ParseAddress(ip, &address.sin_addr)) {
      // Refused as Windows refuses the bind, before any socket is made.
      const int err = platform::kErrorAddressNotAvailable;
      str = ErrorText(err);
      platform::SetLastSocketError(err);
      TQ_SERVICE_LOG(fn::kCreateLocalSocket, kLogLevelError,
                     "Bind Error, ret=%d, errno=%d, str=%s, ip=%s, port=%d", SOCKET_ERROR, err,
                     str.c_str(), ip.c_str(), port);
      continue;
    }

    OwnedSocket s(TQ_SYSCALL(socket, create_socket)(AF_INET, SOCK_DGRAM, 0));
    if (s.Get() == INVALID_SOCKET) {
      const int err = platform::LastSocketError();
      str = ErrorText(err);
      TQ_SERVICE_LOG(fn::kCreateLocalSocket, kLogLevelError,
                     "Socket Error, ret=%d, errno=%d, str=%s, ip=%s, port=%d", -1, err, str.c_str(),
                     ip.c_str(), port);
      continue;
    }

    const int rc = bind(s.Get(), reinterpret_cast<const sockaddr *>(&address), sizeof(address));
    if (rc < 0) {
      const int err = platform::LastSocketError();
      str = ErrorText(err);
      platform::CloseSocket(s.Release());
      TQ_SERVICE_LOG(fn::kCreateLocalSocket, kLogLevelError,
                     "Bind Error, ret=%d, errno=%d, str=%s, ip=%s, port=%d", rc, err, str.c_str(),
                     ip.c_str(), port);
      continue;
    }

    TQ_SERVICE_LOG(fn::kCreateLocalSocket, kLogLevelInfo, "Bind Success, ip=%s, port=%d",
                   ip.c_str(), port);
    if (listen_sockets.emplace(static_cast<int64_t>(s.Get()), LocalSocketInfo{ip, port, false})
            .second) {
      s.Release();
    }
  }
  if (!listen_sockets.empty()) return true;
  if (error != nullptr) *error = "service listen failed: " + str;
  return false;
}

}  // namespace TqProxy
