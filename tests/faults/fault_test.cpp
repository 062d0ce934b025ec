// Faults the service must survive. Those loopback can produce are provoked
// for real (a peer that cannot take a datagram, a peer that is gone; a port
// in use is the lifecycle suite's); the rest are injected through the test
// seams. After each one the same service object must start again and
// deliver a real datagram.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "log/log_sink.h"
#include "test_seams.h"
#include "test_support.h"
#include "tq_udp_service.h"

namespace {

namespace seams = TqProxy::seams;
using tqtest::Eventually;
using tqtest::UdpPeer;

std::atomic<int> g_calls{0};  // calls that reached the current fake

int WSAAPI FailStartup(WORD, LPWSADATA) {
  WSASetLastError(WSASYSNOTREADY);
  return WSASYSNOTREADY;
}
SOCKET WSAAPI FailSocket(int, int, int) {
  ++g_calls;
  WSASetLastError(WSAEMFILE);
  return INVALID_SOCKET;
}
DWORD WSAAPI FailWait(DWORD, const WSAEVENT *, BOOL, DWORD, BOOL) {
  WSASetLastError(ERROR_INVALID_HANDLE);
  return WSA_WAIT_FAILED;
}
int WSAAPI FailEnumeration(SOCKET, WSAEVENT, LPWSANETWORKEVENTS) {
  WSASetLastError(WSAENETDOWN);
  return SOCKET_ERROR;
}
// Only the first event, the breaker's, cannot be made.
WSAEVENT WSAAPI FailFirstEvent() {
  if (g_calls++ > 0) return WSACreateEvent();
  WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
  return WSA_INVALID_EVENT;
}
// How Windows reports an ICMP port-unreachable on an unconnected socket;
// the queued datagram stays, as there.
int WSAAPI ResetOnce(SOCKET s, char *buffer, int size, int flags, sockaddr *from, int *len) {
  if (g_calls++ > 0) return recvfrom(s, buffer, size, flags, from, len);
  WSASetLastError(WSAECONNRESET);
  return SOCKET_ERROR;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = 0;
    TqProxy::LogSink::Instance().SetLog(&log, &tqtest::LogCapture::Callback, 1);
  }
  void TearDown() override {
    seams::Reset();
    service.Stop();
    TqProxy::LogSink::Instance().SetLog(nullptr, nullptr, 1);
  }

  static void TQ_PROXY_CALL Received(void *self, const char *data, int32_t len) {
    auto *test = static_cast<Faults *>(self);
    std::lock_guard<std::mutex> lock(test->received_mutex);
    test->received.emplace_back(data, static_cast<size_t>(len));
  }
  static void TQ_PROXY_CALL Ignore(void *, const char *, int32_t) {}
  std::vector<std::string> Delivered() {
    std::lock_guard<std::mutex> lock(received_mutex);
    return received;
  }
  bool WasDelivered(const std::string &payload) {
    for (const std::string &d : Delivered()) {
      if (d == payload) return true;
    }
    return false;
  }

  int32_t Start() {
    param = tqtest::MakeParam("127.0.0.1", port, &Received, this);
    return service.Start(&param);
  }
  // A real datagram from a real peer reaches the host.
  bool Delivers(const std::string &payload) {
    UdpPeer peer;
    peer.SendTo("127.0.0.1", port, payload);
    return Eventually([&] { return WasDelivered(payload); }, 5000);
  }
  // The host's own Winsock session still works: the library did not clean
  // up start-ups that were not its own.
  static bool HostWinsockWorks() {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return false;
    closesocket(s);
    return true;
  }

  // Lines at `level` whose message starts with `message`.
  size_t Lines(int level, const std::string &message) const {
    size_t n = 0;
    for (const tqtest::LogLine &l : log.Matching("] " + message)) n += l.level == level;
    return n;
  }
  size_t AtLeast(int level) const {
    size_t n = 0;
    for (const tqtest::LogLine &l : log.Lines()) n += l.level >= level;
    return n;
  }
  std::string Port() const { return std::to_string(port); }
  static std::string Text(int error) { return std::strerror(error); }

