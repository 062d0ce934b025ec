// Internal header. The event poller: one registration per socket (a
// Windows Sockets event object; on Linux a mark, as poll takes the socket
// itself), a zero-timeout poll first, and a wait over the breaker's event
// and the sockets only when nothing is ready.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "platform.h"

namespace TqProxy {

class SocketBreaker;

// FD_READ | FD_ACCEPT | FD_CLOSE.
constexpr long kReadInterest = platform::kFdRead | platform::kFdAccept | platform::kFdClose;

struct ReadyEntry {
  SOCKET socket;
  platform::NetworkEvents network_events;
};

class SocketPoll {
 public:
  // The breaker is borrowed and must outlive the poller.
  explicit SocketPoll(SocketBreaker *breaker);
  // -1 failure, 0 timeout, 1 one event serviced, n >= 1 memberships the
  // zero-timeout select found. A timeout below -1 counts as 0; -1 is none.
  int32_t Wait(int32_t timeout_ms);

  SocketPoll(const SocketPoll &) = delete;
  SocketPoll &operator=(const SocketPoll &) = delete;

  void AddSocket(SOCKET socket, bool want_read);
  // Unregisters every socket and closes their event objects (not the breaker's).
  void Clear();
  // Index of the socket in `sockets`, or 0 (the breaker's slot) when absent.
  size_t IndexOf(SOCKET socket) const;
  // Re-associates a registered socket's own event with its interest.
  void Rearm(size_t index);

  const std::vector<ReadyEntry> &Ready() const { return ready; }
  int32_t BreakerError() const { return breaker_error; }
  const std::vector<platform::Event> &Events() const { return events; }

 private:
  int32_t SelectReady();
  int32_t WaitForEvent(int32_t timeout_ms);

  SocketBreaker *breaker;
  std::vector<platform::Event> events;  // [0] is the breaker's event
  std::vector<SOCKET> sockets;          // parallel to events; [0] is INVALID_SOCKET
  std::map<SOCKET, long> interest;      // ascending handle order builds the sets
  int32_t breaker_error = 0;
  std::vector<ReadyEntry> ready;  // what the last wait found, registration order
};

}  // namespace TqProxy
