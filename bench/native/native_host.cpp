// The native benchmark host: receives the generator's traffic on
// 127.0.0.1 and answers its commands, either through libTqProxy.so ("lib",
// logging to a callback at INFO as a real host would) or through a bare
// loop without the library, run like the library's loop on a thread of its
// own: "shape", the library's cycle (a zero-timeout poll, then a wait of at
// most 100 ms over the socket and an eventfd breaker only when nothing is
// ready, one datagram per cycle), or "recvfrom", a blocking receive loop
// (the kernel's ceiling).
// Usage: tq_native_host lib|shape|recvfrom <port>. Ends on the generator's
// quit, or after 15 minutes whatever happens.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "TqProxy.h"
#include "bench_protocol.h"

namespace {

std::atomic<bool> g_quit{false};

int64_t Us(clockid_t clock = CLOCK_MONOTONIC) {
  timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

sockaddr_in Address(const char *ip, unsigned port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = inet_addr(ip);
  return a;
}

// The library's side answers through TQ_Proxy_Send, a bare loop's through
// its own socket. CPU is the whole process's, the library's thread in it.
class NativeReceiver : public bench::Receiver {
 public:
  explicit NativeReceiver(int fd) : fd_(fd) {}
  int SendTo(const char *ip, unsigned port, const char *data, int len) override {
    if (fd_ < 0) return TQ_Proxy_Send(ip, port, data, len);
    const sockaddr_in to = Address(ip, port);
    return static_cast<int>(
        sendto(fd_, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof(to)));
  }
  int SendToAll(const char *data, int len) override { return TQ_Proxy_Send(nullptr, 0, data, len); }
  int64_t NowUs() override { return Us(); }
  int64_t CpuUs() override { return Us(CLOCK_PROCESS_CPUTIME_ID); }

 private:
  int fd_;
};

NativeReceiver *g_lib = nullptr;

void OnReceive(void *, const char *data, int32_t length) {
  if (!g_lib->Handle(data, length)) g_quit = true;
}

// INFO lines are delivered, as a host would configure it; the one for each
// new peer also tells the table's size (same thread as OnReceive).
void OnLog(void *, int32_t, const char *line) {
  const char *p = std::strstr(line, "accept peer=");
  if (p != nullptr && (p = std::strstr(p, ", size=")) != nullptr) g_lib->peers = std::atoll(p + 7);
}

void WaitForQuit(int64_t deadline) {
  while (!g_quit && Us() < deadline) usleep(20000);
}

int RunLibrary(int port, int64_t deadline) {
  NativeReceiver receiver(-1);
  g_lib = &receiver;
  TQ_Proxy_SetLog(nullptr, OnLog, TQ_PROXY_LOG_INFO);
  ProxyInitParam param{};
  std::strcpy(param.ip, "127.0.0.1");
  param.port = port;
  param.recv_callback = OnReceive;
  if (TQ_Proxy_Init(&param) != TQ_PROXY_OK) return 1;
  WaitForQuit(deadline);
  TQ_Proxy_UnInit();
  return 0;
}

// One receive and its handling; false once told to quit.
bool ReceiveOne(int s, NativeReceiver &receiver) {
  static char buffer[bench::kRecvBufferSize];
  sockaddr_in from{};
  socklen_t from_len = sizeof(from);
  const ssize_t n =
      recvfrom(s, buffer, sizeof(buffer) - 1, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
  if (n <= 0) return true;
  buffer[n] = '\0';
  return receiver.Handle(buffer, static_cast<int>(n));
}

void ShapeLoop(int s, int breaker, int64_t deadline) {
  NativeReceiver receiver(s);
  while (!g_quit && Us() < deadline) {
    pollfd now{s, POLLIN | POLLPRI, 0};
    const int n = poll(&now, 1, 0);
    if (n < 0) break;
    bool readable = n > 0 && (now.revents & POLLIN) != 0;
    if (n == 0) {
      pollfd wait[2] = {{breaker, POLLIN, 0}, {s, POLLIN, 0}};
      if (poll(wait, 2, 100) < 0) break;
      if ((wait[0].revents & POLLIN) != 0) break;  // the stop
      readable = (wait[1].revents & POLLIN) != 0;
    }
    if (readable && !ReceiveOne(s, receiver)) g_quit = true;
  }
}

void RecvfromLoop(int s, int64_t deadline) {
  NativeReceiver receiver(s);
  const timeval timeout{0, 100000};  // the loop still sees the deadline
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  while (!g_quit && Us() < deadline) {
    if (!ReceiveOne(s, receiver)) g_quit = true;
  }
}

int RunBare(bool shape, int port, int64_t deadline) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in local = Address("127.0.0.1", static_cast<unsigned>(port));
  if (s < 0 || bind(s, reinterpret_cast<const sockaddr *>(&local), sizeof(local)) != 0) return 1;
  const int breaker = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (breaker < 0) return 1;
  // On a thread of its own, as the library's loop; the main thread waits
  // and breaks the wait as the library's stop does.
  std::thread loop(shape ? std::thread([=] { ShapeLoop(s, breaker, deadline); })
                         : std::thread([=] { RecvfromLoop(s, deadline); }));
  WaitForQuit(deadline);
  const uint64_t one = 1;
  if (write(breaker, &one, sizeof(one)) < 0) g_quit = true;
  loop.join();
  close(breaker);
  close(s);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  const int port = std::atoi(argv[2]);
  const int64_t deadline = Us() + 15LL * 60 * 1000000;
  if (std::strcmp(argv[1], "lib") == 0) return RunLibrary(port, deadline);
  if (std::strcmp(argv[1], "shape") == 0) return RunBare(true, port, deadline);
  if (std::strcmp(argv[1], "recvfrom") == 0) return RunBare(false, port, deadline);
  return 2;
}