  // The loop ended by itself with `message`: idle, sends refused; Stop and
  // Start bring the same object back.
  void ExpectLoopEndedThenRecovers(const std::string &message) {
    UdpPeer peer;  // the enumeration fails only on an event, so some arrive
    for (int i = 0; i < 50 && Lines(4, message) == 0; ++i) {
      peer.SendTo("127.0.0.1", port, "x");
      Sleep(100);
    }
    ASSERT_EQ(1u, Lines(4, message));
    EXPECT_TRUE(Eventually([&] { return service.state.load() == 0; }));
    EXPECT_EQ(-97, service.Send("127.0.0.1", port, "x", 1));
    seams::Reset();
    EXPECT_EQ(0, service.Stop());
    log.Clear();
    ASSERT_EQ(0, Start());
    EXPECT_TRUE(Delivers("after the loop ended"));
  }

  tqtest::WinsockSession winsock;  // the host's own session
  tqtest::LogCapture log;
  std::mutex received_mutex;
  std::vector<std::string> received;
  const uint16_t port = tqtest::FreeUdpPort();
  ProxyInitParam param{};
  TqProxy::TQUdpService service;
};

// Peers that cannot take a datagram: one whose receive buffer is too small,
// one whose socket is gone (its ICMP reply lands on our listen socket).
// Sends report the full length and the service keeps serving the others.
TEST_F(Faults, PeersThatCannotTakeADatagramDoNotDisturbTheService) {
  ASSERT_EQ(0, Start());
  UdpPeer small;
  auto gone = std::make_unique<UdpPeer>();
  small.SendTo("127.0.0.1", port, "small");
  gone->SendTo("127.0.0.1", port, "gone");
  ASSERT_TRUE(Eventually([&] { return WasDelivered("small") && WasDelivered("gone"); }, 5000));

  const std::string big(1000, 'b');
  EXPECT_EQ(1000, service.Send("127.0.0.1", small.Port(), big.data(), 1000));
  fd_set set;
  FD_ZERO(&set);
  FD_SET(small.Socket(), &set);
  timeval tv{5, 0};
  ASSERT_EQ(1, select(0, &set, nullptr, nullptr, &tv));
  char buffer[50];
  EXPECT_EQ(-1, recv(small.Socket(), buffer, sizeof(buffer), 0));
  EXPECT_EQ(WSAEMSGSIZE, WSAGetLastError());
  EXPECT_EQ(4, service.Send("127.0.0.1", small.Port(), "next", 4));
  std::string got;
  ASSERT_TRUE(small.Receive(&got, nullptr, 5000));
  EXPECT_EQ("next", got);  // the oversized one was consumed, not left queued

  const uint16_t gone_port = gone->Port();
  gone.reset();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(4, service.Send("127.0.0.1", gone_port, "lost", 4));
    Sleep(150);  // a few loop cycles for any error to surface
  }
  EXPECT_EQ(0u, AtLeast(3)) << log.Lines().back().text;
  EXPECT_EQ(1, service.state.load());
  EXPECT_FALSE(service.listen_sockets.begin()->second.excluded);
  EXPECT_TRUE(Delivers("still serving"));
  EXPECT_EQ(5, service.Send("127.0.0.1", small.Port(), "reply", 5));
  ASSERT_TRUE(small.Receive(&got, nullptr, 5000));
  EXPECT_EQ("reply", got);
}

// A failed start-up of the socket library is not balanced by a cleanup:
// that would end the host's own Winsock session.
TEST_F(Faults, FailedSocketLibraryStartupLeavesTheHostSessionAlone) {
  seams::wsa_startup = &FailStartup;
  EXPECT_EQ(-98, Start());
  EXPECT_EQ(1u, Lines(4, "WSAStartup fail=10091\n"));
  EXPECT_EQ(0, service.state.load());
  EXPECT_TRUE(HostWinsockWorks());
  EXPECT_EQ(0, service.Stop());
  EXPECT_TRUE(HostWinsockWorks());

  seams::Reset();
  ASSERT_EQ(0, Start());
  EXPECT_TRUE(Delivers("after the start-up failure"));
  EXPECT_EQ(0, service.Stop());
  EXPECT_TRUE(HostWinsockWorks());
}

