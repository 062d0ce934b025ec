// The peer table with an injected clock: the five-minute boundary cannot be
// reached from outside, and the table itself is not visible there.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <random>

#include "log/log_sink.h"
#include "test_support.h"
#include "tq_udp_service.h"

namespace {

using TqProxy::MakePeerKey;
using TqProxy::PeerIndexKey;
using tqtest::Ipv4;
int64_t g_now_ms = 0;
int64_t FakeNow() { return g_now_ms; }

struct Fixture {  // the capture outlives the service, which logs at teardown
  tqtest::WinsockSession ws;
  tqtest::LogCapture log;
  TqProxy::TQUdpService service;
  explicit Fixture(size_t max_peers = TqProxy::kMaxPeerContexts) : service(max_peers) {
    TqProxy::LogSink::Instance().SetLog(&log, &tqtest::LogCapture::Callback, 1);
    TqProxy::seams::steady_now_ms = &FakeNow;
    service.state = TqProxy::kStateRunning;  // sends to the fake sockets fail after the refresh
  }
  ~Fixture() {
    service.state = TqProxy::kStateIdle;
    TqProxy::seams::Reset();
    TqProxy::LogSink::Instance().SetLog(nullptr, nullptr, 1);
  }
};

// One context per sender, keyed by port (host order) and dotted quad: a
// repeat keeps the first socket; no address leaves the table alone. Stop
// empties the table, its index and its expiry order: the next peer is
// accepted at size 1.
TEST(PeerTable, OneContextPerSenderUntilStop) {
  Fixture f;
  const sockaddr_in a = Ipv4("255.255.255.254", 65535), b = Ipv4("192.0.2.7", 100);
  const auto first = f.service.GetPeerContext(11, &a);
  EXPECT_EQ(first, f.service.GetPeerContext(22, &a));
  EXPECT_EQ(11u, first->local_socket);
  f.service.GetPeerContext(22, &b);
  EXPECT_EQ(1u, f.log.Count("] accept peer=65535_255.255.255.254, size=1\n"));
  EXPECT_EQ(TQ_PROXY_LOG_INFO, f.log.Matching("] accept peer=100_192.0.2.7, size=2\n").at(0).level);
  EXPECT_EQ(nullptr, f.service.GetPeerContext(33, nullptr));
  EXPECT_EQ(1u, f.log.Count("] empty peer_connect\n"));
  EXPECT_EQ(2u, f.service.peer_contexts.size());

  EXPECT_EQ(TQ_PROXY_OK, f.service.Stop());
  EXPECT_TRUE(f.service.peer_contexts.empty());
  EXPECT_EQ(0u, f.service.peer_index.Size());
  EXPECT_EQ(0u, f.service.peer_expiry.Size());
  f.service.GetPeerContext(11, &b);
  EXPECT_EQ(1u, f.log.Count("] accept peer=100_192.0.2.7, size=1\n"));
}

// Peers that come, go, receive and are sent to at random times, against a
// plain map of last activities. A receive, a send to the peer and a send to
// every peer refresh (the sends store the time outside the lock), also at
// the moment the entry is due, just before the sweep. After every step the table, its index (whose
// erasures cut its probe clusters) and its expiry order hold exactly the
// peers of the model: each sweep removed exactly those idle for 300000 ms or
// more, also when time jumps by minutes. The table is kept small: a new
// peer then makes room: the peers already due leave, or else the one idle
// longest (within the expiry order's 1024 ms, also after minutes without a
// sweep) with one WARN line.
TEST(PeerTable, SweepsAndRoomForNewPeersAgreeWithAModel) {
  constexpr size_t kCapacity = 40;
  const int64_t limit = 300000;
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    Fixture f(kCapacity);
    std::mt19937 random(seed);
    std::map<std::string, int64_t> model;  // key text: last activity
    size_t removals = 0, at_boundary = 0;
    g_now_ms = 50000000000LL + seed * 7919;
    for (int step = 0; step < 4000; ++step) {
      // The clock: cycles, seconds, now and then minutes, and moments when
      // the oldest entry is due or one short of it: swept then, after a
      // refresh of that entry or not.
      f.log.Clear();
      const uint32_t action = random() % 5, clock = random() % 400;
      const auto oldest = std::min_element(model.begin(), model.end(),
                                           [](auto &l, auto &r) { return l.second < r.second; });
      if (clock == 0) {
        g_now_ms += random() % 700000;
      } else if (clock < 40) {
        g_now_ms += random() % 3000;
      } else if (clock < 43 && !model.empty()) {
        g_now_ms = std::max(g_now_ms, oldest->second + limit - static_cast<int64_t>(random() % 2));
      } else {
        g_now_ms += random() % 150;
      }
      const bool due = clock >= 40 && clock < 43 && !model.empty();
      const std::string ip =
          due ? oldest->first.substr(5) : "127.0.1." + std::to_string(1 + random() % 60);
      const sockaddr_in a = Ipv4(ip.c_str(), 4000);
      const std::string key = MakePeerKey(&a);
      const bool known = model.count(key) != 0;
      const auto Sweep = [&] {
        for (auto it = model.begin(); it != model.end();) {
          const int64_t left = it->second + limit - g_now_ms;
          at_boundary += left == 0 || left == 1;
          it = left <= 0 ? model.erase(it) : std::next(it);
        }
      };
      if (action < 2) {                                    // a datagram from the peer
        if (!known && model.size() == kCapacity) Sweep();  // due peers leave before eviction
        const auto oldest_left = std::min_element(
            model.begin(), model.end(), [](auto &l, auto &r) { return l.second < r.second; });
        const int64_t oldest_ms = model.empty() ? 0 : oldest_left->second;
        f.service.GetPeerContext(11, &a);
        const auto warned = f.log.Matching("] peer table full, ");
        ASSERT_EQ(!known && model.size() == kCapacity ? 1u : 0u, warned.size());
        if (!warned.empty()) {
          std::string removed;
          for (const auto &m : model)
            removed += f.service.peer_contexts.count(m.first) ? "" : m.first;
          EXPECT_LT(model.at(removed), oldest_ms + 1024) << "not among the longest idle";
          EXPECT_EQ(TQ_PROXY_LOG_WARN, warned[0].level);
          EXPECT_NE(std::string::npos,
                    warned[0].text.find("] peer table full, remove longest idle peer=" + removed +
                                        " for new peer=" + key + ", size=40\n"));
          model.erase(removed);
          ++removals;
        }
        model[key] = g_now_ms;
      } else if (action == 2 && known) {
        EXPECT_EQ(-1, f.service.Send(ip.c_str(), 4000, "x", 1));
        model[key] = g_now_ms;
      } else if (action == 3 && random() % 8 == 0 && !model.empty()) {
        EXPECT_EQ(-1, f.service.Send(nullptr, 0, "x", 1));
        for (auto &m : model) m.second = g_now_ms;
      }
      if (action == 4) {
        f.service.ExpirePeerContexts();
        Sweep();
      }
      ASSERT_EQ(model.size(), f.service.peer_contexts.size()) << "step " << step;
      ASSERT_EQ(model.size(), f.service.peer_index.Size());
      ASSERT_EQ(model.size(), f.service.peer_expiry.Size());
      for (const auto &m : model) {
        const auto entry = f.service.peer_contexts.find(m.first);
        ASSERT_NE(f.service.peer_contexts.end(), entry) << m.first << " step " << step;
        ASSERT_EQ(m.second, entry->second->last_active_ms.load());
        ASSERT_NE(nullptr, f.service.peer_index.Find(PeerIndexKey(entry->second->addr)));
      }
    }
    EXPECT_GT(removals, 20u);    // the bound was reached often
    EXPECT_GT(at_boundary, 0u);  // due exactly now, or 1 ms later
  }
}

}  // namespace
