// Faults the service must survive. Those loopback can produce are provoked
// for real (a peer that cannot take a datagram, a peer that is gone; a port
// in use is the lifecycle suite's); the rest are injected through the test
// seams. After each one the same service object must serve a real datagram
// again.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <cstring>
#include <memory>

#include "log/log_sink.h"
#include "test_seams.h"
#include "test_support.h"
#include "tq_udp_service.h"

namespace {

namespace seams = TqProxy::seams;
using tqtest::Eventually;
using tqtest::UdpPeer;

std::atomic<int> g_calls{0};  // calls that reached the current fake

// What a failing call does: sets the thread's last error, returns `result`.
template <class R>
R Failed(int error, R result) {
  WSASetLastError(error);
  return result;
}
// WSAStartup reports its error as its result; the last error is not set.
int WSAAPI FailStartup(WORD, LPWSADATA) { return Failed(WSAEINVAL, WSASYSNOTREADY); }
SOCKET WSAAPI FailSocket(int, int, int) {
  ++g_calls;
  return Failed(WSAEMFILE, INVALID_SOCKET);
}
DWORD WSAAPI FailWait(DWORD, const WSAEVENT *, BOOL, DWORD, BOOL) {
  return Failed<DWORD>(ERROR_INVALID_HANDLE, WSA_WAIT_FAILED);
}
int WSAAPI FailEnumeration(SOCKET, WSAEVENT, LPWSANETWORKEVENTS) {
  return Failed(WSAENETDOWN, SOCKET_ERROR);
}
// Only the first event, the breaker's, cannot be made.
WSAEVENT WSAAPI FailFirstEvent() {
  return g_calls++ > 0 ? WSACreateEvent() : Failed(WSA_NOT_ENOUGH_MEMORY, WSA_INVALID_EVENT);
}
// The breaker's event is made, with an error reported all the same.
WSAEVENT WSAAPI FirstEventWithError() {
  const WSAEVENT event = WSACreateEvent();
  return g_calls++ > 0 ? event : Failed(WSAENOBUFS, event);
}
// How Windows reports an ICMP port-unreachable on an unconnected socket;
// the queued datagram stays, as there.
int WSAAPI ResetOnce(SOCKET s, char *buffer, int size, int flags, sockaddr *from, int *len) {
  return g_calls++ > 0 ? recvfrom(s, buffer, size, flags, from, len)
                       : Failed(WSAECONNRESET, SOCKET_ERROR);
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

  int32_t Start() {
    param = tqtest::MakeParam("127.0.0.1", port, &Received, this);
    return service.Start(&param);
  }
  // A real datagram from a real peer (a new one by default) reaches the host.
  bool Delivers(const std::string &payload, const UdpPeer &from = UdpPeer()) {
    from.SendTo("127.0.0.1", port, payload);
    return Eventually(
        [&] {
          const std::vector<std::string> d = Delivered();
          return std::find(d.begin(), d.end(), payload) != d.end();
        },
        5000);
  }
  // The host's own Winsock session still works: the library did not clean
  // up start-ups that were not its own.
  static bool HostWinsockWorks() {
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    return s != INVALID_SOCKET && closesocket(s) == 0;
  }
  // Lines at `level` whose message starts with `message`; "" for all.
  size_t Lines(int level, const std::string &message) const {
    size_t n = 0;
    for (const tqtest::LogLine &l : log.Matching("] " + message)) n += l.level == level;
    return n;
  }
  size_t Complaints() const { return Lines(3, "") + Lines(4, ""); }  // WARN and ERROR

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
// Sends report the full length; nothing is logged as a fault and the
// service keeps serving.
TEST_F(Faults, PeersThatCannotTakeADatagramDoNotDisturbTheService) {
  ASSERT_EQ(0, Start());
  UdpPeer small;
  auto gone = std::make_unique<UdpPeer>();
  ASSERT_TRUE(Delivers("small", small));
  ASSERT_TRUE(Delivers("gone", *gone));

  // Read into 50 bytes (a bounded wait): the datagram does not fit there.
  const DWORD wait_ms = 5000;
  setsockopt(small.Socket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&wait_ms),
             sizeof(wait_ms));
  const std::string big(1000, 'b');
  EXPECT_EQ(1000, service.Send("127.0.0.1", small.Port(), big.data(), 1000));
  char buffer[50];
  EXPECT_EQ(-1, recv(small.Socket(), buffer, sizeof(buffer), 0));
  EXPECT_EQ(WSAEMSGSIZE, WSAGetLastError());

  const uint16_t gone_port = gone->Port();
  gone.reset();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(4, service.Send("127.0.0.1", gone_port, "lost", 4));
    Sleep(150);  // a few loop cycles for any error to surface
  }
  EXPECT_EQ(0u, Complaints()) << log.Lines().back().text;
  EXPECT_TRUE(Delivers("still serving"));
  EXPECT_EQ(5, service.Send("127.0.0.1", small.Port(), "reply", 5));
  std::string got;
  ASSERT_TRUE(small.Receive(&got, nullptr, 5000));
  EXPECT_EQ("reply", got);  // and the oversized one is not still queued there
}

