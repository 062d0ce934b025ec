// The poller on real loopback sockets, for what the service's loop does not
// show: one wait reporting every socket with data queued, data left behind
// after an event wait still being found, a wait's timeouts, the breaker
// ending a wait, and the event objects a registration holds. The limit of
// 64 handles per event wait is proven on the network-namespace hosts.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "socket/socket_breaker.h"
#include "socket/socket_select.h"
#include "test_seams.h"
#include "test_support.h"

namespace {

namespace platform = TqProxy::platform;
using TqProxy::SocketSelect;
using tqtest::UdpPeer;

// Sends one datagram to `to` and waits until it is queued there.
void Queue(const UdpPeer &to) {
  ASSERT_EQ(2, UdpPeer().SendTo("127.0.0.1", to.Port(), "hi"));
  ASSERT_TRUE(tqtest::WaitReadable(to.Socket(), 2000));
}

// One poller through every way a wait can end. The breaker is made while
// the thread's last error still holds an earlier failure, as after a bind
// refused in the same start; it must not read as the breaker's own.
TEST(SocketSelect, EveryWayAWaitEnds) {
  tqtest::WinsockSession ws;
  platform::SetLastSocketError(tqtest::kErrorAddressInUse);
  TqProxy::SocketBreaker breaker;
  UdpPeer a, b;
  SocketSelect poller(&breaker);
  // Registered again every pass, as the loop does: no new event objects.
  for (int pass = 0; pass < 3; ++pass) {
    for (const UdpPeer *peer : {&a, &b}) {
      poller.WatchRead(peer->Socket());
      poller.WatchException(peer->Socket());
    }
  }
  const std::vector<platform::Event> events = poller.Poll().Events();
  ASSERT_EQ(3u, events.size());

  // An arrival during the wait ends it through the socket's event, which
  // is reset; the data it left queued is still found by the next wait.
  std::thread late([&] {
    tqtest::SleepMs(200);
    UdpPeer().SendTo("127.0.0.1", b.Port(), "late");
  });
  EXPECT_EQ(1, poller.Wait(3000));
  late.join();
  EXPECT_TRUE(poller.IsReadable(b.Socket()));
  EXPECT_FALSE(tqtest::EventIsSet(events[2]));
  EXPECT_GE(poller.Wait(0), 1);
  EXPECT_TRUE(poller.IsReadable(b.Socket()));
  char buffer[16];
  ASSERT_EQ(4, recv(b.Socket(), buffer, sizeof(buffer), 0));

  // The breaker's event ends a wait, with no error from a healthy breaker
  // (whose end-of-wait Clear leaves the event set, to its setter).
  platform::SetEvent(breaker.Event());
  EXPECT_EQ(1, poller.Wait(3000));
  EXPECT_EQ(0, poller.BreakerError());
  EXPECT_TRUE(tqtest::EventIsSet(breaker.Event()));
  platform::ResetEvent(breaker.Event());

  // Nothing queued: a timeout below -1 counts as 0 (not as forever); others
  // are waited out.
  EXPECT_EQ(0, poller.Wait(-5));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, poller.Wait(150));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

  // One wait reports every socket with data queued, not only the first.
  Queue(a);
  EXPECT_GE(poller.Wait(100), 1);
  EXPECT_TRUE(poller.IsReadable(a.Socket()));
  EXPECT_FALSE(poller.IsReadable(b.Socket()));
  Queue(b);
  EXPECT_GE(poller.Wait(100), 2);
  EXPECT_TRUE(poller.IsReadable(a.Socket()) && poller.IsReadable(b.Socket()));

  // Clear closes the sockets' event objects, not the breaker's.
  poller.Clear();
  EXPECT_EQ(std::vector<platform::Event>{breaker.Event()}, poller.Poll().Events());
  EXPECT_FALSE(tqtest::EventIsOpen(events[1]) || tqtest::EventIsOpen(events[2]));
  EXPECT_TRUE(tqtest::EventIsOpen(breaker.Event()));
}

// A breaker whose event could not be made is broken: its Clear tries the
// reset, and keeps that failure as the breaker's error.
TEST(SocketBreaker, BrokenOneTriesTheResetOnClear) {
#if defined(_WIN32)
  constexpr int kNoMemory = WSA_NOT_ENOUGH_MEMORY, kNoHandle = ERROR_INVALID_HANDLE;
  TqProxy::seams::wsa_create_event = []() -> WSAEVENT {
    WSASetLastError(kNoMemory);
    return WSA_INVALID_EVENT;
  };
#else
  constexpr int kNoMemory = ENOMEM, kNoHandle = EBADF;
  TqProxy::seams::event_fd = [](unsigned int, int) {
    errno = kNoMemory;
    return -1;
  };
#endif
  TqProxy::SocketBreaker broken;
  TqProxy::seams::Reset();
  EXPECT_EQ(kNoMemory, broken.Error());
  broken.Clear();
  EXPECT_EQ(kNoHandle, broken.Error());
}

}  // namespace
