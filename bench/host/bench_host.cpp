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

#include <chrono>

#include "library_host.h"

namespace {

sockaddr_in Address(const char *ip, unsigned port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = inet_addr(ip);
  return a;
}

// A bare loop's receiver: answers through its own socket.
class WinReceiver : public bench::Receiver {
 public:
  explicit WinReceiver(SOCKET s) : s_(s) {}
  int SendTo(const char *ip, unsigned port, const char *data, int len) override {
    const sockaddr_in to = Address(ip, port);
    return sendto(s_, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
  }
  int64_t NowUs() override {  // the performance counter, as the library's clock
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
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
  bool run = true;
  while (run && receiver.NowUs() < deadline) {
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
    if (readable) run = bench::ReceiveOne(s, receiver);
  }
  WSACloseEvent(events[0]);
  WSACloseEvent(events[1]);
  closesocket(s);
  WSACleanup();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  bench::LibraryReceiver<WinReceiver> library(INVALID_SOCKET);
  return bench::HostMain(argc, argv, library, RunBare);
}
