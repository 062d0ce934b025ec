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
#include <poll.h>
#include <sys/eventfd.h>

#include <thread>

#include "library_host.h"
#include "loopback_load.h"

namespace {

using bench::g_quit;

void ShapeLoop(int s, int breaker, int64_t deadline) {
  bench::SocketReceiver receiver(s);
  while (!g_quit && receiver.NowUs() < deadline) {
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
    if (readable && !bench::ReceiveOne(s, receiver)) g_quit = true;
  }
}

int RunBare(bool shape, int port, int64_t deadline) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in local = bench::Address(bench::kLoopback, static_cast<unsigned>(port));
  if (s < 0 || bind(s, reinterpret_cast<const sockaddr *>(&local), sizeof(local)) != 0) return 1;
  const int breaker = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (breaker < 0) return 1;
  // On a thread of its own, as the library's loop; the main thread waits
  // and breaks the wait as the library's stop does.
  std::thread loop(shape ? std::thread([=] { ShapeLoop(s, breaker, deadline); })
                         : std::thread([=] { bench::RecvfromLoop(s, deadline, g_quit); }));
  bench::SocketReceiver clock(s);
  bench::WaitForQuit(clock, deadline);
  const uint64_t one = 1;
  if (write(breaker, &one, sizeof(one)) < 0) g_quit = true;
  loop.join();
  close(breaker);
  close(s);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  bench::LibraryReceiver<bench::SocketReceiver> library(-1);
  return bench::HostMain(argc, argv, library, RunBare);
}