// Each start failure leaves the object idle, able to start again:
// - the socket library fails to start, never balanced by a cleanup (then or
//   at Stop): that would end the host's own Winsock session;
// - no listen socket can be made;
// - no breaker or no thread can be made: sockets closed, the previous
//   callbacks kept.
TEST_F(Faults, StartFailuresRollBackToIdle) {
  seams::wsa_startup = &FailStartup;
  EXPECT_EQ(-98, Start());
  EXPECT_EQ(1u, Lines(4, "WSAStartup fail=10091\n"));  // its result
  EXPECT_EQ(0, service.state.load());
  EXPECT_EQ(0, service.Stop());
  EXPECT_TRUE(HostWinsockWorks());

  seams::Reset();
  seams::create_socket = &FailSocket;
  const std::string no_socket = std::strerror(WSAEMFILE);
  EXPECT_EQ(-98, Start());
  EXPECT_EQ(1u, Lines(4, "Socket Error, ret=-1, errno=10024, str=" + no_socket +
                             ", ip=127.0.0.1, port=" + std::to_string(port) + "\n"));
  EXPECT_EQ(1u, Lines(4, "service engine start failed:service listen failed: " + no_socket +
                             ", do listen exception, will not start work thread\n"));

  seams::Reset();
  ASSERT_EQ(0, Start());  // not refused: the failures left the object idle
  EXPECT_EQ(0, service.Stop());
  log.Clear();
  for (bool *fail : {&seams::fail_next_breaker, &seams::fail_next_thread_start}) {
    *fail = true;
    int other = 0;
    ProxyInitParam next = tqtest::MakeParam("127.0.0.1", port, &Ignore, &other);
    EXPECT_EQ(-98, service.Start(&next));
    EXPECT_EQ(0, service.state.load());
    EXPECT_TRUE(UdpPeer("127.0.0.1", port).Bound());  // the listen socket was closed
    EXPECT_EQ(&Received, service.recv_callback);
    EXPECT_EQ(this, service.user_data);
  }
  EXPECT_EQ(2u, Lines(4, "service engine start failed:"));

  ASSERT_EQ(0, Start());
  EXPECT_TRUE(Delivers("after the start failures"));
  EXPECT_EQ(0, service.Stop());
  EXPECT_TRUE(HostWinsockWorks());
}

// No send socket: the send fails, and the next send makes it after all.
TEST_F(Faults, SendSocketCreationFailureFailsTheSendAndIsRetried) {
  ASSERT_EQ(0, Start());
  UdpPeer peer;
  seams::create_socket = &FailSocket;
  EXPECT_EQ(-98, service.Send("127.0.0.1", peer.Port(), "lost", 4));
  EXPECT_EQ(1u, Lines(4, std::string("Socket Error, ret=-1, errno=10024, str=") +
                             std::strerror(WSAEMFILE) + "\n"));
  seams::Reset();
  EXPECT_EQ(5, service.Send("127.0.0.1", peer.Port(), "found", 5));
  EXPECT_EQ(1u, Lines(2, "Socket Send fd="));  // for the socket made, not the failure
  EXPECT_EQ(1, g_calls.load());
  std::string got;
  ASSERT_TRUE(peer.Receive(&got, nullptr, 5000));
  EXPECT_EQ("found", got);
}

