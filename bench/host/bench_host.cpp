// The benchmark host, run under Wine: receives the load generator's traffic
// and answers its commands, either through TqProxy.dll ("lib", logging to a
// callback at INFO as a real host would) or through a bare Winsock loop
// without the library: "recvfrom", a blocking receive loop (the runtime's
// ceiling), or "shape", a loop of the library's own shape (re-armed event
// select, zero-timeout select, event wait, one datagram per cycle), which
// separates the design's cost from the implementation's.
// Usage: tq_bench_host.exe lib|recvfrom|shape <port>. Ends on the
// generator's quit, or after 15 minutes whatever happens.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "TqProxy.h"
#include "bench_protocol.h"

namespace {

std::atomic<bool> g_quit{false};

sockaddr_in Address(const char *ip, unsigned port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = inet_addr(ip);
  return a;
}

int64_t QpcUs() {  // the performance counter, as the library's clock
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The library's side answers through TQ_Proxy_Send, a bare loop's through
// its own socket.
class WinReceiver : public bench::Receiver {
 public:
  explicit WinReceiver(SOCKET s) : s_(s) {}
  int SendTo(const char *ip, unsigned port, const char *data, int len) override {
    if (s_ == INVALID_SOCKET) return TQ_Proxy_Send(ip, port, data, len);
    const sockaddr_in to = Address(ip, port);
    return sendto(s_, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
  }
  int SendToAll(const char *data, int len) override { return TQ_Proxy_Send(nullptr, 0, data, len); }
  int64_t NowUs() override { return QpcUs(); }
  // The process's own CPU time, in steps of 10 ms under Wine; the
  // wineserver's share is not in it.
  int64_t CpuUs() override {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return static_cast<int64_t>(
               (static_cast<uint64_t>(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) +
               (static_cast<uint64_t>(user.dwHighDateTime) << 32 | user.dwLowDateTime)) /
           10;
  }

 private:
  SOCKET s_;
};

WinReceiver *g_lib = nullptr;

void TQ_PROXY_CALL OnReceive(void *, const char *data, int32_t length) {
  if (!g_lib->Handle(data, length)) g_quit = true;
}

// INFO lines are delivered, as a host would configure it; the one for each
// new peer also tells the table's size (same thread as OnReceive).
void TQ_PROXY_CALL OnLog(void *, int32_t, const char *line) {
  const char *p = std::strstr(line, "accept peer=");
  if (p != nullptr && (p = std::strstr(p, ", size=")) != nullptr) g_lib->peers = std::atoll(p + 7);
}

int RunLibrary(int port, int64_t deadline) {
  WinReceiver receiver(INVALID_SOCKET);
  g_lib = &receiver;
  TQ_Proxy_SetLog(nullptr, OnLog, TQ_PROXY_LOG_INFO);
  ProxyInitParam param{};
  std::strcpy(param.ip, "127.0.0.1");
  param.port = port;
  param.recv_callback = OnReceive;
  if (TQ_Proxy_Init(&param) != TQ_PROXY_OK) return 1;
  while (!g_quit && QpcUs() < deadline) Sleep(20);
  TQ_Proxy_UnInit();
  return 0;
}

int RunBare(bool shape, int port, int64_t deadline) {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in local = Address("127.0.0.1", static_cast<unsigned>(port));
  if (s == INVALID_SOCKET ||
      bind(s, reinterpret_cast<const sockaddr *>(&local), sizeof(local)) != 0)
    return 1;
  const DWORD timeout_ms = 100;  // the blocking loop still sees the deadline
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout_ms),
             sizeof(timeout_ms));
  WSAEVENT events[2] = {WSACreateEvent(), WSACreateEvent()};  // a breaker's, the socket's
  WinReceiver receiver(s);
  static char buffer[bench::kRecvBufferSize];
  bool run = true;
  while (run && QpcUs() < deadline) {
    bool readable = true;
    if (shape) {
      WSAEventSelect(s, events[1], FD_READ | FD_ACCEPT | FD_CLOSE);  // re-armed every cycle
      fd_set read_set{1, {s}}, write_set{0, {}}, except_set{1, {s}};
      timeval zero{0, 0};
      const int n = select(0, &read_set, &write_set, &except_set, &zero);
      readable = n > 0 && FD_ISSET(s, &read_set);
      if (n == 0 &&
          WSAWaitForMultipleEvents(2, events, FALSE, 100, FALSE) == WSA_WAIT_EVENT_0 + 1) {
        WSANETWORKEVENTS ne{};
        readable = WSAEnumNetworkEvents(s, events[1], &ne) == 0 && (ne.lNetworkEvents & FD_READ);
      }
    }
    if (!readable) continue;
    sockaddr_in from{};
    int from_len = sizeof(from);
    const int n =
        recvfrom(s, buffer, sizeof(buffer) - 1, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n <= 0) continue;
    buffer[n] = '\0';
    run = receiver.Handle(buffer, n);
  }
  WSACloseEvent(events[0]);
  WSACloseEvent(events[1]);
  closesocket(s);
  WSACleanup();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  const int port = std::atoi(argv[2]);
  const int64_t deadline = QpcUs() + 15LL * 60 * 1000000;
  if (std::strcmp(argv[1], "lib") == 0) return RunLibrary(port, deadline);
  if (std::strcmp(argv[1], "recvfrom") == 0) return RunBare(false, port, deadline);
  if (std::strcmp(argv[1], "shape") == 0) return RunBare(true, port, deadline);
  return 2;
}
