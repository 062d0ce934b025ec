// Misuse of the exports: every export in every state, arguments that are not
// what the interface asks for, host threads racing the lifecycle, callbacks
// that call back in. Each gets its result code and leaves the service
// consistent; a crash or a hang (watchdog) fails the case. Bad lengths and
// NULL data in the plain idle and running states are the model walk's.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <new>
#include <random>
#include <set>

#include "dll_test.h"

using namespace tqtest;

namespace {

class Misuse : public DllTest {
 public:
  int32_t Start(uint16_t on = 0) {
    const ProxyInitParam p = MakeParam("127.0.0.1", on != 0 ? on : port, &OnRecv, this);
    return dll.Init(&p);
  }
  bool Delivered(uint16_t to = 0) {
    const int before = received;
    UdpPeer().SendTo("127.0.0.1", to != 0 ? to : port, "ping");
    return Eventually([&] { return received > before; });
  }
  // Keeps every payload; asks for the stop from inside when told to.
  static void TQ_PROXY_CALL OnRecv(void *user_data, const char *data, int32_t len) {
    auto *self = static_cast<Misuse *>(user_data);
    if (self->stop_from_recv.exchange(false)) {
      self->init_in_recv = self->Start();
      self->dll.UnInit();
    }
    std::lock_guard<std::mutex> lock(self->mutex);
    self->payloads.emplace_back(data, static_cast<size_t>(len));
    ++self->received;
  }
  // The state as the exports see it: arguments first, then the state, then
  // the size (a send that looked at INT32_MAX bytes of "x" would fault).
  void ExpectState(bool running) {
    EXPECT_EQ(-99, dll.Init(nullptr));
    EXPECT_EQ(-99, dll.Send(nullptr, 0, nullptr, INT32_MAX));
    if (running) {
      EXPECT_EQ(-97, Start());
      return;
    }
    EXPECT_EQ(-97, dll.Send(nullptr, 0, "x", 1));
    EXPECT_EQ(-97, dll.Send("127.0.0.1", port, "x", INT32_MAX));
  }

