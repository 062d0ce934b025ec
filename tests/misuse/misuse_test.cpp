// Misuse of the exports: every export in the states the model walk does not
// reach, callbacks that call back in. Each gets its result code and leaves the
// service consistent; a crash or a hang (CTest's timeout) fails the case.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>

#include "dll_test.h"

using namespace tqtest;

namespace {

class Misuse : public DllTest {
 public:
  int32_t Start(RecvCallback callback = &OnRecv) {
    const ProxyInitParam p = MakeParam("127.0.0.1", port, callback, this);
    return dll.Init(&p);
  }
  bool Delivered() {
    const int before = received;
    UdpPeer().SendTo("127.0.0.1", port, "ping");
    return Eventually([&] { return received > before; });
  }
  static void TQ_PROXY_CALL OnRecv(void *self, const char *, int32_t) {
    ++static_cast<Misuse *>(self)->received;
  }
  static void TQ_PROXY_CALL Throw(void *, const char *, int32_t) { throw 7; }  // no std::exception
  // The state as the exports see it: arguments first, then the state, then
  // the size (a send that looked at INT32_MAX bytes of "x" would fault; one
  // running fails as the system fails a datagram that large).
  void ExpectState(bool running) {
    EXPECT_EQ(TQ_PROXY_ERR_ARGUMENT, dll.Init(nullptr));
    EXPECT_EQ(TQ_PROXY_ERR_ARGUMENT, dll.Send(nullptr, 0, nullptr, INT32_MAX));
    EXPECT_EQ(TQ_PROXY_ERR_STATE, running ? Start() : dll.Send(nullptr, 0, "x", 1));
    EXPECT_EQ(running ? -1 : TQ_PROXY_ERR_STATE, dll.Send("127.0.0.1", port, "x", INT32_MAX));
  }

