#include "socket/socket_breaker.h"

namespace TqProxy {

SocketBreaker::SocketBreaker() {
  // The thread's last error may still hold a failure from before (a bind
  // refused during the same start); it must not read as the creation's.
  platform::SetLastSocketError(0);
  event = platform::CreateBreakerEvent();
  // Taken whether or not the creation worked: a non-zero code here stops
  // the loop after its first wait.
  error = platform::LastSocketError();
  broken = event == platform::kInvalidEvent;
}

SocketBreaker::~SocketBreaker() {
  platform::CloseEvent(event);
  error = platform::LastSocketError();
  event = platform::kInvalidEvent;
  broken = true;
}

void SocketBreaker::Clear() {
  std::lock_guard<std::mutex> lock(mutex);
  if (!broken) return;
  const bool reset = platform::ResetEvent(event);
  if (!reset) error = platform::LastSocketError();
  broken = !reset;
}

}  // namespace TqProxy