  Watchdog dog;  // a hang in a case or in TearDown ends the run
  std::atomic<int> received{0};
  std::atomic<bool> stop_from_recv{false};
  std::atomic<int32_t> init_in_recv{1};
  std::mutex mutex;
  std::vector<std::string> payloads;
};

// Running, a loop ended by a stop asked from the receive callback, unloaded
// while running, stopped, unloaded and reloaded afresh. Catches state checks
// that come too late, a start that does not clean up an ended run, an unload
// that pulls the code from under the running thread and a stop that keeps
// the library's reference to itself.
TEST_F(Misuse, EveryExportInEveryState) {
  ASSERT_EQ(0, Start());
  stop_from_recv = true;
  ASSERT_TRUE(Delivered());
  EXPECT_EQ(-97, init_in_recv);
  ExpectState(false);                                           // stop requested
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the loop has ended by now
  ExpectState(false);
  EXPECT_EQ(0u, log.Count("] stop service\n"));
  ASSERT_TRUE(Eventually([&] { return Start() == 0; }));  // cleans up the ended run first
  EXPECT_EQ(1u, log.Count("] stop service\n"));

  dll.Unload();  // the host lets go while the thread runs
  ASSERT_TRUE(LibraryMapped());
  EXPECT_TRUE(Delivered());
  ASSERT_TRUE(dll.Load());  // the same instance, still running
  ExpectState(true);
  EXPECT_EQ(0, dll.UnInit());
  EXPECT_TRUE(log.Matching("[ERROR]").empty());  // no failure caught at the boundary
  dll.SetLog(nullptr, nullptr, -1);
  dll.Unload();
  EXPECT_FALSE(LibraryMapped());
  ASSERT_TRUE(dll.Load());  // before the first start
  ExpectState(false);
  ASSERT_EQ(0, Start());
  EXPECT_TRUE(Delivered());
}

// Texts that are no address fail with -98 and the bind error Windows gives
// them, and bind nothing (Wine would listen on every interface); "1.2.3" is
// a short form of 1.2.0.3 and binds as the system decides. The
// unterminated text, in a record that ends at a no-access page, is taken as
// exactly 128 bytes. Ports above 65535 or negative fail with -98 without a
// bind (port 0 is the lifecycle suite's); 65535 is a port.
TEST_F(Misuse, StartRecordsThatAreNotAddressesOrPorts) {
  auto *unterminated = new (Guarded(sizeof(ProxyInitParam))) ProxyInitParam(MakeParam("", port));
  const std::string long_ip(sizeof(unterminated->ip), '7');
  std::memcpy(unterminated->ip, long_ip.data(), long_ip.size());
  for (const char *ip : {long_ip.c_str(), "localhost", "%s%s", "1.2.3", "999.1.1.1", "abc"}) {
    SCOPED_TRACE(ip);
    const ProxyInitParam p = MakeParam(ip, port);
    log.Clear();
    const int32_t rc = dll.Init(ip == long_ip.c_str() ? unterminated : &p);
    EXPECT_EQ(1u, log.Count("] service engine liten extern service info setting, port=" +
                            std::to_string(port) + ", ip=" + ip + "\n"));
    EXPECT_EQ(rc == 0 ? 0u : 1u, log.Count("] service engine start failed:service listen failed"));
    if (std::strcmp(ip, "1.2.3") == 0) {
      EXPECT_TRUE(rc == 0 || rc == -98) << rc;
    } else {
      EXPECT_EQ(-98, rc);
      EXPECT_EQ(1u, log.Count("] Bind Error, ret=-1, errno=" +
                              std::to_string(kErrorAddressNotAvailable) + ", str="));
      EXPECT_EQ(0u, log.Count("] Bind Success"));
      EXPECT_TRUE(UdpPeer("127.0.0.1", port).Bound());  // nothing listens on the port
    }
    ExpectState(rc == 0);
    EXPECT_EQ(0, dll.UnInit());
  }
  log.Clear();
  for (int32_t bad_port : {65536, -1, INT32_MIN}) {
    const ProxyInitParam p = MakeParam("127.0.0.1", bad_port);
    EXPECT_EQ(-98, dll.Init(&p)) << bad_port;
  }
  EXPECT_EQ(0u, log.Count("Bind"));
  const uint16_t last = UdpPeer("127.0.0.1", 65535).Bound() ? 65535 : port;  // unless it is taken
  ASSERT_EQ(0, Start(last));
  EXPECT_TRUE(Delivered(last));
}

// The data ends at a no-access page. The largest IPv4 payload goes out
// whole; anything longer, to a peer, to every peer or to a stranger, fails
// as the system fails it (-1, WSAEMSGSIZE, the WARN line) with no byte read
// past the buffer and nothing sent.
TEST_F(Misuse, OversizedSendsNeverReadPastTheBuffer) {
  char *data = static_cast<char *>(std::memset(Guarded(65507), 'g', 65507));
  ASSERT_EQ(0, Start());
  UdpPeer peer, stranger;
  peer.SendTo("127.0.0.1", port, "hi");
  ASSERT_TRUE(Eventually([&] { return received == 1; }));
  std::string got;
  EXPECT_EQ(65507, dll.Send("127.0.0.1", peer.Port(), data, 65507));
  ASSERT_TRUE(peer.Receive(&got));
  EXPECT_EQ(std::string(65507, 'g'), got);
  for (int32_t len : {65508, INT32_MAX}) {
    for (uint16_t to : {peer.Port(), uint16_t{0}, stranger.Port()}) {  // 0: every peer
      SetLastSocketError(0);
      EXPECT_EQ(-1, dll.Send(to != 0 ? "127.0.0.1" : nullptr, to, data, len));
      EXPECT_EQ(kErrorMessageSize, LastSocketError()) << len << " to " << to;
    }
    EXPECT_EQ(3u, log.Count("] send to net size=" + std::to_string(len) + " failed, result=-1\n"));
  }
  EXPECT_FALSE(peer.Receive(&got, nullptr, 300));
  EXPECT_FALSE(stranger.Receive(&got, nullptr, 300));
  EXPECT_TRUE(Delivered());
}

// Four host threads race Init, UnInit, Send and SetLog while a peer sends.
// Every call gets a code that some state allows, each successful start made
// one run (one bind, one loop), no datagram arrives twice, and afterwards
// one UnInit and Init leave a working service.
TEST_F(Misuse, HostThreadsRaceTheLifecycle) {
  UdpPeer peer, stranger;
  std::atomic<int> starts{0}, unexpected{0};
  auto worker = [&](unsigned id) {
    std::mt19937 rng(id);
    for (int i = 0; i < 50; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 8));  // spread over the traffic
      const unsigned op = rng() % 5;
      if (op == 4) {
        dll.SetLog(&log, &LogCapture::Callback, static_cast<int32_t>(1 + rng() % 2));
        continue;
      }
      // To the peer (from the listen socket) or to a stranger, by turns.
      const uint16_t to = (id + i) % 2 == 0 ? peer.Port() : stranger.Port();
      const int32_t rc = op == 0   ? Start()
                         : op == 1 ? dll.UnInit()
                         : op == 2 ? dll.Send("127.0.0.1", to, "s", 1)
                                   : dll.Send(nullptr, 0, id == 1 ? "b" : nullptr, 1);
      starts += op == 0 && rc == 0;
      unexpected += rc != 0 && rc != 1 && rc != -97 && (rc != -99 || op != 3);
    }
  };
  std::vector<std::thread> threads;
  for (unsigned id = 1; id <= 4; ++id) threads.emplace_back(worker, id);
  for (int i = 0; i < 200; ++i) {
    peer.SendTo("127.0.0.1", port, "p" + std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(0, unexpected.load());
  EXPECT_EQ(0, dll.UnInit());
  EXPECT_LT(0, starts.load());
  EXPECT_EQ(static_cast<size_t>(starts), log.Count("] Bind Success"));
  EXPECT_EQ(static_cast<size_t>(starts), log.Count("] status report, do listen"));
  EXPECT_EQ(payloads.size(), std::set<std::string>(payloads.begin(), payloads.end()).size());
  ASSERT_EQ(0, Start());
  EXPECT_TRUE(Delivered());
}

// A log callback that calls every export when it first sees its trigger.
struct Reentry {
  Misuse *test;
  const char *trigger;
  uint16_t to;
  std::atomic<bool> fired{false}, done{false};
  std::vector<int32_t> results{};  // of Init, Send and UnInit, in that order

  static void TQ_PROXY_CALL Log(void *user_data, int32_t level, const char *line) {
    auto *self = static_cast<Reentry *>(user_data);
    LogCapture::Callback(&self->test->log, level, line);
    if (std::strstr(line, self->trigger) == nullptr || self->fired.exchange(true)) return;
    TqProxyDll &dll = self->test->dll;
    dll.SetLog(self, &Log, 2);  // takes effect at once: no DEBUG line after this
    self->results = {self->test->Start(), dll.Send("127.0.0.1", self->to, "nested", 6),
                     dll.UnInit()};
    self->done = true;
  }
};

// Log callbacks on the network thread, inside Send, UnInit and Init: Init
// is refused, UnInit only asks for the stop (no wait for the thread itself,
// no second lock), Send and SetLog work; the next host call cleans up.
TEST_F(Misuse, LogCallbacksCallEveryExport) {
  UdpPeer peer, stranger;
  std::string got;
  ASSERT_EQ(0, Start());
  Reentry on_net{this, "] accept peer=", peer.Port()};
  dll.SetLog(&on_net, &Reentry::Log, 1);
  peer.SendTo("127.0.0.1", port, "hi");
  ASSERT_TRUE(Eventually([&] { return on_net.done && received == 1; }));
  EXPECT_EQ((std::vector<int32_t>{-97, 6, 0}), on_net.results);
  ASSERT_TRUE(peer.Receive(&got));
  EXPECT_EQ("nested", got);
  EXPECT_EQ(0u, log.Count("recv data from"));
  EXPECT_EQ(0, dll.UnInit());

  ASSERT_EQ(0, Start());
  Reentry in_send{this, "] Socket Send fd=", stranger.Port()};
  dll.SetLog(&in_send, &Reentry::Log, 1);
  EXPECT_EQ(5, dll.Send("127.0.0.1", stranger.Port(), "outer", 5));
  EXPECT_EQ((std::vector<int32_t>{-97, 6, 0}), in_send.results);
  for (const char *expected : {"nested", "outer"}) {
    ASSERT_TRUE(stranger.Receive(&got));
    EXPECT_EQ(expected, got);
  }
  ASSERT_TRUE(Eventually([&] { return Start() == 0; }));  // once the loop has ended
  EXPECT_EQ(2u, log.Count("] stop service\n"));           // one per run

  Reentry in_stop{this, "] stop service", stranger.Port()};
  dll.SetLog(&in_stop, &Reentry::Log, 1);
  EXPECT_EQ(0, dll.UnInit());
  EXPECT_EQ((std::vector<int32_t>{-97, -97, 0}), in_stop.results);

  // Asked for inside Init, the stop follows that start: Init returns 0 with
  // the service stopped, not running on.
  Reentry in_start{this, "] Bind Success", stranger.Port()};
  dll.SetLog(&in_start, &Reentry::Log, 1);
  EXPECT_EQ(0, Start());
  EXPECT_EQ((std::vector<int32_t>{-97, -97, 0}), in_start.results);
  EXPECT_EQ(-97, dll.Send("127.0.0.1", stranger.Port(), "x", 1));
  EXPECT_EQ(4u, log.Count("] stop service\n"));
  dll.SetLog(&log, &LogCapture::Callback, 1);
  ASSERT_EQ(0, Start());
  EXPECT_TRUE(Delivered());
  EXPECT_TRUE(log.Matching("[ERROR]").empty());  // no failure caught at the boundary
}

// A receive callback that throws what is no standard exception (an int)
// ends the loop; the loop says so.
TEST_F(Misuse, NonStandardExceptionFromTheReceiveCallbackIsLogged) {
  const ProxyInitParam p =
      MakeParam("127.0.0.1", port, [](void *, const char *, int32_t) { throw 7; });
  ASSERT_EQ(0, dll.Init(&p));
  UdpPeer().SendTo("127.0.0.1", port, "throw");
  EXPECT_TRUE(log.WaitFor("] status report, exception will exit net i/o thread, what=unknown\n"));
  EXPECT_TRUE(Eventually([&] { return dll.Send("127.0.0.1", port, "x", 1) == -97; }));
}

// After the loop has ended by itself, a FreeLibrary without UnInit unloads
// the library and frees its port: the reference the library held on itself
// goes once its thread has ended. (On Linux it stays until the next UnInit
// or Init: nothing there waits for the thread's end without a thread.)
#if defined(_WIN32)
TEST_F(Misuse, UnloadAfterTheLoopEndedByItselfFreesTheLibraryAndPort) {
  const ProxyInitParam p =
      MakeParam("127.0.0.1", port, [](void *, const char *, int32_t) { throw 7; });
  ASSERT_EQ(0, dll.Init(&p));
  UdpPeer().SendTo("127.0.0.1", port, "throw");
  ASSERT_TRUE(log.WaitFor("exception will exit net i/o thread"));
  dll.SetLog(nullptr, nullptr, -1);
  dll.Unload();
  EXPECT_TRUE(Eventually([] { return !LibraryMapped(); }));
  EXPECT_TRUE(UdpPeer("127.0.0.1", port).Bound());
}
#endif

}  // namespace
