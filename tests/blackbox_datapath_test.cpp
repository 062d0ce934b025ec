// Data path through the real DLL with real loopback peers: datagrams in,
// replies from the listen socket, other destinations from the send socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <random>

#include "dll_test.h"

using namespace tqtest;

namespace {

// Collects what the receive callback gets; can hold the callback open (so
// that datagrams queue up behind it) and echo each datagram back.
struct Inbox {
  std::mutex m;
  std::vector<std::string> got;
  bool nul_after_all = true;
  std::atomic<bool> hold{false}, entered{false};
  TqProxyDll *echo_dll = nullptr;
  uint16_t echo_port = 0;
  std::atomic<int> echoed{0};  // echoes that reported the full length

  static void TQ_PROXY_CALL Callback(void *ud, const char *data, int32_t len) {
    auto *self = static_cast<Inbox *>(ud);
    if (self->echo_dll != nullptr)
      self->echoed += self->echo_dll->Send("127.0.0.1", self->echo_port, data, len) == len;
    {
      std::lock_guard<std::mutex> lock(self->m);
      self->got.emplace_back(data, static_cast<size_t>(len));
      self->nul_after_all &= data[len] == '\0';
    }
    self->entered = true;
    Eventually([self] { return !self->hold; }, 5000);
  }
  // What arrived, once `n` datagrams did or the wait ran out.
  std::vector<std::string> Got(size_t n) {
    Eventually([&] {
      std::lock_guard<std::mutex> lock(m);
      return got.size() >= n;
    });
    std::lock_guard<std::mutex> lock(m);
    return got;
  }
};

std::string RandomBytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::generate(s.begin(), s.end(), std::mt19937(seed));
  return s;
}

class Datapath : public DllTest {
 protected:
  int32_t Start(Inbox *inbox = nullptr) {
    ProxyInitParam p = MakeParam("127.0.0.1", port, inbox ? &Inbox::Callback : nullptr, inbox);
    return dll.Init(&p);
  }
  // Sends from `peer` and waits until the service has logged its receipt.
  bool HeardFrom(const UdpPeer &peer, const std::string &data) {
    peer.SendTo("127.0.0.1", port, data);
    return log.WaitFor(Line("recv data from", peer.Port(), data.size()));
  }
  static std::string Line(const char *what, uint16_t peer_port, size_t n) {
    return std::string(what) + " ip=127.0.0.1, port=" + std::to_string(peer_port) +
           ", datalen=" + std::to_string(n) + "\n";
  }
  // The level of the one line containing `needle`; -1 unless there is exactly one.
  int LevelOfOnly(const std::string &needle) const {
    const std::vector<LogLine> lines = log.Matching(needle);
    return lines.size() == 1 ? lines[0].level : -1;
  }
  // The source port of the next datagram at `peer`, after checking its bytes.
  static int SourcePortOfNext(const UdpPeer &peer, const std::string &expected) {
    std::string got;
    sockaddr_in from{};
    if (!peer.Receive(&got, &from) || got != expected) return -1;
    return ntohs(from.sin_port);
  }
};

// The receive path. With no peer yet, sends without a destination are
// refused, silently. An empty datagram is a failed receive (INFO): nothing
// delivered, no peer made. Then the checks catch truncation, off-by-one
// lengths, a missing terminator and a wrong sender in the DEBUG line, up to
// the largest IPv4 UDP payload. The first is held in the callback while
// the others queue up behind it (a loop that only trusts a fresh readiness
// signal would strand them). Each is echoed from inside the callback: a
// send from the network thread must not deadlock, and leaves the service
// port.
TEST_F(Datapath, DeliversExactBytesInOrderNoEmptyDatagramAndEchoesFromTheCallback) {
  UdpPeer peer;
  Inbox inbox;
  inbox.echo_dll = &dll;
  inbox.echo_port = peer.Port();
  inbox.hold = true;
  ASSERT_EQ(0, Start(&inbox));
  ASSERT_TRUE(log.WaitFor("status report, do listen socket"));
  const size_t lines_before = log.Lines().size();
  EXPECT_EQ(-99, dll.Send(nullptr, 1234, "x", 1));
  EXPECT_EQ(-99, dll.Send(nullptr, 0, "x", 1));
  EXPECT_EQ(-99, dll.Send("127.0.0.1", 0, "x", 1));
  EXPECT_EQ(lines_before, log.Lines().size());

  ASSERT_EQ(0, peer.SendTo("127.0.0.1", port, ""));
  ASSERT_TRUE(log.WaitFor("recv data ret=0, error="));
  EXPECT_EQ(2, LevelOfOnly("recv data ret=0, error="));
  // Largest first, so a missing terminator shows as a stale non-zero byte.
  std::vector<std::string> sent = {RandomBytes(65507, 3), RandomBytes(1200, 2), RandomBytes(1, 1)};
  sent[0][1] = sent[0][1200] = sent[1][1] = '\x7f';
  for (const std::string &d : sent) {
    peer.SendTo("127.0.0.1", port, d);
    ASSERT_TRUE(Eventually([&] { return inbox.entered.load(); }));
  }
  inbox.hold = false;
  EXPECT_EQ(sent, inbox.Got(3));
  EXPECT_TRUE(inbox.nul_after_all);
  EXPECT_EQ(3, inbox.echoed.load());
  for (const std::string &d : sent) {
    EXPECT_EQ(port, SourcePortOfNext(peer, d));
    EXPECT_EQ(1, LevelOfOnly(Line("recv data from", peer.Port(), d.size())));
  }
  // The peer is new with the first real datagram: the empty one made none.
  EXPECT_EQ(1u, log.Count("accept peer=" + std::to_string(peer.Port()) + "_127.0.0.1, size=1\n"));
}

