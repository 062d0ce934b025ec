// Black-box lifecycle tests: result codes of the exports in every state, a
// real bind failure, stop latency, unload and reload. Callbacks that call
// back into the library are the misuse suite's.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "test_support.h"

using namespace tqtest;

namespace {

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll.Load());
    dll.SetLog(&log, &LogCapture::Callback, 1);
  }
  void TearDown() override {
    if (dll.module == nullptr) return;
    dll.SetLog(&log, &LogCapture::Callback, 1);
    dll.UnInit();
    dll.Unload();
  }
  ProxyInitParam Param(RecvCallback callback = &Count) {
    return MakeParam("127.0.0.1", port, callback, this);
  }
  // A datagram sent to the service reaches Count.
  bool Delivered() {
    const int before = received;
    UdpPeer().SendTo("127.0.0.1", port, "ping");
    return Eventually([&] { return received > before; });
  }
  static void TQ_PROXY_CALL Count(void *self, const char *, int32_t) {
    ++static_cast<Lifecycle *>(self)->received;
  }
  WinsockSession ws;
  TqProxyDll dll;
  LogCapture log;
  const uint16_t port = FreeUdpPort();
  std::atomic<int> received{0};
};

TEST_F(Lifecycle, ResultCodesInEveryState) {
  // Idle: the refusals are silent; Stop without a start logs, each time.
  EXPECT_EQ(-99, dll.Init(nullptr));
  EXPECT_EQ(-97, dll.Send("127.0.0.1", port, "x", 1));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(0, dll.UnInit());
  EXPECT_EQ(0, dll.UnInit());
  EXPECT_EQ(2u, log.Count("] stop service\n"));
  ProxyInitParam p = Param(), no_port = Param();
  no_port.port = 0;
  log.Clear();
  EXPECT_EQ(-98, dll.Init(&no_port));
  EXPECT_EQ(0u, log.Count("Bind"));
  EXPECT_EQ(1u, log.Matching("[ERROR]").size());
  EXPECT_EQ(1u, log.Count("] service engine start failed:service listen failed: , do listen "
                          "exception, will not start work thread\n"));

  // Running: a second start is refused and changes nothing, even with another record.
  ASSERT_EQ(0, dll.Init(&p));
  ASSERT_TRUE(log.WaitFor("status report"));
  log.Clear();
  ProxyInitParam other = MakeParam("127.0.0.1", FreeUdpPort());  // drops what it receives
  EXPECT_EQ(-97, dll.Init(&other));
  EXPECT_EQ(-99, dll.Send(nullptr, 0, "x", 1));  // no destination, no peer yet
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(Delivered());
  EXPECT_TRUE(UdpPeer("127.0.0.1", static_cast<uint16_t>(other.port)).Bound());

  // Stopped, then started again with the same record on the same port.
  EXPECT_EQ(0, dll.UnInit());
  EXPECT_EQ(-97, dll.Send("127.0.0.1", port, "x", 1));
  log.Clear();
  ASSERT_EQ(0, dll.Init(&p));
  EXPECT_EQ(1u, log.Count("Bind Success, ip=127.0.0.1, port=" + std::to_string(port) + "\n"));
  EXPECT_TRUE(Delivered());
}

TEST_F(Lifecycle, BindFailureLeavesServiceIdle) {
  ProxyInitParam p = Param();
  auto holder = std::make_unique<UdpPeer>("127.0.0.1", port);  // has the port first
  ASSERT_TRUE(holder->Bound());
  EXPECT_EQ(-98, dll.Init(&p));
  EXPECT_EQ(2u, log.Matching("[ERROR]").size());
  // The runtime's text for the code, as the library's own runtime gives it.
  const std::string str = std::strerror(10048), ps = std::to_string(port);
  EXPECT_EQ(1u, log.Count("] Bind Error, ret=-1, errno=10048, str=" + str +
                          ", ip=127.0.0.1, port=" + ps + "\n"));
  EXPECT_EQ(1u, log.Count("] service engine start failed:service listen failed: " + str +
                          ", do listen exception, will not start work thread\n"));
  EXPECT_EQ(-97, dll.Send("127.0.0.1", holder->Port(), "x", 1));  // not running
  holder.reset();
  ASSERT_EQ(0, dll.Init(&p));  // the failed start left the service idle
  EXPECT_TRUE(Delivered());
}

// Nothing wakes the loop's wait, yet UnInit returns within about one wait
// period (100 ms); it gives back the library's reference to itself, so the
// module really unloads, and a reload starts afresh.
TEST_F(Lifecycle, PromptStopThenUnloadAndReload) {
  ProxyInitParam p = Param();
  ASSERT_EQ(0, dll.Init(&p));
  ASSERT_TRUE(log.WaitFor("status report"));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the loop is in its wait
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, dll.UnInit());
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  std::printf("UnInit took %lld ms\n", static_cast<long long>(ms));
  EXPECT_LT(ms, 1000);
  dll.Unload();
  EXPECT_EQ(nullptr, GetModuleHandleA("TqProxy.dll"));
  ASSERT_TRUE(dll.Load());
  dll.SetLog(&log, &LogCapture::Callback, 1);
  EXPECT_EQ(-97, dll.Send("127.0.0.1", port, "x", 1));
  ASSERT_EQ(0, dll.Init(&p));
  EXPECT_TRUE(Delivered());
}

}  // namespace
