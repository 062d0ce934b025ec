// Internal header. The extra event object on which every wait of the
// network I/O thread's poller also rests, with the error state that ends
// the loop when it is not 0.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform.h"

namespace TqProxy {

class SocketBreaker {
 public:
  SocketBreaker();
  ~SocketBreaker();
  SocketBreaker(const SocketBreaker &) = delete;
  SocketBreaker &operator=(const SocketBreaker &) = delete;

  // Resets the event if the breaker is broken. Called at the end of every wait.
  void Clear();

  platform::Event Event() const { return event; }
  int32_t Error() const { return error; }

 private:
  std::mutex mutex;
  platform::Event event = platform::kInvalidEvent;
  bool broken = false;
  int32_t error = 0;
};

}  // namespace TqProxy
