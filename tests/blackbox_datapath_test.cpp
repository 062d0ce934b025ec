// Data path through the real DLL with real loopback peers: datagrams in,
// replies from the listen socket, other destinations from the send socket.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>

#include "test_support.h"

using namespace tqtest;

namespace {

// Collects what the receive callback gets; can hold the first call open
// (so that datagrams queue up) and can echo each datagram back.
struct Inbox {
  std::mutex m;
  std::vector<std::string> got;
  bool nul_after_all = true;
  bool hold_first = false;  // the first call waits (bounded) for `released`
  std::atomic<bool> entered{false}, released{false};
  TqProxyDll *echo_dll = nullptr;
  uint16_t echo_port = 0;
  std::atomic<int> echo_result{0};

  static void TQ_PROXY_CALL Callback(void *ud, const char *data, int32_t len) {
    auto *self = static_cast<Inbox *>(ud);
    if (self->echo_dll != nullptr) {
      self->echo_result = self->echo_dll->Send("127.0.0.1", self->echo_port, data, len);
    }
    bool first;
    {
      std::lock_guard<std::mutex> lock(self->m);
      first = self->got.empty();
      self->got.emplace_back(data, static_cast<size_t>(len));
      if (data[len] != '\0') self->nul_after_all = false;
    }
    if (first && self->hold_first) {
      self->entered = true;
      Eventually([self] { return self->released.load(); }, 5000);
    }
  }
  bool WaitCount(size_t n) {
    return Eventually([&] { return Got().size() >= n; });
  }
  std::vector<std::string> Got() {
    std::lock_guard<std::mutex> lock(m);
    return got;
  }
};

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char &c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

std::string Key(uint16_t port) { return std::to_string(port) + "_127.0.0.1"; }

class Datapath : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll_.Load());
    dll_.UnInit();  // start from idle even if an earlier test left it running
    dll_.SetLog(&log_, &LogCapture::Callback, 1);
    log_.Clear();
    port_ = FreeUdpPort();
  }
  void TearDown() override {
    if (dll_.module == nullptr) return;
    dll_.UnInit();
    dll_.SetLog(nullptr, nullptr, -1);  // our capture dies with the fixture
    dll_.Unload();
  }
  int32_t Start(RecvCallback cb, void *ud) {
    ProxyInitParam p = MakeParam("127.0.0.1", port_, cb, ud);
    return dll_.Init(&p);
  }
  // Sends from `peer` and waits until the service has logged its receipt.
  bool HeardFrom(const UdpPeer &peer, const std::string &data, size_t nth = 1) {
    peer.SendTo("127.0.0.1", port_, data);
    return log_.WaitFor(RecvLine(peer.Port(), data.size()), nth);
  }
  static std::string Line(const char *what, uint16_t port, int64_t n) {
    return std::string(what) + " ip=127.0.0.1, port=" + std::to_string(port) +
           ", datalen=" + std::to_string(n) + "\n";
  }
  static std::string RecvLine(uint16_t port, size_t n) { return Line("recv data from", port, n); }
  static std::string SendLine(uint16_t port, int n) { return Line("send data to", port, n); }
  // The source port of the next datagram at `peer`, after checking its bytes.
  static int SourcePortOfNext(const UdpPeer &peer, const std::string &expected) {
    std::string got;
    sockaddr_in from{};
    if (!peer.Receive(&got, &from) || got != expected) return -1;
    return ntohs(from.sin_port);
  }

  WinsockSession ws_;
  TqProxyDll dll_;
  LogCapture log_;
  uint16_t port_ = 0;
};

// Catches truncation, off-by-one lengths, a missing terminator and a wrong
// sender in the DEBUG line, up to the largest IPv4 UDP payload.
TEST_F(Datapath, DeliversExactBytesAndLengthsWithNulAfter) {
  Inbox inbox;
  ASSERT_EQ(0, Start(&Inbox::Callback, &inbox));
  UdpPeer peer;
  // Largest first, so a missing terminator shows as a stale non-zero byte.
  std::vector<std::string> sent = {RandomBytes(65507, 3), RandomBytes(1200, 2), RandomBytes(1, 1)};
  sent[0][1] = sent[0][1200] = sent[1][1] = '\x7f';
  for (const std::string &d : sent)
    ASSERT_EQ(static_cast<int>(d.size()), peer.SendTo("127.0.0.1", port_, d));
  ASSERT_TRUE(inbox.WaitCount(3));
  EXPECT_EQ(sent, inbox.Got());
  EXPECT_TRUE(inbox.nul_after_all);
  for (const std::string &d : sent) {
    ASSERT_TRUE(log_.WaitFor(RecvLine(peer.Port(), d.size())));
    EXPECT_EQ(1, log_.Matching(RecvLine(peer.Port(), d.size()))[0].level);
  }
}