  std::atomic<int> received{0};
};

// Running; the loop ended by itself (the receive callback threw what is no
// standard exception; the loop says so); unloaded while running; stopped,
// unloaded and reloaded afresh. Catches state checks that come too late, a
// start that does not clean up an ended run, an unload that pulls the code
// from under the running thread and a stop that keeps the library's
// reference to itself.
TEST_F(Misuse, EveryExportInEveryState) {
  ASSERT_EQ(TQ_PROXY_OK, Start(&Throw));
  ExpectState(true);
  UdpPeer().SendTo("127.0.0.1", port, "throw");
  EXPECT_TRUE(log.WaitFor("] status report, exception will exit net i/o thread, what=unknown\n"));
  ASSERT_TRUE(Eventually([&] { return dll.Send(nullptr, 0, "x", 1) == TQ_PROXY_ERR_STATE; }));
  ExpectState(false);
  EXPECT_EQ(0u, log.Count("] stop service\n"));
  ASSERT_TRUE(Eventually([&] { return Start() == TQ_PROXY_OK; }));  // cleans up the ended run
  EXPECT_EQ(1u, log.Count("] stop service\n"));

  dll.Unload();  // the host lets go while the thread runs
  ASSERT_TRUE(LibraryMapped());
  EXPECT_TRUE(Delivered());
  ASSERT_TRUE(dll.Load());  // the same instance, still running
  ExpectState(true);
  EXPECT_EQ(TQ_PROXY_OK, dll.UnInit());
  EXPECT_EQ(1u, log.Matching("[ERROR]").size());  // the exception's; none caught at the boundary
  dll.SetLog(nullptr, nullptr, TQ_PROXY_LOG_NONE);
  dll.Unload();
  EXPECT_FALSE(LibraryMapped());
  ASSERT_TRUE(dll.Load());  // before the first start
  ExpectState(false);
  ASSERT_EQ(TQ_PROXY_OK, Start());
  EXPECT_TRUE(Delivered());
}

// A log callback that calls every export when it first sees its trigger:
// on the network thread, inside Send, inside UnInit and inside Init.
struct ReentryCase {
  const char *name, *trigger;
  int inside;                    // 0: a peer's first datagram, 1: Send, 2: UnInit, 3: Init
  std::vector<int32_t> results;  // of the nested Init, Send and UnInit
};
void PrintTo(const ReentryCase &c, std::ostream *out) { *out << c.name; }  // the CTest name

class LogCallback : public Misuse, public ::testing::WithParamInterface<ReentryCase> {
 public:
  static void TQ_PROXY_CALL Log(void *user_data, int32_t level, const char *line) {
    auto *self = static_cast<LogCallback *>(user_data);
    LogCapture::Callback(&self->log, level, line);
    self->late_debug += self->fired && level == TQ_PROXY_LOG_DEBUG;
    if (std::strstr(line, self->GetParam().trigger) == nullptr || self->fired.exchange(true)) {
      return;
    }
    self->dll.SetLog(self, &Log, TQ_PROXY_LOG_INFO);  // at once: no DEBUG line after this
    self->results = {self->Start(), self->dll.Send("127.0.0.1", self->peer.Port(), "nested", 6),
                     self->dll.UnInit()};
    self->done = true;
  }
  UdpPeer peer;
  std::atomic<bool> fired{false}, done{false};
  std::atomic<int> late_debug{0};
  std::vector<int32_t> results;
};

// Init is refused, UnInit only asks for the stop (no wait for the thread
// itself, no second lock; inside Init the stop follows that start, which
// returns 0), Send and SetLog work. The service is then stopped or
// stopping, and the next host call cleans up: one stop line per run.
TEST_P(LogCallback, CallsEveryExport) {
  const ReentryCase &c = GetParam();
  ASSERT_EQ(TQ_PROXY_OK, c.inside != 3 ? Start() : TQ_PROXY_OK);
  dll.SetLog(this, &Log, TQ_PROXY_LOG_DEBUG);
  int32_t rc = TQ_PROXY_OK;
  if (c.inside == 0) peer.SendTo("127.0.0.1", port, "hi");
  if (c.inside == 1) rc = dll.Send("127.0.0.1", peer.Port(), "outer", 5) - 5;
  if (c.inside == 2) rc = dll.UnInit();
  if (c.inside == 3) rc = Start();
  EXPECT_EQ(TQ_PROXY_OK, rc);
  ASSERT_TRUE(Eventually([&] { return done && received == (c.inside == 0 ? 1 : 0); }));
  EXPECT_EQ(c.results, results);
  EXPECT_EQ(0, late_debug.load());
  EXPECT_EQ(TQ_PROXY_ERR_STATE, dll.Send("127.0.0.1", peer.Port(), "x", 1));
  std::string got;  // the nested send first
  EXPECT_TRUE(c.results[1] != 6 || (peer.Receive(&got) && got == "nested")) << got;
  EXPECT_TRUE(c.inside != 1 || (peer.Receive(&got) && got == "outer")) << got;
  dll.SetLog(&log, &LogCapture::Callback, TQ_PROXY_LOG_DEBUG);
  ASSERT_TRUE(Eventually([&] { return Start() == TQ_PROXY_OK; }));  // once the loop has ended
  EXPECT_EQ(1u, log.Count("] stop service\n"));
  EXPECT_TRUE(Delivered());
  EXPECT_TRUE(log.Matching("[ERROR]").empty());  // no failure caught at the boundary
}

const int32_t kState = TQ_PROXY_ERR_STATE;
INSTANTIATE_TEST_SUITE_P(
    Misuse, LogCallback,
    ::testing::Values(ReentryCase{"OnTheNetworkThread", "] accept peer=", 0, {kState, 6, 0}},
                      ReentryCase{"InsideSend", "] Socket Send fd=", 1, {kState, 6, 0}},
                      ReentryCase{"InsideUnInit", "] stop service", 2, {kState, kState, 0}},
                      ReentryCase{"InsideInit", "] Bind Success", 3, {kState, kState, 0}}),
    [](const ::testing::TestParamInfo<ReentryCase> &info) { return std::string(info.param.name); });

// Four host threads race Init, UnInit and Send while a peer sends: every
// call gets a code that some state allows, each successful start made one
// run (one bind, one loop), and then UnInit and Init leave a working service.
TEST_F(Misuse, HostThreadsRaceTheLifecycle) {
  std::atomic<int> starts{0}, unexpected{0};
  auto worker = [&](unsigned id) {
    std::mt19937 rng(id);
    for (int i = 0; i < 50; ++i) {
      SleepMs(static_cast<int>(rng() % 8));  // spread over the traffic
      const unsigned op = rng() % 3;
      const int32_t rc = op == 0 ? Start() : op == 1 ? dll.UnInit() : dll.Send(nullptr, 0, "s", 1);
      starts += op == 0 && rc == TQ_PROXY_OK;
      unexpected += rc != TQ_PROXY_OK && rc != 1 && rc != TQ_PROXY_ERR_STATE &&
                    (rc != TQ_PROXY_ERR_ARGUMENT || op != 2);  // no peer yet
    }
  };
  std::vector<std::thread> threads;
  for (unsigned id = 1; id <= 4; ++id) threads.emplace_back(worker, id);
  UdpPeer peer;
  for (int i = 0; i < 200; ++i, SleepMs(5)) peer.SendTo("127.0.0.1", port, "p");
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(0, unexpected.load());
  EXPECT_EQ(TQ_PROXY_OK, dll.UnInit());
  EXPECT_LT(0, starts.load());
  EXPECT_EQ(static_cast<size_t>(starts), log.Count("] Bind Success"));
  EXPECT_EQ(static_cast<size_t>(starts), log.Count("] status report, do listen"));
  ASSERT_EQ(TQ_PROXY_OK, Start());
  EXPECT_TRUE(Delivered());
}

// After the loop has ended by itself, a FreeLibrary without UnInit unloads
// the library and frees its port: the reference the library held on itself
// goes once its thread has ended. (On Linux it stays until the next UnInit
// or Init: nothing there waits for the thread's end without a thread.)
#if defined(_WIN32)
TEST_F(Misuse, UnloadAfterTheLoopEndedByItselfFreesTheLibraryAndPort) {
  ASSERT_EQ(TQ_PROXY_OK, Start(&Throw));
  UdpPeer().SendTo("127.0.0.1", port, "throw");
  ASSERT_TRUE(log.WaitFor("exception will exit net i/o thread"));
  dll.SetLog(nullptr, nullptr, -1);
  dll.Unload();
  EXPECT_TRUE(Eventually([] { return !LibraryMapped(); }));
  EXPECT_TRUE(UdpPeer("127.0.0.1", port).Bound());
}
#endif

}  // namespace
