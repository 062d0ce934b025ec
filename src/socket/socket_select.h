// Internal header. The select-style interface of the network I/O loop:
// watch sockets, wait, then ask per socket. All work is done by the owned
// SocketPoll.
#pragma once

#include <cstdint>

#include "socket/socket_poll.h"

namespace TqProxy {

class SocketSelect {
 public:
  explicit SocketSelect(SocketBreaker *breaker) : poll(breaker) {}
  int32_t Wait(int32_t timeout_ms) { return poll.Wait(timeout_ms); }

  SocketSelect(const SocketSelect &) = delete;
  SocketSelect &operator=(const SocketSelect &) = delete;

  void Clear() { poll.Clear(); }
  void WatchRead(SOCKET socket);
  void WatchException(SOCKET socket);
  bool IsReadable(SOCKET socket) const;
  bool HasException(SOCKET socket) const;
  int32_t BreakerError() const { return poll.BreakerError(); }

  const SocketPoll &Poll() const { return poll; }

 private:
  const ReadyEntry *Find(SOCKET socket) const;

  SocketPoll poll;
};

}  // namespace TqProxy