// The CPU time the calling thread has used so far, in milliseconds.
double ThreadCpuMs() {
  FILETIME created, ended, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
  const auto ms = [](const FILETIME &t) {
    return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
}

// Stop waits for a send still in flight (here held in its DEBUG line) by
// sleeping until that send ends, not by spinning.
TEST_F(Faults, StopSleepsWhileASendIsInFlight) {
  static std::atomic<bool> held{false}, release{false};
  held = release = false;
  ASSERT_EQ(0, Start());
  UdpPeer sink;
  TqProxy::LogSink::Instance().SetLog(
      nullptr,
      [](void *, int32_t, const char *line) {
        if (std::strstr(line, "] send data to") == nullptr) return;
        held = true;
        while (!release) Sleep(1);
      },
      1);
  std::thread sender([&] { service.Send("127.0.0.1", sink.Port(), "held", 4); });
  ASSERT_TRUE(Eventually([] { return held.load(); }));
  double stop_cpu_ms = -1;
  std::thread stopper([&] {
    const double before = ThreadCpuMs();
    service.Stop();
    stop_cpu_ms = ThreadCpuMs() - before;
  });
  Sleep(600);
  release = true;
  sender.join();
  stopper.join();
  EXPECT_EQ(0, service.state.load());
  EXPECT_LT(stop_cpu_ms, 100) << "of 600 ms waiting";
}

// A failed event wait, a failed event enumeration, a breaker without an
// event, a breaker with an error: each ends the loop with its ERROR line,
// and the object recovers.
TEST_F(Faults, LoopCallFailuresEndTheLoopWithTheirLine) {
  const std::string ends = "status report, select return error will exit net i/o thread, ret=-1, ";
  ASSERT_EQ(0, Start());
  ASSERT_TRUE(log.WaitFor("status report, do listen"));
  seams::wsa_wait_for_multiple_events = &FailWait;
  ExpectLoopEndedThenRecovers(ends + "err.no=6, err.msg=" + std::strerror(6) + "\n");

  ASSERT_TRUE(log.WaitFor("status report, do listen"));
  seams::wsa_enum_network_events = &FailEnumeration;
  ExpectLoopEndedThenRecovers(ends + "err.no=10050, err.msg=" + std::strerror(WSAENETDOWN) + "\n");

  EXPECT_EQ(0, service.Stop());
  g_calls = 0;
  seams::wsa_create_event = &FailFirstEvent;
  ASSERT_EQ(0, Start());
  ExpectLoopEndedThenRecovers("status report, select ");

  // The breaker's code is logged, whatever the thread's last error says.
  EXPECT_EQ(0, service.Stop());
  g_calls = 0;
  seams::wsa_create_event = &FirstEventWithError;
  ASSERT_EQ(0, Start());
  const std::string exception = "status report, select exception will exit net i/o thread, ret=";
  ASSERT_TRUE(log.WaitFor(exception));
  EXPECT_EQ(1u, log.Count(", err.no=10055, err.msg=" + std::string(std::strerror(WSAENOBUFS))));
  ExpectLoopEndedThenRecovers(exception);
}

// Windows reports an ICMP port-unreachable as WSAECONNRESET on the next
// receive of an unconnected socket; that must not end the loop nor leave
// the datagram behind it waiting for another one.
TEST_F(Faults, ConnectionResetOnReceiveIsLoggedAndTheLoopGoesOn) {
  seams::recv_from = &ResetOnce;
  ASSERT_EQ(0, Start());
  EXPECT_TRUE(Delivers("first"));
  EXPECT_EQ(1u,
            Lines(2, std::string("recv data ret=-1, error=10054, ") + std::strerror(10054) + "\n"));
  EXPECT_TRUE(Delivers("second"));
  EXPECT_EQ((std::vector<std::string>{"first", "second"}), Delivered());
  EXPECT_EQ(0u, Complaints());
}

}  // namespace
