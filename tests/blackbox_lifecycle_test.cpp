// Black-box lifecycle tests: starts that fail and leave the service idle,
// a refused start that changes nothing, a prompt stop. The result codes of
// every export in every state are the misuse suite's and the model walk's.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "dll_test.h"

using namespace tqtest;

namespace {

class Lifecycle : public DllTest {
 protected:
  // A datagram sent to the service reaches Count.
  bool Delivered() {
    const int before = received;
    UdpPeer().SendTo("127.0.0.1", port, "ping");
    return Eventually([&] { return received > before; });
  }
  static void TQ_PROXY_CALL Count(void *self, const char *, int32_t) {
    ++static_cast<Lifecycle *>(self)->received;
  }
  const ProxyInitParam param = MakeParam("127.0.0.1", port, &Count, this);
  std::atomic<int> received{0};
};

// Refusals are silent. A record without a port fails with one ERROR line
// and no bind; a port another socket holds fails with the bind error (the
// runtime's text for the code, as the library's own runtime gives it) and
// the start-failed line. Either way the service stays idle: the next start
// on a free port works.
TEST_F(Lifecycle, StartFailuresLeaveServiceIdle) {
  EXPECT_EQ(-99, dll.Init(nullptr));
  EXPECT_EQ(-97, dll.Send("127.0.0.1", port, "x", 1));
  EXPECT_TRUE(log.Lines().empty());
  const ProxyInitParam no_port = MakeParam("127.0.0.1", 0);
  EXPECT_EQ(-98, dll.Init(&no_port));
  EXPECT_EQ(0u, log.Count("Bind"));
  EXPECT_EQ(1u, log.Matching("[ERROR]").size());
  EXPECT_EQ(1u, log.Count("] service engine start failed:service listen failed: , do listen "
                          "exception, will not start work thread\n"));

  log.Clear();
  auto holder = std::make_unique<UdpPeer>("127.0.0.1", port);  // has the port first
  ASSERT_TRUE(holder->Bound());
  EXPECT_EQ(-98, dll.Init(&param));
  EXPECT_EQ(2u, log.Matching("[ERROR]").size());
  const std::string str = std::strerror(kErrorAddressInUse), ps = std::to_string(port);
  EXPECT_EQ(1u, log.Count("] Bind Error, ret=-1, errno=" + std::to_string(kErrorAddressInUse) +
                          ", str=" + str + ", ip=127.0.0.1, port=" + ps + "\n"));
  EXPECT_EQ(1u, log.Count("] service engine start failed:service listen failed: " + str +
                          ", do listen exception, will not start work thread\n"));
  holder.reset();
  ASSERT_EQ(0, dll.Init(&param));
  EXPECT_TRUE(Delivered());
}

// While running, a start with another record is refused silently and
// changes nothing: its port stays free, datagrams still reach the first
// callback. Then, with nothing to wake the loop's wait, UnInit returns
// within about one wait period (100 ms).
TEST_F(Lifecycle, RefusedStartChangesNothingAndStopIsPrompt) {
  ASSERT_EQ(0, dll.Init(&param));
  ASSERT_TRUE(log.WaitFor("status report"));
  log.Clear();
  const ProxyInitParam other = MakeParam("127.0.0.1", FreeUdpPort());  // drops what it receives
  EXPECT_EQ(-97, dll.Init(&other));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(UdpPeer("127.0.0.1", static_cast<uint16_t>(other.port)).Bound());
  EXPECT_TRUE(Delivered());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the loop is in its wait
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, dll.UnInit());
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  std::printf("UnInit took %lld ms\n", static_cast<long long>(ms));
  EXPECT_LT(ms, 1000);

#if defined(_WIN32)
  // The stop released the library's own socket-library start-up: the
  // host's WSACleanup now ends the last one.
  WSACleanup();
  EXPECT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_DGRAM, 0));
  EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);  // the fixture's, for its own WSACleanup
#endif
}

}  // namespace
