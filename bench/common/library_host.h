// What the Windows benchmark host and the native one share: the library's
// side (receiving through the library's callback, answering through
// TQ_Proxy_Send, logging at INFO as a real host would) and the command
// line: lib|shape|recvfrom <port>. A host ends on the generator's quit,
// or after 15 minutes whatever happens.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "TqProxy.h"
#include "bench_protocol.h"

namespace bench {

inline std::atomic<bool> g_quit{false};

// The library's side of a receiver: `Base` gives the platform's clocks.
template <typename Base>
class LibraryReceiver : public Base {
 public:
  using Base::Base;
  int SendTo(const char *ip, unsigned port, const char *data, int len) override {
    return TQ_Proxy_Send(ip, port, data, len);
  }
  int SendToAll(const char *data, int len) override { return TQ_Proxy_Send(nullptr, 0, data, len); }
};

inline void TQ_PROXY_CALL OnReceive(void *receiver, const char *data, int32_t length) {
  if (!static_cast<Receiver *>(receiver)->Handle(data, length)) g_quit = true;
}

// INFO lines are delivered, as a host would configure it; the one for each
// new peer also tells the table's size (same thread as OnReceive).
inline void TQ_PROXY_CALL OnLog(void *receiver, int32_t, const char *line) {
  const char *p = std::strstr(line, "accept peer=");
  if (p != nullptr && (p = std::strstr(p, ", size=")) != nullptr)
    static_cast<Receiver *>(receiver)->peers = std::atoll(p + 7);
}

// `clock` only tells the time: the waiting thread does not receive.
inline void WaitForQuit(Receiver &clock, int64_t deadline_us) {
  while (!g_quit && clock.NowUs() < deadline_us) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

inline int RunLibrary(Receiver &receiver, int port, int64_t deadline_us) {
  TQ_Proxy_SetLog(&receiver, OnLog, TQ_PROXY_LOG_INFO);
  ProxyInitParam param{};
  std::strcpy(param.ip, "127.0.0.1");
  param.port = port;
  param.recv_callback = OnReceive;
  param.user_data = &receiver;
  if (TQ_Proxy_Init(&param) != TQ_PROXY_OK) return 1;
  WaitForQuit(receiver, deadline_us);
  TQ_Proxy_UnInit();
  return 0;
}

// `library` is the library's receiver, whose clock also times the bare
// loops' deadline; `run_bare(shape, port, deadline_us)` runs a bare loop.
inline int HostMain(int argc, char **argv, Receiver &library, int (*run_bare)(bool, int, int64_t)) {
  if (argc != 3) return 2;
  const int port = std::atoi(argv[2]);
  const int64_t deadline_us = library.NowUs() + 15LL * 60 * 1000000;
  if (std::strcmp(argv[1], "lib") == 0) return RunLibrary(library, port, deadline_us);
  if (std::strcmp(argv[1], "shape") == 0) return run_bare(true, port, deadline_us);
  if (std::strcmp(argv[1], "recvfrom") == 0) return run_bare(false, port, deadline_us);
  return 2;
}

}  // namespace bench
