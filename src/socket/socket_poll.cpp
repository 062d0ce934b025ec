#include "socket/socket_poll.h"

#include "socket/socket_breaker.h"

namespace TqProxy {

SocketPoll::SocketPoll(SocketBreaker *breaker_in)
    : breaker(breaker_in),
      events{breaker_in != nullptr ? breaker_in->Event() : platform::kInvalidEvent},
      sockets{INVALID_SOCKET} {}

size_t SocketPoll::IndexOf(SOCKET socket) const {
  for (size_t i = 1; i < sockets.size(); ++i) {
    if (sockets[i] == socket) return i;
  }
  return 0;
}

void SocketPoll::Rearm(size_t index) {
  platform::SelectSocketEvents(sockets[index], events[index], interest[sockets[index]]);
}

void SocketPoll::AddSocket(SOCKET socket, bool want_read) {
  long &mask = interest[socket];
  if (want_read) mask |= kReadInterest;
  const size_t index = IndexOf(socket);
  if (index != 0) {
    Rearm(index);
    return;
  }
  // A failed creation leaves a null handle; the next event wait then fails.
  const platform::Event event = platform::CreateSocketEvent();
  platform::SelectSocketEvents(socket, event, mask);
  sockets.push_back(socket);
  events.push_back(event);
}

void SocketPoll::Clear() {
  for (size_t i = 1; i < events.size(); ++i) platform::CloseEvent(events[i]);
  events.resize(1);
  sockets.resize(1);
  interest.clear();
}

int32_t SocketPoll::Wait(int32_t timeout_ms) {
  ready.clear();
  const int32_t timeout = timeout_ms < -1 ? 0 : timeout_ms;  // -1: no limit
  int32_t result = SelectReady();
  if (result == 0) result = WaitForEvent(timeout);

  // Read without the breaker's lock; only Clear takes it.
  if (breaker != nullptr) {
    breaker_error = breaker->Error();
    breaker->Clear();
  }
  return result;
}

// Data already queued does not signal a re-armed event (it fires only on a
// new arrival or on a receive that leaves data behind), so a poll with
// select comes first, and a wait that trusted the events alone would stall.
int32_t SocketPoll::SelectReady() {
  platform::SocketSet read_set;
  platform::SocketSet except_set;
  for (const auto &entry : interest) {
    if ((entry.second & kReadInterest) != 0) read_set.Add(entry.first);
    except_set.Add(entry.first);
  }
  const int n = platform::SelectNow(read_set, except_set);
  if (n <= 0) return n;

  for (size_t i = 1; i < sockets.size(); ++i) {
    if (!read_set.Contains(sockets[i])) continue;
    ReadyEntry entry{};
    entry.socket = sockets[i];
    entry.network_events.lNetworkEvents = platform::kFdRead;
    if (except_set.Contains(sockets[i])) {
      entry.network_events.iErrorCode[platform::kFdCloseBit] = 1;
    }
    ready.push_back(entry);
  }
  return n;
}

// Services one socket: the lowest signalled index, as the platform reports.
int32_t SocketPoll::WaitForEvent(int32_t timeout_ms) {
  const int32_t r = platform::WaitForEvents(events, sockets, interest, timeout_ms);
  if (r == platform::kWaitTimeout) return 0;
  if (r == platform::kWaitFailed) return -1;
  if (r == 0) return 1;  // the breaker's event
  const size_t index = static_cast<size_t>(r);

  ReadyEntry entry{};
  entry.socket = sockets[index];
  if (!platform::EnumNetworkEvents(sockets[index], events[index], &entry.network_events)) {
    return -1;
  }
  ready.push_back(entry);
  return 1;
}

}  // namespace TqProxy
