#include "socket/socket_breaker.h"

#include "test_seams.h"

namespace TqProxy {

SocketBreaker::SocketBreaker() {
  // The thread's last error may still hold a failure from before (a bind
  // refused during the same start); it must not read as the creation's.
  WSASetLastError(0);
  event = TQ_SYSCALL(WSACreateEvent, wsa_create_event)();
  create_ok = event != WSA_INVALID_EVENT;
  // Taken whether or not the creation worked: a non-zero code here stops
  // the loop after its first wait.
  error = WSAGetLastError();
  broken = !create_ok;
}

SocketBreaker::~SocketBreaker() {
  WSACloseEvent(event);
  error = WSAGetLastError();
  event = WSA_INVALID_EVENT;
  broken = true;
}

void SocketBreaker::Clear() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!broken) return;
  const bool reset = WSAResetEvent(event) != FALSE;
  if (!reset) error = WSAGetLastError();
  broken = !reset;
}

}  // namespace TqProxy
