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
#include <system_error>
#if !defined(_WIN32)
#include <poll.h>
#include <sys/eventfd.h>
#endif

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
  TqProxy::platform::SetLastSocketError(error);
  return result;
}
#if defined(_WIN32)
constexpr int kNoSocket = WSAEMFILE, kWaitError = ERROR_INVALID_HANDLE, kDown = WSAENETDOWN;
constexpr int kReset = WSAECONNRESET;  // an ICMP port-unreachable, as Windows reports it
constexpr int kNoBuffers = WSAENOBUFS;
// WSAStartup reports its error as its result; the last error is not set.
int WSAAPI FailStartup(WORD, LPWSADATA) { return Failed(WSAEINVAL, WSASYSNOTREADY); }
SOCKET WSAAPI FailSocket(int, int, int) {
  ++g_calls;
  return Failed(kNoSocket, INVALID_SOCKET);
}
DWORD WSAAPI FailWait(DWORD, const WSAEVENT *, BOOL, DWORD, BOOL) {
  return Failed<DWORD>(kWaitError, WSA_WAIT_FAILED);
}
int WSAAPI FailEnumeration(SOCKET, WSAEVENT, LPWSANETWORKEVENTS) {
  return Failed(kDown, SOCKET_ERROR);
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
// The queued datagram stays, as on Windows.
int WSAAPI ResetOnce(SOCKET s, char *buffer, int size, int flags, sockaddr *from, int *len) {
  return g_calls++ > 0 ? recvfrom(s, buffer, size, flags, from, len) : Failed(kReset, SOCKET_ERROR);
}
void FailWaits() { seams::wsa_wait_for_multiple_events = &FailWait; }
void FailEnumerations() { seams::wsa_enum_network_events = &FailEnumeration; }
void FailBreakerEvent() { seams::wsa_create_event = &FailFirstEvent; }
void ReportErrorOnBreakerEvent() { seams::wsa_create_event = &FirstEventWithError; }
#else
constexpr int kNoSocket = EMFILE, kWaitError = EBADF, kDown = ENETDOWN;
constexpr int kReset = ECONNREFUSED;  // an ICMP port-unreachable, as Linux reports it
constexpr int kNoBuffers = ENOBUFS;
int FailSocket(int, int, int) {
  ++g_calls;
  return Failed(kNoSocket, -1);
}
// The wait is the one poll with a timeout; the enumeration polls one
// socket without one (the readiness poll has two sets).
int FailWait(pollfd *fds, unsigned long n, int timeout) {
  return timeout != 0 ? Failed(kWaitError, -1) : poll(fds, n, timeout);
}
int FailEnumeration(pollfd *fds, unsigned long n, int timeout) {
  return timeout == 0 && n == 1 ? Failed(kDown, -1) : poll(fds, n, timeout);
}
int FailEventFd(unsigned int, int) { return Failed(ENOMEM, -1); }
ssize_t ResetOnce(int s, void *buffer, size_t size, int flags, sockaddr *from, socklen_t *len) {
  return g_calls++ > 0 ? recvfrom(s, buffer, size, flags, from, len) : Failed<ssize_t>(kReset, -1);
}
void FailWaits() { seams::poll_sockets = &FailWait; }
void FailEnumerations() { seams::poll_sockets = &FailEnumeration; }
// The breaker's event is made, with an error reported all the same.
int FirstEventWithError(unsigned int initial, int flags) {
  const int event = eventfd(initial, flags);
  return Failed(kNoBuffers, event);
}
void FailBreakerEvent() { seams::event_fd = &FailEventFd; }
void ReportErrorOnBreakerEvent() { seams::event_fd = &FirstEventWithError; }
#endif

// No breaker (out of memory) or no thread, as std::thread reports it.
std::shared_ptr<TqProxy::SocketBreaker> NoBreaker() { throw std::bad_alloc(); }
std::shared_ptr<std::thread> NoThread(void (*)(TqProxy::TQUdpService *), TqProxy::TQUdpService *) {
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}
void FailBreaker() { seams::make_breaker = &NoBreaker; }
void FailThread() { seams::start_thread = &NoThread; }

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
    return s != INVALID_SOCKET && tqtest::CloseSocket(s) == 0;
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
      tqtest::SleepMs(100);
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

  // Read into 50 bytes: the datagram does not fit there (Windows fails the
  // read, Linux cuts the datagram short).
  const std::string big(1000, 'b');
  EXPECT_EQ(1000, service.Send("127.0.0.1", small.Port(), big.data(), 1000));
  ASSERT_TRUE(tqtest::WaitReadable(small.Socket(), 5000));
  char buffer[50];
#if defined(_WIN32)
  EXPECT_EQ(-1, recv(small.Socket(), buffer, sizeof(buffer), 0));
  EXPECT_EQ(WSAEMSGSIZE, WSAGetLastError());
#else
  EXPECT_EQ(50, recv(small.Socket(), buffer, sizeof(buffer), 0));
#endif

  const uint16_t gone_port = gone->Port();
  gone.reset();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(4, service.Send("127.0.0.1", gone_port, "lost", 4));
    tqtest::SleepMs(150);  // a few loop cycles for any error to surface
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
#if defined(_WIN32)
  seams::wsa_startup = &FailStartup;
  EXPECT_EQ(-98, Start());
  EXPECT_EQ(1u, Lines(4, "WSAStartup fail=10091\n"));  // its result
  EXPECT_EQ(0, service.state.load());
  EXPECT_EQ(0, service.Stop());
  EXPECT_TRUE(HostWinsockWorks());
#endif

  seams::Reset();
  seams::create_socket = &FailSocket;
  const std::string no_socket = std::strerror(kNoSocket);
  EXPECT_EQ(-98, Start());
  EXPECT_EQ(1u, Lines(4, "Socket Error, ret=-1, errno=" + std::to_string(kNoSocket) + ", str=" +
                             no_socket + ", ip=127.0.0.1, port=" + std::to_string(port) + "\n"));
  EXPECT_EQ(1u, Lines(4, "service engine start failed:service listen failed: " + no_socket +
                             ", do listen exception, will not start work thread\n"));

  seams::Reset();
  ASSERT_EQ(0, Start());  // not refused: the failures left the object idle
  EXPECT_EQ(0, service.Stop());
  log.Clear();
  for (void (*fail)() : {&FailBreaker, &FailThread}) {
    seams::Reset();
    fail();
    int other = 0;
    ProxyInitParam next = tqtest::MakeParam("127.0.0.1", port, &Ignore, &other);
    EXPECT_EQ(-98, service.Start(&next));
    EXPECT_EQ(0, service.state.load());
    EXPECT_TRUE(UdpPeer("127.0.0.1", port).Bound());  // the listen socket was closed
    EXPECT_EQ(&Received, service.recv_callback);
    EXPECT_EQ(this, service.user_data);
  }
  EXPECT_EQ(2u, Lines(4, "service engine start failed:"));

  seams::Reset();
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
  EXPECT_EQ(1u, Lines(4, "Socket Error, ret=-1, errno=" + std::to_string(kNoSocket) +
                             ", str=" + std::strerror(kNoSocket) + "\n"));
  seams::Reset();
  EXPECT_EQ(5, service.Send("127.0.0.1", peer.Port(), "found", 5));
  EXPECT_EQ(1u, Lines(2, "Socket Send fd="));  // for the socket made, not the failure
  EXPECT_EQ(1, g_calls.load());
  std::string got;
  ASSERT_TRUE(peer.Receive(&got, nullptr, 5000));
  EXPECT_EQ("found", got);
}

