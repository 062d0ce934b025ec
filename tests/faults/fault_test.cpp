// Faults the service must survive: provoked for real where loopback can
// (a peer that is gone; a port in use is the lifecycle suite's), injected
// through the test seams otherwise. After each one the same service object
// serves a real datagram again.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <system_error>
#if !defined(_WIN32)
#include <sys/eventfd.h>
#endif

#include "log/log_sink.h"
#include "test_seams.h"
#include "test_support.h"
#include "tq_udp_service.h"

namespace {

namespace seams = TqProxy::seams;
using namespace tqtest;

std::atomic<int> g_calls{0};  // calls that reached the current fake

// What a failing call does: sets the thread's last error, returns `result`.
template <class R>
R Failed(int error, R result) {
  TqProxy::platform::SetLastSocketError(error);
  return result;
}
#if defined(_WIN32)
constexpr int kNoSocket = WSAEMFILE, kWaitError = ERROR_INVALID_HANDLE, kDown = WSAENETDOWN,
              kNoBuffers = WSAENOBUFS, kReset = WSAECONNRESET;  // as Windows reports an ICMP
// WSAStartup reports its error as its result; the last error is not set.
int WSAAPI FailStartup(WORD, LPWSADATA) { return Failed(WSAEINVAL, WSASYSNOTREADY); }
void FailStartups() { seams::wsa_startup = &FailStartup; }
SOCKET WSAAPI FailSocket(int, int, int) { return ++g_calls, Failed(kNoSocket, INVALID_SOCKET); }
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
  return g_calls++ > 0 ? WSACreateEvent() : Failed(kNoBuffers, WSACreateEvent());
}
// The queued datagram stays, as on Windows.
int WSAAPI ResetOnce(SOCKET s, char *buffer, int size, int flags, sockaddr *from, int *len) {
  return g_calls++ > 0 ? recvfrom(s, buffer, size, flags, from, len) : Failed(kReset, SOCKET_ERROR);
}
void FailWaits() { seams::wsa_wait_for_multiple_events = &FailWait; }
void FailEnumerations() { seams::wsa_enum_network_events = &FailEnumeration; }
void FailBreakerEvent() { seams::wsa_create_event = &FailFirstEvent; }
void BreakerEventWithError() { seams::wsa_create_event = &FirstEventWithError; }
#else
constexpr int kNoSocket = EMFILE, kWaitError = EBADF, kDown = ENETDOWN, kNoBuffers = ENOBUFS,
              kReset = ECONNREFUSED;  // as Linux reports an ICMP port-unreachable
int FailSocket(int, int, int) { return ++g_calls, Failed(kNoSocket, -1); }
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
  return Failed(kNoBuffers, eventfd(initial, flags));
}
void FailBreakerEvent() { seams::event_fd = &FailEventFd; }
void BreakerEventWithError() { seams::event_fd = &FirstEventWithError; }
#endif

// No breaker (out of memory) or no thread, as std::thread reports it.
std::shared_ptr<TqProxy::SocketBreaker> NoBreaker() { throw std::bad_alloc(); }
std::system_error ThreadError() {
  return std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}
std::shared_ptr<std::thread> NoThread(void (*)(TqProxy::TQUdpService *), TqProxy::TQUdpService *) {
  throw ThreadError();
}
void FailBreaker() { seams::make_breaker = &NoBreaker; }
void FailSockets() { seams::create_socket = &FailSocket; }
// The line of a socket that cannot be made.
std::string SocketError() {
  return "Socket Error, ret=-1, errno=" + std::to_string(kNoSocket) +
         ", str=" + std::strerror(kNoSocket);
}
void FailThread() { seams::start_thread = &NoThread; }

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls = 0;
    TqProxy::LogSink::Instance().SetLog(&log, &LogCapture::Callback, TQ_PROXY_LOG_DEBUG);
  }
  void TearDown() override {
    seams::Reset();
    service.Stop();
    TqProxy::LogSink::Instance().SetLog(nullptr, nullptr, TQ_PROXY_LOG_DEBUG);
  }

  static void TQ_PROXY_CALL Received(void *self, const char *data, int32_t len) {
    auto *test = static_cast<Faults *>(self);
    std::lock_guard<std::mutex> lock(test->received_mutex);
    test->received.emplace_back(data, static_cast<size_t>(len));
  }
  std::vector<std::string> Delivered() {
    std::lock_guard<std::mutex> lock(received_mutex);
    return received;
  }
  int32_t Start() {
    param = MakeParam("127.0.0.1", port, &Received, this);
    return service.Start(&param);
  }
  // A real datagram from a real peer (a new one by default) reaches the host.
  bool Delivers(const std::string &payload, const UdpPeer &from = UdpPeer()) {
    from.SendTo("127.0.0.1", port, payload);
    return Eventually([&] {
      const std::vector<std::string> d = Delivered();
      return std::find(d.begin(), d.end(), payload) != d.end();
    });
  }
  // Lines at `level` that contain `text`; "" for all.
  size_t Lines(int level, const std::string &text) const {
    size_t n = 0;
    for (const LogLine &l : log.Matching(text)) n += l.level == level;
    return n;
  }

  WinsockSession winsock;  // the host's own session
  LogCapture log;
  std::mutex received_mutex;
  std::vector<std::string> received;
  const uint16_t port = FreeUdpPort();
  ProxyInitParam param{};
  TqProxy::TQUdpService service;
};

