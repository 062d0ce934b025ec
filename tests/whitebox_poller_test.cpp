// The breaker and the pollers on real loopback sockets: which path of a
// wait (zero-timeout select or event wait) reports what, the registration
// bookkeeping, and the 64-handle limit of the event wait.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "socket/socket_breaker.h"
#include "socket/socket_select.h"
#include "test_support.h"

namespace {

using TqProxy::SocketSelect;
using tqtest::UdpPeer;

// Sends one datagram to `to` and waits until it is queued there.
void Queue(const UdpPeer &to) {
  ASSERT_EQ(2, UdpPeer().SendTo("127.0.0.1", to.Port(), "hi"));
  fd_set set;
  FD_ZERO(&set);
  FD_SET(to.Socket(), &set);
  timeval tv{2, 0};
  ASSERT_EQ(1, select(0, &set, nullptr, nullptr, &tv));
}

bool Signalled(WSAEVENT event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// Re-registration every pass must not leak event objects; a socket watched
// only for exceptions is never reported; Clear closes all but the breaker's.
TEST(SocketSelect, RegistrationBookkeepingAndClear) {
  tqtest::WinsockSession ws;
  TqProxy::SocketBreaker breaker;
  UdpPeer a, b;
  SocketSelect poller(&breaker);
  const TqProxy::SocketPoll &poll = poller.Poll();
  for (int pass = 0; pass < 3; ++pass) {
    poller.WatchRead(a.Socket());
    poller.WatchException(a.Socket());
    ASSERT_EQ(2u, poll.Events().size());
    EXPECT_EQ(0x29, poll.Interest().at(a.Socket()));
  }
  poller.WatchException(b.Socket());
  ASSERT_EQ(3u, poll.Events().size());
  EXPECT_EQ(0, poll.Interest().at(b.Socket()));
  const std::vector<WSAEVENT> events = poll.Events();
  Queue(b);
  EXPECT_EQ(0, poller.Wait(0));
  EXPECT_FALSE(poller.IsReadable(b.Socket()));
  EXPECT_FALSE(Signalled(events[2]));  // associated with no network event

  poller.Clear();
  EXPECT_EQ(std::vector<WSAEVENT>{breaker.Event()}, poll.Events());
  EXPECT_EQ(std::vector<SOCKET>{INVALID_SOCKET}, poll.Sockets());
  EXPECT_TRUE(poll.Interest().empty());
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(events[1], &flags) || GetHandleInformation(events[2], &flags));
  EXPECT_TRUE(GetHandleInformation(breaker.Event(), &flags));
}

// Timeouts (a negative one as 0); queued data is found by the zero-timeout
// select, one FD_READ entry per socket, in registration order.
TEST(SocketSelect, TimeoutAndQueuedDataInRegistrationOrder) {
  tqtest::WinsockSession ws;
  TqProxy::SocketBreaker breaker;
  UdpPeer a, b;
  const bool a_high = a.Socket() > b.Socket();
  const UdpPeer &high = a_high ? a : b, &low = a_high ? b : a;
  SocketSelect poller(&breaker);
  poller.WatchRead(high.Socket());
  poller.WatchRead(low.Socket());
  EXPECT_EQ(0, poller.Wait(0));
  const DWORD t0 = GetTickCount();
  EXPECT_EQ(0, poller.Wait(-5));
  EXPECT_LT(GetTickCount() - t0, 1000u);
  EXPECT_TRUE(poller.Poll().Ready().empty());

  Queue(low);
  EXPECT_GE(poller.Wait(100), 1);
  ASSERT_EQ(1u, poller.Poll().Ready().size());
  const TqProxy::ReadyEntry &entry = poller.Poll().Ready()[0];
  EXPECT_EQ(low.Socket(), entry.socket);
  EXPECT_EQ(FD_READ, entry.network_events.lNetworkEvents);
  for (int code : entry.network_events.iErrorCode) EXPECT_EQ(0, code);
  EXPECT_TRUE(poller.IsReadable(low.Socket()));
  EXPECT_FALSE(poller.HasException(low.Socket()));
  EXPECT_FALSE(poller.IsReadable(high.Socket()));

  Queue(high);
  EXPECT_GE(poller.Wait(100), 2);
  ASSERT_EQ(2u, poller.Poll().Ready().size());
  EXPECT_EQ(high.Socket(), poller.Poll().Ready()[0].socket);
  EXPECT_EQ(low.Socket(), poller.Poll().Ready()[1].socket);
  poller.Clear();
}

// An arrival during the wait is enumerated by the event wait (which resets
// the socket's event); the breaker's event ends a wait with nothing ready,
// and a healthy breaker's Clear at the end of the wait leaves it set.
TEST(SocketSelect, EventWaitServicesArrivalAndBreaker) {
  tqtest::WinsockSession ws;
  TqProxy::SocketBreaker breaker;
  EXPECT_TRUE(breaker.CreateOk());
  EXPECT_FALSE(breaker.Broken());
  EXPECT_EQ(0, breaker.Error());
  UdpPeer a;
  SocketSelect poller(&breaker);
  poller.WatchRead(a.Socket());
  std::thread late([&] {
    Sleep(200);
    UdpPeer().SendTo("127.0.0.1", a.Port(), "late");
  });
  EXPECT_EQ(1, poller.Wait(3000));
  late.join();
  ASSERT_EQ(1u, poller.Poll().Ready().size());
  const WSANETWORKEVENTS &ne = poller.Poll().Ready()[0].network_events;
  EXPECT_EQ(a.Socket(), poller.Poll().Ready()[0].socket);
  EXPECT_NE(0, ne.lNetworkEvents & FD_READ);
  EXPECT_EQ(0, ne.iErrorCode[FD_READ_BIT]);
  EXPECT_FALSE(Signalled(poller.Poll().Events()[1]));
  EXPECT_GE(poller.Wait(0), 1);  // still queued: the next select finds it
  EXPECT_TRUE(poller.IsReadable(a.Socket()));

  char buffer[16];
  ASSERT_EQ(4, recv(a.Socket(), buffer, sizeof(buffer), 0));
  std::thread setter([&] {
    Sleep(100);
    WSASetEvent(breaker.Event());
  });
  EXPECT_EQ(1, poller.Wait(3000));
  setter.join();
  EXPECT_TRUE(poller.Poll().Ready().empty());
  EXPECT_EQ(0, poller.BreakerError());
  EXPECT_TRUE(Signalled(breaker.Event()));
  EXPECT_EQ(1, poller.Wait(3000));  // returns at once
  WSAResetEvent(breaker.Event());
  poller.Clear();
}

// The breaker's event plus 64 socket events exceed the 64 handles of the
// event wait: every wait that gets there fails with 87; 63 sockets are fine.
TEST(SocketSelect, SixtyFourSocketsFailTheEventWait) {
  tqtest::WinsockSession ws;
  TqProxy::SocketBreaker breaker;
  std::vector<std::unique_ptr<UdpPeer>> peers;
  for (int i = 0; i < 64; ++i) peers.push_back(std::make_unique<UdpPeer>());
  SocketSelect poller(&breaker);
  for (int i = 0; i < 63; ++i) poller.WatchRead(peers[i]->Socket());
  EXPECT_EQ(0, poller.Wait(0));
  poller.WatchRead(peers[63]->Socket());
  for (int attempt = 0; attempt < 2; ++attempt) {
    SetLastError(0);
    EXPECT_EQ(-1, poller.Wait(10));
    EXPECT_EQ(87u, GetLastError());
  }
  poller.Clear();
}

}  // namespace
