#include "socket/socket_poll.h"

#include "socket/socket_breaker.h"
#include "test_seams.h"

namespace TqProxy {
namespace {

// FD_SET without its duplicate scan: `interest` holds each socket once.
void AddToSet(fd_set &set, SOCKET socket) {
  if (set.fd_count < FD_SETSIZE) set.fd_array[set.fd_count++] = socket;
}

}  // namespace

SocketPoll::SocketPoll(SocketBreaker *breaker_in)
    : breaker(breaker_in),
      events{breaker_in != nullptr ? breaker_in->Event() : WSA_INVALID_EVENT},
      sockets{INVALID_SOCKET} {}

SocketPoll::~SocketPoll() = default;

size_t SocketPoll::IndexOf(SOCKET socket) const {
  for (size_t i = 1; i < sockets.size(); ++i) {
    if (sockets[i] == socket) return i;
  }
  return 0;
}

void SocketPoll::Rearm(size_t index) {
  WSAEventSelect(sockets[index], events[index], interest[sockets[index]]);
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
  WSAEVENT event = TQ_SYSCALL(WSACreateEvent, wsa_create_event)();
  WSAEventSelect(socket, event, mask);
  sockets.push_back(socket);
  events.push_back(event);
}

void SocketPoll::Clear() {
  for (size_t i = 1; i < events.size(); ++i) WSACloseEvent(events[i]);
  events.resize(1);
  sockets.resize(1);
  interest.clear();
}

int32_t SocketPoll::Wait(int32_t timeout_ms) {
  ready.clear();
  const DWORD timeout = timeout_ms == -1  ? WSA_INFINITE
                        : timeout_ms < -1 ? 0
                                          : static_cast<DWORD>(timeout_ms);
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
  fd_set read_set;
  fd_set write_set;
  fd_set except_set;
  read_set.fd_count = write_set.fd_count = except_set.fd_count = 0;
  for (const auto &entry : interest) {
    if ((entry.second & kReadInterest) != 0) AddToSet(read_set, entry.first);
    AddToSet(except_set, entry.first);
  }
  timeval zero{0, 0};
  const int n = select(0, &read_set, &write_set, &except_set, &zero);
  if (n <= 0) return n;

  for (size_t i = 1; i < sockets.size(); ++i) {
    if (!FD_ISSET(sockets[i], &read_set)) continue;
    ReadyEntry entry{};
    entry.socket = sockets[i];
    entry.network_events.lNetworkEvents = FD_READ;
    if (FD_ISSET(sockets[i], &except_set)) entry.network_events.iErrorCode[FD_CLOSE_BIT] = 1;
    ready.push_back(entry);
  }
  return n;
}

// Services one socket: the lowest signalled index, as the platform reports.
int32_t SocketPoll::WaitForEvent(DWORD timeout) {
  const DWORD r = TQ_SYSCALL(WSAWaitForMultipleEvents, wsa_wait_for_multiple_events)(
      static_cast<DWORD>(events.size()), events.data(), FALSE, timeout, FALSE);
  if (r == WSA_WAIT_TIMEOUT) return 0;
  if (r == WSA_WAIT_EVENT_0) return 1;
  const size_t index = static_cast<size_t>(r - WSA_WAIT_EVENT_0);
  if (r == WSA_WAIT_FAILED || index >= events.size()) return -1;

  ReadyEntry entry{};
  entry.socket = sockets[index];
  if (TQ_SYSCALL(WSAEnumNetworkEvents, wsa_enum_network_events)(
          sockets[index], events[index], &entry.network_events) == SOCKET_ERROR) {
    return -1;
  }
  ready.push_back(entry);
  return 1;
}

}  // namespace TqProxy
