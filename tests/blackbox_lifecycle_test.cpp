// Black-box lifecycle tests: start records that cannot start, a refused
// start that changes nothing, a prompt stop. The result codes of every
// export in every state are the misuse suite's and the model walk's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

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

// Each fails with -98 and its lines: the bind error where a bind was tried
// (with the runtime's text for the code, as the library's own runtime gives
// it), then the start-failed line. The record ends at a no-access page: an
// ip of 128 characters without NUL is taken as exactly those. Nothing
// listens afterwards, and the service stays idle: the next start works.
TEST_F(Lifecycle, StartRecordsThatCannotStartLeaveTheServiceIdle) {
  const std::string unterminated(sizeof(ProxyInitParam::ip), '7');
  const struct {
    std::string ip;
    int32_t port;    // 1: the free port
    int bind_error;  // 0: no bind tried
  } cases[] = {{"127.0.0.1", 0, 0},
               {"127.0.0.1", 65536, 0},
               {"127.0.0.1", 1, kErrorAddressInUse},  // another socket holds the port
               {"999.1.1.1", 1, kErrorAddressNotAvailable},
               {unterminated, 1, kErrorAddressNotAvailable}};
  for (const auto &c : cases) {
    auto *p = new (Guarded(sizeof(ProxyInitParam))) ProxyInitParam(param);
    p->port = c.port == 1 ? port : c.port;
    std::memcpy(p->ip, c.ip.c_str(), std::min(c.ip.size() + 1, sizeof(p->ip)));
    const std::string ps = std::to_string(p->port), ip = ", ip=" + c.ip;
    const std::string str = c.bind_error != 0 ? std::strerror(c.bind_error) : "";
    SCOPED_TRACE(c.ip + ":" + ps);
    log.Clear();
    {
      const UdpPeer holder("127.0.0.1", c.bind_error == kErrorAddressInUse ? port : 0);
      EXPECT_EQ(TQ_PROXY_ERR_SOCKET, dll.Init(p));
    }
    EXPECT_EQ(1u, log.Count("] service engine liten extern service info setting, port=" + ps + ip +
                            "\n"));
    EXPECT_EQ(c.bind_error != 0 ? 1u : 0u, log.Count("Bind"));  // and no success
    EXPECT_EQ(c.bind_error != 0 ? 1u : 0u,
              log.Count("] Bind Error, ret=-1, errno=" + std::to_string(c.bind_error) +
                        ", str=" + str + ip + ", port=" + ps + "\n"));
    EXPECT_EQ(1u, log.Count("] service engine start failed:service listen failed: " + str +
                            ", do listen exception, will not start work thread\n"));
    EXPECT_EQ(c.bind_error != 0 ? 2u : 1u, log.Matching("[ERROR]").size());
    EXPECT_TRUE(UdpPeer("127.0.0.1", port).Bound());  // nothing listens on the port
  }
  ASSERT_EQ(TQ_PROXY_OK, dll.Init(&param));
  EXPECT_TRUE(Delivered());
}

// While running, a start with another record is refused silently and
// changes nothing: its port stays free, datagrams still reach the first
// callback. Then, with nothing to wake the loop's wait, UnInit returns
// within about one wait period (100 ms).
TEST_F(Lifecycle, RefusedStartChangesNothingAndStopIsPrompt) {
  ASSERT_EQ(TQ_PROXY_OK, dll.Init(&param));
  ASSERT_TRUE(log.WaitFor("status report"));
  log.Clear();
  const ProxyInitParam other = MakeParam("127.0.0.1", FreeUdpPort());  // drops what it receives
  EXPECT_EQ(TQ_PROXY_ERR_STATE, dll.Init(&other));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(UdpPeer("127.0.0.1", static_cast<uint16_t>(other.port)).Bound());
  EXPECT_TRUE(Delivered());
  SleepMs(30);  // the loop is in its wait
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(TQ_PROXY_OK, dll.UnInit());
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_LT(ms, 500) << "a wait of 1 s would take about 970 ms here";

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
