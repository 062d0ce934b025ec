// A host built against the installed package: starts the service on
// 127.0.0.1, sends itself one datagram through a plain UDP socket, and
// exits 0 only when the receive callback got exactly those bytes.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "TqProxy.h"

namespace {

char g_received[64];
HANDLE g_got_it;

void TQ_PROXY_CALL OnReceive(void *user_data, const char *data, int32_t length) {
  if (user_data != &g_got_it || length >= static_cast<int32_t>(sizeof(g_received))) return;
  std::memcpy(g_received, data, static_cast<size_t>(length) + 1);  // with its trailing NUL
  SetEvent(g_got_it);
}

int Fail(const char *what) {
  std::printf("consumer: FAILED: %s\n", what);
  return 1;
}

}  // namespace

int main() {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail("WSAStartup");
  g_got_it = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  TQ_Proxy_SetLog(nullptr, nullptr, TQ_PROXY_LOG_NONE);  // lines to standard output

  // The host's socket on a free loopback port; the service gets another.
  SOCKET host = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof(addr);
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
  const bool got = sent && WaitForSingleObject(g_got_it, 10000) == WAIT_OBJECT_0;
  TQ_Proxy_UnInit();
  closesocket(host);
  WSACleanup();
  if (!got) return Fail("no datagram reached the receive callback within 10 s");
  if (std::strcmp(g_received, message) != 0) return Fail("the callback got other bytes");
  std::printf("consumer: TqProxy %s received \"%s\"\n", TQPROXY_VERSION_STRING, g_received);
  return 0;
}