// Without a receive callback datagrams are still read and peers kept.
// Known peers are answered from the service port; a broadcast (NULL ip, or
// an ip with port 0) reaches them in key text order ("10xxx_" before
// "9xxx_", the reverse of numeric and arrival order) and returns the last
// send's result. A peer's address in another spelling or with a port above
// 65535 is no peer: it goes out from the lazily made send socket.
TEST_F(Datapath, PeersFromServicePortInKeyTextOrderOthersFromSendSocket) {
  ASSERT_EQ(0, Start());
  std::unique_ptr<UdpPeer> first, second;
  for (int k = std::random_device()() % 900, tries = 0; tries < 100; ++tries, k = (k + 7) % 1000) {
    first.reset(new UdpPeer("127.0.0.1", static_cast<uint16_t>(10000 + k)));
    second.reset(new UdpPeer("127.0.0.1", static_cast<uint16_t>(9000 + k)));
    if (second->Bound() && first->Bound() && 9000 + k != port && 10000 + k != port) break;
  }
  ASSERT_TRUE(second->Bound() && first->Bound());
  ASSERT_TRUE(HeardFrom(*second, "a"));
  ASSERT_TRUE(HeardFrom(*first, "b"));
  EXPECT_EQ(5, dll.Send("127.0.0.1", second->Port(), "reply", 5));
  EXPECT_EQ(port, SourcePortOfNext(*second, "reply"));
  EXPECT_EQ(1, LevelOfOnly(Line("send data to", second->Port(), 5)));

  for (const char *ip : {static_cast<const char *>(nullptr), "127.0.0.9"}) {
    log.Clear();
    EXPECT_EQ(5, dll.Send(ip, 0, "bcast", 5));
    EXPECT_EQ(port, SourcePortOfNext(*first, "bcast"));
    EXPECT_EQ(port, SourcePortOfNext(*second, "bcast"));
    std::string sends;
    for (const LogLine &l : log.Matching("send data to"))
      sends += l.text.substr(l.text.find("send"));
    EXPECT_EQ(Line("send data to", first->Port(), 5) + Line("send data to", second->Port(), 5),
              sends);
  }

  const uint32_t known = second->Port();
  for (const auto &to : {std::make_pair("127.000.0.1", known), std::make_pair("127.0.0.01", known),
                         std::make_pair("127.0.0.1", known + 65536)}) {
    SCOPED_TRACE(std::string(to.first) + ":" + std::to_string(to.second));
    EXPECT_EQ(4, dll.Send(to.first, to.second, "text", 4));
    const int from = SourcePortOfNext(*second, "text");
    EXPECT_TRUE(from > 0 && from != port) << from;
  }
  EXPECT_EQ(2, LevelOfOnly("Socket Send fd="));  // made once
}

// Unknown destinations go out from the send socket; host threads racing to
// make it make it once. It is closed at stop: after a restart it is made
// (and logged) afresh, not reused.
TEST_F(Datapath, SendSocketMadeOnceUnderRaceAndAgainAfterRestart) {
  UdpPeer sink;
  for (size_t run = 1; run <= 2; ++run) {
    ASSERT_EQ(0, Start());
    EXPECT_EQ(run - 1, log.Count("Socket Send fd="));  // not made before it is needed
    std::atomic<bool> go{false};
    std::vector<std::future<int32_t>> sends;
    for (int t = 0; t < 3; ++t) {
      sends.push_back(std::async(std::launch::async, [&] {
        while (!go) std::this_thread::yield();
        return dll.Send("127.0.0.1", sink.Port(), "payload", 7);
      }));
    }
    go = true;
    for (std::future<int32_t> &f : sends) EXPECT_EQ(7, f.get());
    EXPECT_EQ(run, log.Count("Socket Send fd="));
    for (int i = 0; i < 3; ++i) {
      const int from = SourcePortOfNext(sink, "payload");
      EXPECT_TRUE(from > 0 && from != port) << from;
    }
    EXPECT_EQ(0, dll.UnInit());
  }
}

}  // namespace