// No socket: for the listen socket the start fails; for the send socket the
// send fails and the next send makes the socket after all.
TEST_F(Faults, SocketCreationFailureFailsTheStartOrTheSendAndIsRetried) {
  const std::string str = Text(WSAEMFILE);
  seams::create_socket = &FailSocket;
  EXPECT_EQ(-98, Start());
  EXPECT_EQ(1u, Lines(4, "Socket Error, ret=-1, errno=10024, str=" + str +
                             ", ip=127.0.0.1, port=" + Port() + "\n"));
  EXPECT_EQ(1u, Lines(4, "service engine start failed:service listen failed: " + str +
                             ", do listen exception, will not start work thread\n"));
  EXPECT_EQ(0, service.state.load());

  seams::Reset();
  ASSERT_EQ(0, Start());
  UdpPeer peer;
  seams::create_socket = &FailSocket;
  EXPECT_EQ(-98, service.Send("127.0.0.1", peer.Port(), "lost", 4));
  EXPECT_EQ(1u, Lines(4, "Socket Error, ret=-1, errno=10024, str=" + str + "\n"));
  EXPECT_EQ(0u, log.Count("Socket Send fd="));
  seams::Reset();
  EXPECT_EQ(5, service.Send("127.0.0.1", peer.Port(), "found", 5));
  EXPECT_EQ(1u, Lines(2, "Socket Send fd="));
  std::string got;
  ASSERT_TRUE(peer.Receive(&got, nullptr, 5000));
  EXPECT_EQ("found", got);
  EXPECT_EQ(2, g_calls.load());  // once for the listen socket, once for the send socket
  EXPECT_TRUE(Delivers("after the socket failures"));
}

// The thread cannot be created: the start is rolled back to idle with the
// sockets closed and the previous callback in place.
TEST_F(Faults, ThreadStartFailureRollsBackToIdle) {
  ASSERT_EQ(0, Start());
  EXPECT_EQ(0, service.Stop());
  seams::fail_next_thread_start = true;
  int other = 0;
  ProxyInitParam next = tqtest::MakeParam("127.0.0.1", port, &Ignore, &other);
  EXPECT_EQ(-98, service.Start(&next));
  EXPECT_EQ(1u, Lines(4, "service engine start failed:"));
  EXPECT_EQ(0, service.state.load());
  EXPECT_TRUE(service.listen_sockets.empty());
  EXPECT_EQ(-97, service.Send("127.0.0.1", port, "x", 1));
  {
    UdpPeer taker("127.0.0.1", port);
    EXPECT_TRUE(taker.Bound());  // the listen socket was closed
  }
  EXPECT_EQ(&Received, service.recv_callback);
  EXPECT_EQ(this, service.user_data);
  EXPECT_TRUE(HostWinsockWorks());
  ASSERT_EQ(0, Start());
  EXPECT_TRUE(Delivers("after the thread failure"));
}

// A failed event wait, a failed event enumeration, a breaker without an
// event: each ends the loop with its ERROR line, and the object recovers.
TEST_F(Faults, LoopCallFailuresEndTheLoopWithTheirLine) {
  const std::string ends = "status report, select return error will exit net i/o thread, ret=-1, ";
  ASSERT_EQ(0, Start());
  ASSERT_TRUE(log.WaitFor("status report, do listen"));
  seams::wsa_wait_for_multiple_events = &FailWait;
  ExpectLoopEndedThenRecovers(ends + "err.no=6, err.msg=" + Text(6) + "\n");

  ASSERT_TRUE(log.WaitFor("status report, do listen"));
  seams::wsa_enum_network_events = &FailEnumeration;
  ExpectLoopEndedThenRecovers(ends + "err.no=10050, err.msg=" + Text(WSAENETDOWN) + "\n");

  EXPECT_EQ(0, service.Stop());
  g_calls = 0;
  seams::wsa_create_event = &FailFirstEvent;
  ASSERT_EQ(0, Start());
  ExpectLoopEndedThenRecovers("status report, select ");
}

// Windows reports an ICMP port-unreachable as WSAECONNRESET on the next
// receive of an unconnected socket; that must not end or stall the loop.
TEST_F(Faults, ConnectionResetOnReceiveIsLoggedAndTheLoopGoesOn) {
  seams::recv_from = &ResetOnce;
  ASSERT_EQ(0, Start());
  UdpPeer peer;
  peer.SendTo("127.0.0.1", port, "first");
  EXPECT_TRUE(Eventually([&] { return WasDelivered("first"); }, 5000));
  EXPECT_EQ(1u, Lines(2, "recv data ret=-1, error=10054, " + Text(10054) + "\n"));
  EXPECT_TRUE(Delivers("second"));
  EXPECT_EQ((std::vector<std::string>{"first", "second"}), Delivered());
  EXPECT_EQ(1, service.state.load());
  EXPECT_EQ(0u, AtLeast(3));
}

}  // namespace
