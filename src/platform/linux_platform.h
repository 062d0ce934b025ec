// Internal header. The Linux side of platform.h: the system headers and the
// types the portable declarations name. Socket handles keep the names the
// shared code uses for them (SOCKET, INVALID_SOCKET, SOCKET_ERROR).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#define TQ_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#define TQ_FORMAT_U64 "%llu"
#define TQ_FORMAT_LL "ll"
#define TQ_FORMAT_ADAPTER_TEXT "%s"

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

namespace TqProxy {
namespace platform {

// The breaker's event is an eventfd; a socket's registration is a mark (0).
using Event = int;
constexpr Event kInvalidEvent = -1;
using AdapterText = char;
using ModuleReference = void *;

constexpr int kErrorInvalidArgument = 22;      // EINVAL
constexpr int kErrorMessageSize = 90;          // EMSGSIZE
constexpr int kErrorAddressNotAvailable = 99;  // EADDRNOTAVAIL
constexpr int kErrorWouldBlock = 11;           // EAGAIN, EWOULDBLOCK
constexpr unsigned long kMaxPhysicalAddressLength = 8;
// The same limit as Windows' FD_SETSIZE, so that a host sees one service.
constexpr size_t kMaxSetSockets = 64;

// The same bits and record as Windows Sockets' network events, so that the
// poller reports alike on both systems.
constexpr long kFdRead = 0x01;
constexpr long kFdAccept = 0x08;
constexpr long kFdClose = 0x20;
constexpr int kFdReadBit = 0;
constexpr int kFdAcceptBit = 3;
constexpr int kFdCloseBit = 5;
struct NetworkEvents {
  long lNetworkEvents;
  int iErrorCode[10];
};

// A read or exception set for SelectNow: up to kMaxSetSockets sockets, and
// after the poll which of them were found.
class SocketSet {
 public:
  void Add(SOCKET socket) {
    if (count < kMaxSetSockets) sockets[count++] = socket;
  }
  bool Contains(SOCKET socket) const {
    for (size_t i = 0; i < count; ++i) {
      if (sockets[i] == socket) return found[i];
    }
    return false;
  }
  size_t Size() const { return count; }
  SOCKET At(size_t i) const { return sockets[i]; }
  void Mark(size_t i, bool is_found) { found[i] = is_found; }

 private:
  SOCKET sockets[kMaxSetSockets];
  bool found[kMaxSetSockets] = {};
  size_t count = 0;
};

}  // namespace platform
}  // namespace TqProxy
