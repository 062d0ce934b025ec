// Data path through the real DLL with real loopback peers, for what the
// model walk does not reach: exact bytes at every size, datagrams queued
// behind the callback, empty datagrams, the order of a send to every peer,
// the send socket's life. Sends from inside a callback are the misuse
// suite's.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <random>
#include <set>

#include "dll_test.h"

using namespace tqtest;

namespace {

class Datapath : public DllTest {
 protected:
  // Keeps what arrives; holds the first call open while `hold` is set (so
  // that datagrams queue up behind it).
  static void TQ_PROXY_CALL OnRecv(void *user_data, const char *data, int32_t len) {
    auto *self = static_cast<Datapath *>(user_data);
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      self->got.emplace_back(data, static_cast<size_t>(len));
      self->nul_after_all &= data[len] == '\0';
    }
    Eventually([self] { return !self->hold; }, 5000);
  }
  int32_t Start() {
    const ProxyInitParam p = MakeParam("127.0.0.1", port, &OnRecv, this);
    return dll.Init(&p);
  }
  size_t Received() {
    std::lock_guard<std::mutex> lock(mutex);
    return got.size();
  }
  static std::string Line(const char *what, uint16_t peer_port, size_t n) {
    return std::string(what) + " ip=127.0.0.1, port=" + std::to_string(peer_port) +
           ", datalen=" + std::to_string(n) + "\n";
  }
  // The source port of the next datagram at `peer`, after checking its bytes.
  static int SourcePortOfNext(const UdpPeer &peer, const std::string &expected) {
    std::string data;
    sockaddr_in from{};
    if (!peer.Receive(&data, &from) || data != expected) return -1;
    return ntohs(from.sin_port);
  }

  std::mutex mutex;
  std::vector<std::string> got;
  bool nul_after_all = true;
  std::atomic<bool> hold{false};
  UdpPeer peer;
};

// Up to the largest IPv4 UDP payload, each one terminated. The first is held in the callback while
// the others queue up behind it: a loop that only trusts a fresh readiness signal would strand
// them. Largest first, so that a missing terminator shows as a stale non-zero byte.
TEST_F(Datapath, DeliversExactBytesQueuedBehindTheCallback) {
  hold = true;
  ASSERT_EQ(TQ_PROXY_OK, Start());
  std::vector<std::string> sent = {std::string(65507, '\0'), std::string(1200, '\0'), "\x7f"};
  for (std::string &d : sent) std::generate(d.begin(), d.end(), std::mt19937(d.size()));
  sent[0][1] = sent[0][1200] = sent[1][1] = '\x7f';
  for (const std::string &d : sent) {
    peer.SendTo("127.0.0.1", port, d);
    ASSERT_TRUE(Eventually([&] { return Received() == 1; }));
  }
  hold = false;
  ASSERT_TRUE(Eventually([&] { return Received() == 3; }));
  EXPECT_EQ(sent, got);
  EXPECT_TRUE(nul_after_all);
  EXPECT_EQ(1u, log.Count(Line("recv data from", peer.Port(), 65507)));
  std::string back;  // and back: the largest goes out whole, one byte more not at all
  EXPECT_EQ(65507, dll.Send("127.0.0.1", peer.Port(), sent[0].data(), 65507));
  EXPECT_TRUE(peer.Receive(&back) && back == sent[0]);
  EXPECT_EQ(-1, dll.Send("127.0.0.1", peer.Port(), sent[0].data(), 65508));
}

// An empty datagram is a failed receive (INFO): nothing delivered, no peer
// made. The peer is new with its first real datagram, logged (DEBUG) with
// its sender and length.
TEST_F(Datapath, EmptyDatagramIsNeitherDeliveredNorAPeer) {
  ASSERT_EQ(TQ_PROXY_OK, Start());
  ASSERT_EQ(0, peer.SendTo("127.0.0.1", port, ""));
  ASSERT_TRUE(log.WaitFor("] recv data ret=0, error="));
  EXPECT_EQ(TQ_PROXY_LOG_INFO, log.Matching("] recv data ret=0, error=")[0].level);
  EXPECT_EQ(TQ_PROXY_ERR_ARGUMENT, dll.Send(nullptr, 0, "x", 1));  // still no peer
  peer.SendTo("127.0.0.1", port, "x");
  ASSERT_TRUE(Eventually([&] { return Received() == 1; }));
  EXPECT_EQ(1u, log.Count("] accept peer=" + std::to_string(peer.Port()) + "_127.0.0.1, size=1\n"));
  EXPECT_EQ(TQ_PROXY_LOG_DEBUG, log.Matching(Line("recv data from", peer.Port(), 1)).at(0).level);
}

// A send to every peer goes in key text order ("60999_" before "7000_",
// the reverse of numeric and arrival order) and returns the last send's
// result.
TEST_F(Datapath, SendToEveryPeerGoesInKeyTextOrder) {
  ASSERT_EQ(TQ_PROXY_OK, Start());
  // A port of 4 digits from 7 follows any 5-digit ephemeral one as text.
  std::unique_ptr<UdpPeer> second;
  for (unsigned k = std::random_device()(), tries = 0; tries < 100; ++tries, k += 7) {
    second.reset(new UdpPeer("127.0.0.1", static_cast<uint16_t>(7000 + k % 3000)));
    if (second->Bound() && second->Port() != port) break;
  }
  ASSERT_TRUE(second->Bound());
  const auto first = std::make_unique<UdpPeer>();
  ASSERT_LT(std::to_string(first->Port()), std::to_string(second->Port()));
  ASSERT_GT(first->Port(), second->Port());
  for (const UdpPeer *p : {second.get(), first.get()}) {
    p->SendTo("127.0.0.1", port, "hi");
    ASSERT_TRUE(log.WaitFor(Line("recv data from", p->Port(), 2)));
  }
  log.Clear();
  EXPECT_EQ(5, dll.Send(nullptr, 0, "bcast", 5));
  const auto sends = log.Matching("send data to");
  ASSERT_EQ(2u, sends.size());
  EXPECT_NE(std::string::npos, sends[0].text.find(Line("send data to", first->Port(), 5)));
  EXPECT_NE(std::string::npos, sends[1].text.find(Line("send data to", second->Port(), 5)));
}

// Host threads racing to make the send socket make one. It is closed at
// stop (its port is free again) and made afresh after a restart.
TEST_F(Datapath, SendSocketIsMadeOncePerRun) {
  for (size_t run = 1; run <= 2; ++run) {
    ASSERT_EQ(TQ_PROXY_OK, Start());
    EXPECT_EQ(run - 1, log.Count("Socket Send fd="));  // not made before it is needed
    std::atomic<bool> go{false};
    std::vector<std::future<int32_t>> sends;
    for (int t = 0; t < 3; ++t) {
      sends.push_back(std::async(std::launch::async, [&] {
        while (!go) std::this_thread::yield();
        return dll.Send("127.0.0.1", peer.Port(), "payload", 7);
      }));
    }
    go = true;
    for (std::future<int32_t> &f : sends) EXPECT_EQ(7, f.get());
    EXPECT_EQ(run, log.Count("Socket Send fd="));
    std::set<int> from;
    for (int i = 0; i < 3; ++i) from.insert(SourcePortOfNext(peer, "payload"));
    ASSERT_EQ(1u, from.size());
    EXPECT_TRUE(*from.begin() > 0 && *from.begin() != port) << *from.begin();
    EXPECT_EQ(TQ_PROXY_OK, dll.UnInit());
    EXPECT_TRUE(UdpPeer("127.0.0.1", static_cast<uint16_t>(*from.begin())).Bound());
  }
}

}  // namespace
