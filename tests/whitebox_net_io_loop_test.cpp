// The loop's handling of a listen socket in a lasting error state, provoked
// for real: the socket is connected to a closed port, so the ICMP reply is
// reported on its event with an error code.
#include <gtest/gtest.h>

#include "whitebox_support.h"

namespace {

TEST(NetIoLoop, SocketWithErrorLeavesTheWatchOnceAndTheLoopEndsWhenNoneIsLeft) {
  tqtest::WinsockSession winsock;
  tqtest::SinkCapture log;
  TqProxy::TQUdpService service;
  const uint16_t port = tqtest::FreeUdpPort();
  ProxyInitParam param = tqtest::MakeParam("127.0.0.1", port);
  ASSERT_EQ(TQ_PROXY_OK, service.Start(&param));
  ASSERT_TRUE(log.WaitFor("status report, do listen"));
  const SOCKET listen = static_cast<SOCKET>(service.listen_sockets.begin()->first);

  const sockaddr_in closed = tqtest::Ipv4("127.0.0.1", tqtest::FreeUdpPort());
  ASSERT_EQ(0, connect(listen, reinterpret_cast<const sockaddr *>(&closed), sizeof(closed)));
  ASSERT_EQ(1, send(listen, "x", 1, 0));

  // Reported once, not every cycle; then nothing is left to watch.
  ASSERT_TRUE(log.WaitFor("select return error will exit net i/o thread, ret=-1, err.no=" +
                          std::to_string(tqtest::kErrorInvalidArgument) + ","));
  EXPECT_TRUE(tqtest::Eventually([&] { return service.state.load() == 0; }));
  const auto removed = log.Matching("status report, socket read exception, will remove fd=");
  ASSERT_EQ(1u, removed.size());
  EXPECT_EQ(TQ_PROXY_LOG_ERROR, removed[0].level);
  EXPECT_NE(std::string::npos,
            removed[0].text.find("fd=" + std::to_string(static_cast<int>(listen)) +
                                 ", ip=127.0.0.1, port=" + std::to_string(port) + ", err.no="));
  EXPECT_TRUE(service.listen_sockets.begin()->second.excluded);
  // Kept open until Stop, and Send refuses while the loop is gone.
  sockaddr_in name{};
  socklen_t len = sizeof(name);
  EXPECT_EQ(0, getsockname(listen, reinterpret_cast<sockaddr *>(&name), &len));
  EXPECT_EQ(TQ_PROXY_ERR_STATE, service.Send("127.0.0.1", port, "x", 1));

  // A new start cleans the ended run up first and works again.
  ASSERT_EQ(TQ_PROXY_OK, service.Start(&param));
  EXPECT_EQ(1u, log.Count("stop service"));
  EXPECT_FALSE(service.listen_sockets.begin()->second.excluded);
  EXPECT_EQ(0, service.Stop());
}

}  // namespace
