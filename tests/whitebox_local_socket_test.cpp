// CreateLocalSocket on its own service object: outside, its error text,
// skips and table show up only as one result code of the start.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "whitebox_support.h"

namespace {

const std::string kFailed = "service listen failed: ";

// Sockets, sink capture and service, torn down in the right order.
struct Fixture {
  tqtest::WinsockSession ws;
  tqtest::SinkCapture log;
  TqProxy::TQUdpService service;
  ~Fixture() {
    for (const auto &entry : service.listen_sockets)
      tqtest::CloseSocket(static_cast<SOCKET>(entry.first));
    service.listen_sockets.clear();
  }
};

int g_made_count = 0;
SOCKET g_made = INVALID_SOCKET;  // the last socket the service made
SOCKET Counted(int family, int type, int protocol) {
  ++g_made_count;
  return g_made = socket(family, type, protocol);
}

std::string BindError(int error, const std::string &ip, int32_t port) {
  return "Bind Error, ret=-1, errno=" + std::to_string(error) + ", str=" + std::strerror(error) +
         ", ip=" + ip + ", port=" + std::to_string(port);
}

// Nothing bound: false, and the error names the last address tried only
// (no accumulation), bare when it was skipped. Skips log nothing; low 16
// bits of 0 (65536) would bind an ephemeral port, so they are skipped too.
TEST(CreateLocalSocket, FailureTextAndSilentSkips) {
  Fixture f;
  const std::vector<std::string> twice{"127.0.0.1", "127.0.0.1"};
  std::string error = "stale";
  EXPECT_FALSE(f.service.CreateLocalSocket({}, 5000, &error));
  EXPECT_EQ(kFailed, error);
  EXPECT_FALSE(f.service.CreateLocalSocket({"", ""}, tqtest::FreeUdpPort(), &error));
  for (int32_t port : {0, -1, -70000, 65536, 131072}) {
    EXPECT_FALSE(f.service.CreateLocalSocket(twice, port, &error)) << port;
    EXPECT_EQ(kFailed, error) << port;
  }
  EXPECT_EQ(0u, f.log.Lines().size());

  tqtest::UdpPeer holder;  // keeps 127.0.0.1:port taken
  EXPECT_FALSE(f.service.CreateLocalSocket(twice, holder.Port(), &error));
  EXPECT_EQ(kFailed + std::strerror(tqtest::kErrorAddressInUse), error);
  EXPECT_FALSE(f.service.CreateLocalSocket({"127.0.0.1", ""}, holder.Port(), &error));
  EXPECT_EQ(kFailed, error);
  EXPECT_EQ(tqtest::Lines(3, BindError(tqtest::kErrorAddressInUse, "127.0.0.1", holder.Port())),
            tqtest::Messages(f.log));
  EXPECT_TRUE(f.service.listen_sockets.empty());

  // The socket whose bind failed is closed.
  TqProxy::seams::create_socket = &Counted;
  EXPECT_FALSE(f.service.CreateLocalSocket({"127.0.0.1"}, holder.Port(), &error));
  TqProxy::seams::Reset();
  EXPECT_EQ(SOCKET_ERROR, send(g_made, "x", 1, 0));
  EXPECT_EQ(tqtest::kErrorNotSocket, tqtest::LastSocketError());
}

// The second bind of one address is refused and logged; the table keeps the
// first, the result is true with no error text. Above 65535 the low 16 bits
// are bound, while the log and the table keep the number as given.
TEST(CreateLocalSocket, SameAddressTwiceBindsOnce) {
  Fixture f;
  const uint16_t port = tqtest::FreeUdpPort();
  const int32_t given = 65536 + port;
  std::string error = "stale";
  EXPECT_TRUE(f.service.CreateLocalSocket({"127.0.0.1", "127.0.0.1"}, given, &error));
  EXPECT_EQ("", error);
  ASSERT_EQ(1u, f.service.listen_sockets.size());
  EXPECT_EQ(given, f.service.listen_sockets.begin()->second.port);
  EXPECT_FALSE(tqtest::UdpPeer("127.0.0.1", port).Bound());
  EXPECT_EQ((tqtest::Lines{"Bind Success, ip=127.0.0.1, port=" + std::to_string(given),
                           BindError(tqtest::kErrorAddressInUse, "127.0.0.1", given)}),
            tqtest::Messages(f.log));
  EXPECT_EQ(TQ_PROXY_LOG_ERROR, f.log.Lines()[1].level);
}

// Texts inet_addr cannot parse would bind every interface under Wine (it
// makes them 255.255.255.255): refused as Windows refuses their bind, with
// no socket made. The all-ones address in the forms inet_addr accepts, and
// its short forms of other addresses, go to the bind.
TEST(CreateLocalSocket, TextsThatAreNoAddressAreRefusedBeforeTheBind) {
  TqProxy::seams::create_socket = &Counted;
  const int32_t port = tqtest::FreeUdpPort();
  const std::vector<const char *> refused{
      "%s%s", "256.255.255.255", "1.2.3.4.5", "0x1ffffffff", "255.255.255.255x", "09.1.1.1", "1..2",
      "-1",   "255.255.255.256"},
      accepted{"255.255.255.255",     "0xFFFFFFFF", "4294967295", "255.16777215",
               "0377.0377.0377.0377", "3.4",        "0127.0.0.1"};
  for (const auto *texts : {&refused, &accepted}) {
    for (const char *ip : *texts) {
      Fixture f;
      std::string error;
      g_made_count = 0;
      f.service.CreateLocalSocket({ip}, port, &error);
      EXPECT_EQ(texts == &accepted, g_made_count == 1) << ip;
      if (texts == &accepted) continue;
      EXPECT_EQ(kFailed + std::strerror(tqtest::kErrorAddressNotAvailable), error) << ip;
      EXPECT_EQ(tqtest::Lines{BindError(tqtest::kErrorAddressNotAvailable, ip, port)},
                tqtest::Messages(f.log));
    }
  }
  TqProxy::seams::Reset();
}

// A bound socket is closed, not lost, when what follows its bind throws
// (here the host's log callback, at the success line).
TEST(CreateLocalSocket, BoundSocketIsClosedWhenItsSuccessLineThrows) {
  Fixture f;
  const uint16_t port = tqtest::FreeUdpPort();
  TqProxy::LogSink::Instance().SetLog(
      nullptr,
      [](void *, int32_t, const char *line) {
        if (std::strstr(line, "] Bind Success") != nullptr) throw std::runtime_error("host");
      },
      1);
  std::string error;
  EXPECT_THROW(f.service.CreateLocalSocket({"127.0.0.1"}, port, &error), std::runtime_error);
  EXPECT_TRUE(f.service.listen_sockets.empty());
  EXPECT_TRUE(tqtest::UdpPeer("127.0.0.1", port).Bound());
}

}  // namespace