double ThreadCpuMs() { return tqtest::ThreadCpuMs(); }

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
        while (!release) tqtest::SleepMs(1);
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
  tqtest::SleepMs(600);
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
  FailWaits();
  ExpectLoopEndedThenRecovers(ends + "err.no=" + std::to_string(kWaitError) +
                              ", err.msg=" + std::strerror(kWaitError) + "\n");

  ASSERT_TRUE(log.WaitFor("status report, do listen"));
  FailEnumerations();
  ExpectLoopEndedThenRecovers(ends + "err.no=" + std::to_string(kDown) +
                              ", err.msg=" + std::strerror(kDown) + "\n");

  EXPECT_EQ(0, service.Stop());
  g_calls = 0;
  FailBreakerEvent();
  ASSERT_EQ(0, Start());
  ExpectLoopEndedThenRecovers("status report, select ");

  // The breaker's code is logged, whatever the thread's last error says.
  EXPECT_EQ(0, service.Stop());
  g_calls = 0;
  ReportErrorOnBreakerEvent();
  ASSERT_EQ(0, Start());
  const std::string exception = "status report, select exception will exit net i/o thread, ret=";
  ASSERT_TRUE(log.WaitFor(exception));
  EXPECT_EQ(1u, log.Count(", err.no=" + std::to_string(kNoBuffers) +
                          ", err.msg=" + std::strerror(kNoBuffers)));
  ExpectLoopEndedThenRecovers(exception);
}

// Windows reports an ICMP port-unreachable as WSAECONNRESET on the next
// receive of an unconnected socket (Linux as ECONNREFUSED, where asked to);
// that must not end the loop nor leave
// the datagram behind it waiting for another one.
TEST_F(Faults, ConnectionResetOnReceiveIsLoggedAndTheLoopGoesOn) {
  seams::recv_from = &ResetOnce;
  ASSERT_EQ(0, Start());
  EXPECT_TRUE(Delivers("first"));
  EXPECT_EQ(1u, Lines(2, "recv data ret=-1, error=" + std::to_string(kReset) + ", " +
                             std::strerror(kReset) + "\n"));
  EXPECT_TRUE(Delivers("second"));
  EXPECT_EQ((std::vector<std::string>{"first", "second"}), Delivered());
  EXPECT_EQ(0u, Complaints());
}

}  // namespace
