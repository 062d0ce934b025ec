// A host built against the installed package: starts the service on a free
// port of 127.0.0.1, sends itself one datagram through the library, and
// exits 0 only when the receive callback got exactly those bytes.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "TqProxy.h"

namespace {

char g_received[64];
std::atomic<bool> g_got_it{false};

void TQ_PROXY_CALL OnReceive(void *user_data, const char *data, int32_t length) {
  if (user_data != &g_got_it || length >= static_cast<int32_t>(sizeof(g_received))) return;
  std::memcpy(g_received, data, static_cast<size_t>(length) + 1);  // with its trailing NUL
  g_got_it = true;
}

int Fail(const char *what) {
  std::printf("consumer: FAILED: %s\n", what);
  return 1;
}

}  // namespace

int main() {
  TQ_Proxy_SetLog(nullptr, nullptr, TQ_PROXY_LOG_NONE);
  ProxyInitParam param{};
  std::strcpy(param.ip, "127.0.0.1");
  param.recv_callback = OnReceive;
  param.user_data = &g_got_it;
  // The first port of a range that no other program holds.
  for (param.port = 47600; param.port < 47700; ++param.port) {
    if (TQ_Proxy_Init(&param) == TQ_PROXY_OK) break;
  }
  if (param.port == 47700) return Fail("TQ_Proxy_Init");

  const char message[] = "hello from the consumer";
  const int32_t length = sizeof(message) - 1;
  if (TQ_Proxy_Send("127.0.0.1", param.port, message, length) != length) return Fail("send");
  for (int i = 0; i < 1000 && !g_got_it; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  TQ_Proxy_UnInit();
  if (!g_got_it) return Fail("no datagram reached the receive callback within 10 s");
  if (std::strcmp(g_received, message) != 0) return Fail("the callback got other bytes");
  std::printf("consumer: TqProxy %s received \"%s\"\n", TQPROXY_VERSION_STRING, g_received);
  return 0;
}