// An empty datagram is a failed receive: nothing delivered, no peer made.
// With no peer, a send without destination is refused silently.
TEST_F(Datapath, ZeroLengthDatagramMakesNoPeerAndNoDestinationIsRefused) {
  Inbox inbox;
  ASSERT_EQ(0, Start(&Inbox::Callback, &inbox));
  ASSERT_TRUE(log_.WaitFor("status report, do listen socket"));
  const size_t lines_before = log_.Lines().size();
  EXPECT_EQ(-99, dll_.Send(nullptr, 1234, "x", 1));
  EXPECT_EQ(-99, dll_.Send(nullptr, 0, "x", 1));
  EXPECT_EQ(-99, dll_.Send("127.0.0.1", 0, "x", 1));
  EXPECT_EQ(lines_before, log_.Lines().size());

  UdpPeer peer;
  ASSERT_EQ(0, peer.SendTo("127.0.0.1", port_, ""));
  ASSERT_TRUE(log_.WaitFor("recv data ret=0, error="));
  EXPECT_EQ(2, log_.Matching("recv data ret=0, error=")[0].level);
  EXPECT_EQ(0u, log_.Count("accept peer"));
  EXPECT_TRUE(inbox.Got().empty());
  EXPECT_EQ(-99, dll_.Send(nullptr, 0, "x", 1));  // still no peer to broadcast to
  // The next real datagram is the first one accepted and delivered.
  ASSERT_TRUE(HeardFrom(peer, "x"));
  EXPECT_EQ(1u, log_.Count("accept peer=" + Key(peer.Port()) + ", size=1\n"));
  ASSERT_TRUE(inbox.WaitCount(1));
  EXPECT_EQ(std::vector<std::string>{"x"}, inbox.Got());
}

// Datagrams that pile up while the callback is busy must not be stranded
// (a loop that only trusts a fresh readiness signal would stall here).
TEST_F(Datapath, QueuedDatagramsAllArriveInOrder) {
  Inbox inbox;
  inbox.hold_first = true;
  ASSERT_EQ(0, Start(&Inbox::Callback, &inbox));
  UdpPeer peer;
  peer.SendTo("127.0.0.1", port_, "d0");
  ASSERT_TRUE(Eventually([&] { return inbox.entered.load(); }));
  std::vector<std::string> expected = {"d0"};
  for (int i = 1; i <= 6; ++i) {
    expected.push_back("d" + std::to_string(i));
    peer.SendTo("127.0.0.1", port_, expected.back());
  }
  inbox.released = true;
  ASSERT_TRUE(inbox.WaitCount(expected.size()));
  EXPECT_EQ(expected, inbox.Got());
}

// Accept once per new peer with a growing size; a broadcast reaches each
// peer once, in key text order ("10xxx_" before "9xxx_"), and returns the
// last send's result.
TEST_F(Datapath, PeerTableAcceptRefreshAndBroadcastOrder) {
  Inbox inbox;
  ASSERT_EQ(0, Start(&Inbox::Callback, &inbox));
  std::unique_ptr<UdpPeer> first, second;  // text order opposite to numeric order
  for (int k = std::random_device()() % 900, tries = 0; tries < 100; ++tries, k = (k + 7) % 1000) {
    first.reset(new UdpPeer("127.0.0.1", static_cast<uint16_t>(10000 + k)));
    second.reset(new UdpPeer("127.0.0.1", static_cast<uint16_t>(9000 + k)));
    if (second->Bound() && first->Bound() && 9000 + k != port_ && 10000 + k != port_) break;
  }
  ASSERT_TRUE(second->Bound() && first->Bound());
  ASSERT_TRUE(HeardFrom(*first, "a"));
  ASSERT_TRUE(HeardFrom(*first, "b", 2));  // refresh: no new accept line
  ASSERT_TRUE(HeardFrom(*second, "c"));
  EXPECT_EQ(1u, log_.Count("accept peer=" + Key(first->Port()) + ", size=1\n"));
  EXPECT_EQ(1u, log_.Count("accept peer=" + Key(second->Port()) + ", size=2\n"));
  EXPECT_EQ(2u, log_.Count("accept peer="));

  // NULL ip, and an ip text with port 0, both mean "every peer".
  for (const char *ip : {static_cast<const char *>(nullptr), "127.0.0.9"}) {
    log_.Clear();
    EXPECT_EQ(5, dll_.Send(ip, 0, "bcast", 5));
    EXPECT_EQ(port_, SourcePortOfNext(*first, "bcast"));
    EXPECT_EQ(port_, SourcePortOfNext(*second, "bcast"));
    EXPECT_FALSE(first->Receive(nullptr, nullptr, 150));
    EXPECT_FALSE(second->Receive(nullptr, nullptr, 150));
    std::vector<LogLine> lines = log_.Matching("send data to");
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].text.find(SendLine(first->Port(), 5)));
    EXPECT_NE(std::string::npos, lines[1].text.find(SendLine(second->Port(), 5)));
  }
}