// A call that fails, what Start returns then and the ERROR lines it gives:
// at the start, or later in the loop, which then ends by itself.
struct FailingCall {
  std::string name;
  void (*fail)();
  int32_t start_result;
  std::vector<std::string> lines;
};
void PrintTo(const FailingCall &call, std::ostream *out) { *out << call.name; }
std::vector<FailingCall> AllFailingCalls() {
  const auto text = [](int error) {
    return "err.no=" + std::to_string(error) + ", err.msg=" + std::strerror(error) + "\n";
  };
  const std::string fail = "service engine start failed:", no_thread = ", create net i/o thread",
                    no_socket = SocketError() + ", ip=127.0.0.1, port=",
                    no_listen = fail + "service listen failed: " + std::strerror(kNoSocket) +
                                ", do listen exception, will not start work thread\n",
                    ends = "status report, select return error will exit net i/o thread, ret=-1, ",
                    exits = "status report, select exception will exit net i/o thread, ret=";
  std::vector<FailingCall> calls = {
      {"ListenSocket", &FailSockets, TQ_PROXY_ERR_SOCKET, {no_socket, no_listen}},
      {"Breaker", &FailBreaker, TQ_PROXY_ERR_SOCKET, {fail + std::bad_alloc().what() + no_thread}},
      {"Thread", &FailThread, TQ_PROXY_ERR_SOCKET, {fail + ThreadError().what() + no_thread}},
      {"EventWait", &FailWaits, TQ_PROXY_OK, {ends + text(kWaitError)}},
      {"EventEnumeration", &FailEnumerations, TQ_PROXY_OK, {ends + text(kDown)}},
      {"BreakerEvent", &FailBreakerEvent, TQ_PROXY_OK, {"status report, select "}},
      // The breaker's code, whatever the thread's last error says.
      {"BreakerEventWithError", &BreakerEventWithError, TQ_PROXY_OK, {exits, text(kNoBuffers)}}};
#if defined(_WIN32)
  calls.push_back({"SocketLibrary", &FailStartups, TQ_PROXY_ERR_SOCKET, {"WSAStartup fail=10091"}});
#endif
  return calls;
}
class FailingCalls : public Faults, public ::testing::WithParamInterface<FailingCall> {};

// The object ends idle, sends refused, its sockets closed; a failed start
// keeps the callbacks of the start before and never cleans up the host's
// own Winsock session. Stop and Start bring the same object back.
TEST_P(FailingCalls, LeaveTheServiceIdleAndAbleToStartAgain) {
  const FailingCall &call = GetParam();
  ASSERT_EQ(TQ_PROXY_OK, Start());
  EXPECT_EQ(TQ_PROXY_OK, service.Stop());
  call.fail();
  const ProxyInitParam other = MakeParam("127.0.0.1", port, nullptr, &g_calls);
  EXPECT_EQ(call.start_result, service.Start(&other));
  UdpPeer peer;  // some loop calls fail only on an event
  for (int i = 0; i < 50 && Lines(TQ_PROXY_LOG_ERROR, call.lines[0]) == 0; ++i) {
    peer.SendTo("127.0.0.1", port, "x");
    SleepMs(100);
  }
  for (const std::string &line : call.lines) EXPECT_EQ(1u, Lines(TQ_PROXY_LOG_ERROR, line)) << line;
  EXPECT_TRUE(Eventually([&] { return service.state.load() == 0; }));
  EXPECT_EQ(TQ_PROXY_ERR_STATE, service.Send("127.0.0.1", peer.Port(), "x", 1));
  if (call.start_result != TQ_PROXY_OK) {
    EXPECT_TRUE(UdpPeer("127.0.0.1", port).Bound());
    EXPECT_EQ(&Received, service.recv_callback);
    EXPECT_EQ(this, service.user_data);
  }
  seams::Reset();
  EXPECT_EQ(TQ_PROXY_OK, service.Stop());
  EXPECT_TRUE(UdpPeer("127.0.0.1", port).Bound());
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);  // the host's Winsock still works
  EXPECT_TRUE(s != INVALID_SOCKET && CloseSocket(s) == 0);
  ASSERT_EQ(TQ_PROXY_OK, Start());
  EXPECT_TRUE(Delivers("after the failure"));
}
INSTANTIATE_TEST_SUITE_P(Faults, FailingCalls, ::testing::ValuesIn(AllFailingCalls()),
                         [](const auto &info) { return info.param.name; });

