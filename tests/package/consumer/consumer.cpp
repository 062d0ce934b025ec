// A host built against the installed package: starts the service on
// 127.0.0.1, sends itself one datagram through a plain UDP socket, and
// exits 0 only when the receive callback got exactly those bytes.
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using SOCKET = int;
inline int closesocket(SOCKET s) { return close(s); }
#endif

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "TqProxy.h"

namespace {

char g_received[64];
std::mutex g_mutex;
std::condition_variable g_received_changed;
bool g_got_it = false;

void TQ_PROXY_CALL OnReceive(void *user_data, const char *data, int32_t length) {
  if (user_data != &g_got_it || length >= static_cast<int32_t>(sizeof(g_received))) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  std::memcpy(g_received, data, static_cast<size_t>(length) + 1);  // with its trailing NUL
  g_got_it = true;
  g_received_changed.notify_all();
}

int Fail(const char *what) {
  std::printf("consumer: FAILED: %s\n", what);
  return 1;
}

}  // namespace

int main() {
#if defined(_WIN32)
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail("WSAStartup");
#endif
  TQ_Proxy_SetLog(nullptr, nullptr, TQ_PROXY_LOG_NONE);  // lines to standard output

  // The host's socket on a free loopback port; the service gets another.
  SOCKET host = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
  if (bind(probe, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
      getsockname(probe, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    return Fail("no free port");
  }
  closesocket(probe);

  ProxyInitParam param{};
  std::strcpy(param.ip, "127.0.0.1");
  param.port = ntohs(addr.sin_port);
  param.recv_callback = OnReceive;
  param.user_data = &g_got_it;
  if (TQ_Proxy_Init(&param) != TQ_PROXY_OK) return Fail("TQ_Proxy_Init");

  const char message[] = "hello from the consumer";
  const bool sent = sendto(host, message, sizeof(message) - 1, 0,
                           reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) > 0;
  bool got = false;
  if (sent) {
    std::unique_lock<std::mutex> lock(g_mutex);
    got = g_received_changed.wait_for(lock, std::chrono::seconds(10), [] { return g_got_it; });
  }
  TQ_Proxy_UnInit();
  closesocket(host);
#if defined(_WIN32)
  WSACleanup();
#endif
  if (!got) return Fail("no datagram reached the receive callback within 10 s");
  if (std::strcmp(g_received, message) != 0) return Fail("the callback got other bytes");
  std::printf("consumer: TqProxy %s received \"%s\"\n", TQPROXY_VERSION_STRING, g_received);
  return 0;
}