// Known peers are answered from the service port; anything else (unknown
// peer, non-canonical ip text, port above 65535) leaves from one lazily
// made send socket whose creation is logged once.
TEST_F(Datapath, KnownPeerFromServicePortOthersFromSendSocket) {
  Inbox inbox;
  ASSERT_EQ(0, Start(&Inbox::Callback, &inbox));
  UdpPeer peer, stranger;
  ASSERT_TRUE(HeardFrom(peer, "hi"));

  EXPECT_EQ(5, dll_.Send("127.0.0.1", peer.Port(), "reply", 5));
  EXPECT_EQ(port_, SourcePortOfNext(peer, "reply"));
  ASSERT_EQ(1u, log_.Count(SendLine(peer.Port(), 5)));
  EXPECT_EQ(1, log_.Matching(SendLine(peer.Port(), 5))[0].level);

  EXPECT_EQ(3, dll_.Send("127.0.0.1", stranger.Port(), "one", 3));
  const int send_port = SourcePortOfNext(stranger, "one");
  EXPECT_GT(send_port, 0);
  EXPECT_NE(port_, send_port);
  ASSERT_EQ(1u, log_.Count("Socket Send fd="));
  EXPECT_EQ(2, log_.Matching("Socket Send fd=")[0].level);
  EXPECT_EQ(3, dll_.Send("127.0.0.1", stranger.Port(), "two", 3));
  EXPECT_EQ(send_port, SourcePortOfNext(stranger, "two"));
  EXPECT_EQ(1u, log_.Count("Socket Send fd="));

  // Same address, other spelling: no peer match, so the send socket.
  for (const char *ip : {"127.000.0.1", "127.0.0.01"}) {
    EXPECT_EQ(4, dll_.Send(ip, peer.Port(), "text", 4)) << ip;
    EXPECT_EQ(send_port, SourcePortOfNext(peer, "text")) << ip;
  }
  EXPECT_EQ(4, dll_.Send("127.0.0.1", 65536u + peer.Port(), "wide", 4));
  EXPECT_EQ(send_port, SourcePortOfNext(peer, "wide"));
  EXPECT_EQ(1u, log_.Count("Socket Send fd="));
}

// The send socket is closed at stop: after a restart it is made (and
// logged) afresh instead of reusing a handle from before.
TEST_F(Datapath, SendSocketIsMadeAgainAfterRestartAndStoppedSendIsRefused) {
  ASSERT_EQ(0, Start(nullptr, nullptr));
  UdpPeer stranger;
  EXPECT_EQ(1, dll_.Send("127.0.0.1", stranger.Port(), "a", 1));
  EXPECT_EQ(1u, log_.Count("Socket Send fd="));
  EXPECT_EQ(0, dll_.UnInit());
  EXPECT_EQ(-97, dll_.Send("127.0.0.1", stranger.Port(), "a", 1));
  EXPECT_EQ(-97, dll_.Send(nullptr, 0, "a", 1));

  ASSERT_EQ(0, Start(nullptr, nullptr));
  EXPECT_EQ(1, dll_.Send("127.0.0.1", stranger.Port(), "b", 1));
  EXPECT_EQ(2u, log_.Count("Socket Send fd="));
  std::string got;
  ASSERT_TRUE(stranger.Receive(&got));
  ASSERT_TRUE(stranger.Receive(&got));
  EXPECT_EQ("b", got);
}

// Sending from the network thread inside the callback must not deadlock.
TEST_F(Datapath, EchoFromInsideReceiveCallback) {
  Inbox inbox;
  UdpPeer peer;
  inbox.echo_dll = &dll_;
  inbox.echo_port = peer.Port();
  ASSERT_EQ(0, Start(&Inbox::Callback, &inbox));
  peer.SendTo("127.0.0.1", port_, "ping");
  EXPECT_EQ(port_, SourcePortOfNext(peer, "ping"));
  ASSERT_TRUE(inbox.WaitCount(1));
  EXPECT_EQ(4, inbox.echo_result.load());
}

// Host threads racing to make the send socket make it once. (Sends on the
// listen sockets under load are the stress suite's.)
TEST_F(Datapath, RacingFirstSendsMakeOneSendSocket) {
  ASSERT_EQ(0, Start(nullptr, nullptr));
  UdpPeer sink;
  std::atomic<bool> go{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!go) std::this_thread::yield();
      bad += dll_.Send("127.0.0.1", sink.Port(), "payload", 7) != 7;
    });
  }
  go = true;
  for (std::thread &th : threads) th.join();
  EXPECT_EQ(0, bad.load());
  EXPECT_EQ(1u, log_.Count("Socket Send fd="));
}

// Without a receive callback datagrams are still read and peers still kept.
TEST_F(Datapath, NullRecvCallbackStillReadsAndAcceptsPeers) {
  ASSERT_EQ(0, Start(nullptr, nullptr));
  UdpPeer peer;
  ASSERT_TRUE(HeardFrom(peer, "abc"));
  EXPECT_EQ(1u, log_.Count("accept peer=" + Key(peer.Port()) + ", size=1\n"));
  ASSERT_TRUE(HeardFrom(peer, "def", 2));  // the next one is read too
  EXPECT_EQ(2, dll_.Send("127.0.0.1", peer.Port(), "ok", 2));
  EXPECT_EQ(port_, SourcePortOfNext(peer, "ok"));
}

}  // namespace