// No send socket: the send fails, and the next send makes it after all.
TEST_F(Faults, SendSocketCreationFailureFailsTheSendAndIsRetried) {
  ASSERT_EQ(TQ_PROXY_OK, Start());
  UdpPeer peer;
  FailSockets();
  EXPECT_EQ(TQ_PROXY_ERR_SOCKET, service.Send("127.0.0.1", peer.Port(), "lost", 4));
  EXPECT_EQ(1u, Lines(TQ_PROXY_LOG_ERROR, SocketError() + "\n"));
  seams::Reset();
  EXPECT_EQ(5, service.Send("127.0.0.1", peer.Port(), "found", 5));
  EXPECT_EQ(1u, Lines(TQ_PROXY_LOG_INFO, "Socket Send fd="));  // for the socket made only
  EXPECT_EQ(1, g_calls.load());
  std::string got;
  ASSERT_TRUE(peer.Receive(&got, nullptr, 5000));
  EXPECT_EQ("found", got);
}

// Stop waits for a send still in flight (here held in its DEBUG line) by
// sleeping until that send ends, not by spinning.
TEST_F(Faults, StopSleepsWhileASendIsInFlight) {
  static std::atomic<bool> held{false}, release{false};
  ASSERT_EQ(TQ_PROXY_OK, Start());
  UdpPeer sink;
  const LogCallback hold = [](void *, int32_t, const char *line) {
    if (std::strstr(line, "] send data to") == nullptr) return;
    held = true;
    while (!release) SleepMs(1);
  };
  TqProxy::LogSink::Instance().SetLog(nullptr, hold, TQ_PROXY_LOG_DEBUG);
  std::thread sender([&] { service.Send("127.0.0.1", sink.Port(), "held", 4); });
  ASSERT_TRUE(Eventually([] { return held.load(); }));
  double stop_cpu_ms = -1;
  std::thread stopper([&] {
    const double before = ThreadCpuMs();
    service.Stop();
    stop_cpu_ms = ThreadCpuMs() - before;
  });
  SleepMs(600);
  release = true;
  sender.join();
  stopper.join();
  EXPECT_EQ(0, service.state.load());
  EXPECT_LT(stop_cpu_ms, 100) << "of 600 ms waiting";
}

// An ICMP port-unreachable: for real, from a peer that is gone (Windows
// reports it on the listen socket's next receive, Linux only where asked
// to), and as the seam gives it once. Sends to the gone peer report their
// full length; the reset is an INFO line, it neither ends the loop nor
// leaves the datagram behind it waiting for another one.
TEST_F(Faults, PortUnreachableIsNoFaultAndTheLoopGoesOn) {
  seams::recv_from = &ResetOnce;
  ASSERT_EQ(TQ_PROXY_OK, Start());
  EXPECT_TRUE(Delivers("first"));
  EXPECT_EQ(1u, Lines(TQ_PROXY_LOG_INFO, "recv data ret=-1, error=" + std::to_string(kReset) +
                                             ", " + std::strerror(kReset) + "\n"));
  auto gone = std::make_unique<UdpPeer>();
  ASSERT_TRUE(Delivers("gone", *gone));
  const uint16_t gone_port = gone->Port();
  gone.reset();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(4, service.Send("127.0.0.1", gone_port, "lost", 4));
    SleepMs(150);  // a few loop cycles for any error to surface
  }
  EXPECT_TRUE(Delivers("second"));
  EXPECT_EQ((std::vector<std::string>{"first", "gone", "second"}), Delivered());
  EXPECT_EQ(0u, Lines(TQ_PROXY_LOG_WARN, "") + Lines(TQ_PROXY_LOG_ERROR, ""));
}

}  // namespace
