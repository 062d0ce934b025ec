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

// Keys are port (host order) first, then the dotted quad, and sort as text.
// One context per sender: a repeat refreshes only the time and keeps the
// first socket; no address leaves the table alone. Stop empties the table,
// its index and its expiry order: the next peer is accepted at size 1.
TEST(PeerTable, OneContextPerSenderUntilStop) {
  Fixture f;
  const sockaddr_in a = Ipv4("192.0.2.7", 80), b = Ipv4("192.0.2.7", 100),
                    c = Ipv4("255.255.255.254", 65535);
  EXPECT_EQ("65535_255.255.255.254", MakePeerKey(&c));
  g_now_ms = 1000;
  const auto first = f.service.GetPeerContext(11, &a);
  ASSERT_NE(nullptr, first);
  const auto accepted = f.log.Matching("] accept peer=80_192.0.2.7, size=1\n");
  EXPECT_EQ(TQ_PROXY_LOG_INFO, accepted.at(0).level);
  g_now_ms = 7000;
  EXPECT_EQ(first, f.service.GetPeerContext(22, &a));
  EXPECT_EQ(11u, first->local_socket);
  EXPECT_EQ(7000, first->last_active_ms.load());
  f.service.GetPeerContext(22, &b);
  EXPECT_EQ(1u, f.log.Count("] accept peer=100_192.0.2.7, size=2\n"));
  EXPECT_EQ(2u, f.log.Count("accept peer="));
  EXPECT_EQ("100_192.0.2.7", f.service.peer_contexts.begin()->first);
  EXPECT_EQ(nullptr, f.service.GetPeerContext(33, nullptr));
  EXPECT_EQ(1u, f.log.Count("] empty peer_connect\n"));

  EXPECT_EQ(TQ_PROXY_OK, f.service.Stop());
  EXPECT_TRUE(f.service.peer_contexts.empty());
  EXPECT_EQ(0u, f.service.peer_index.Size());
  EXPECT_EQ(0u, f.service.peer_expiry.Size());
  f.service.GetPeerContext(11, &b);
  EXPECT_EQ(1u, f.log.Count("] accept peer=100_192.0.2.7, size=1\n"));
}

// Two peers heard at t0; one is refreshed by a receive, a send to it or a
// send to every peer (the sends store the time outside the lock), also at
// the moment its first removal is due. Each leaves exactly 300000 ms after
// its last activity, with its index and expiry entries, under sweeps every
// 97 ms as the loop makes them: due times fall anywhere in the expiry
// order's 1024 ms blocks. Unrefreshed, both leave in the same sweep.
TEST(PeerTable, PeersLeaveExactlyFiveMinutesAfterTheirLastActivity) {
  enum Refresh { kNone, kReceive, kSend, kSendToAll };
  const struct {
    Refresh by;
    int64_t at;  // after t0
  } cases[] = {{kNone, 0},          {kReceive, 100000}, {kSend, 200000}, {kSendToAll, 299999},
               {kReceive, 300000},  {kSend, 300000},    {kSendToAll, 300000}, {kSend, 1},
               {kReceive, 298977},  {kReceive, 1023}};
  int64_t t0 = 50000000000LL;
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "refresh " << c.by << " at " << c.at);
    Fixture f;
    const sockaddr_in a = Ipv4("127.0.0.7", 500), b = Ipv4("127.0.0.8", 500);
    t0 += 331;  // another place in the block each time
    g_now_ms = t0;
    const auto old_a = f.service.GetPeerContext(11, &a);
    f.service.GetPeerContext(11, &b);
    auto sweep_until = [&](int64_t until) {
      for (; g_now_ms < until; g_now_ms = std::min(until, g_now_ms + 97)) {
        f.service.ExpirePeerContexts();
      }
    };
    sweep_until(t0 + c.at);
    if (c.by == kReceive) f.service.GetPeerContext(11, &a);
    if (c.by == kSend || c.by == kSendToAll) {
      const bool to_a = c.by == kSend;
      EXPECT_EQ(-1, f.service.Send(to_a ? "127.0.0.7" : nullptr, to_a ? 500 : 0, "x", 1));
    }
    const int64_t last_a = c.by == kNone ? t0 : t0 + c.at;
    const int64_t last_b = c.by == kSendToAll ? last_a : t0;
    for (const int64_t due : {last_b, last_a}) {  // b's due first
      for (const int64_t at : {due + 299999, due + 300000}) {
        sweep_until(at);
        f.service.ExpirePeerContexts();
        const bool has_a = g_now_ms < last_a + 300000, has_b = g_now_ms < last_b + 300000;
        ASSERT_EQ(has_a + has_b, f.service.peer_contexts.size()) << g_now_ms - t0;
        EXPECT_EQ(has_a, f.service.peer_contexts.count("500_127.0.0.7") == 1);
        EXPECT_EQ(has_a, f.service.peer_index.Find(PeerIndexKey(a)) != nullptr);
        EXPECT_EQ(has_a + has_b, f.service.peer_index.Size());
        EXPECT_EQ(has_a + has_b, f.service.peer_expiry.Size());
      }
    }
    EXPECT_NE(old_a, f.service.GetPeerContext(11, &a));  // accepted anew
    EXPECT_EQ(2u, f.log.Count("] accept peer=500_127.0.0.7, size=1\n"));
  }
}

// Peers that come, go, receive and are sent to at random times, against a
// plain map of last activities: after every step the table and its index
// (whose erasures cut its probe clusters) hold exactly the peers of the model, so each sweep removed exactly those
// idle for five minutes or more, also when time jumps by minutes. The table
// is kept small: a new peer then makes room by removing the one idle
// longest (within the expiry order's 1024 ms), with one WARN line.
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
      // the oldest entry is due or one short of it, swept then.
      f.log.Clear();
      uint32_t action = random() % 5;
      const uint32_t clock = random() % 400;
      const auto oldest = std::min_element(model.begin(), model.end(), [](auto &l, auto &r) {
        return l.second < r.second;
      });
      if (clock == 0) {
        g_now_ms += random() % 700000;
      } else if (clock < 40) {
        g_now_ms += random() % 3000;
      } else if (clock < 43 && !model.empty()) {
        g_now_ms = std::max(g_now_ms, oldest->second + limit - static_cast<int64_t>(random() % 2));
        action = 4;
      } else {
        g_now_ms += random() % 150;
      }
      const std::string ip = "127.0.1." + std::to_string(1 + random() % 60);
      const sockaddr_in a = Ipv4(ip.c_str(), 4000);
      const std::string key = MakePeerKey(&a);
      const bool known = model.count(key) != 0;
      if (action < 2) {  // a datagram from the peer
        const int64_t oldest_ms = model.empty() ? 0 : oldest->second;
        f.service.GetPeerContext(11, &a);
        const auto warned = f.log.Matching("] peer table full, ");
        if (!known && model.size() == kCapacity) {
          std::string removed;
          for (const auto &m : model) {
            if (f.service.peer_contexts.count(m.first) == 0) removed = m.first;
          }
          ASSERT_FALSE(removed.empty());
          EXPECT_LT(model[removed], oldest_ms + 1024) << "not among the longest idle";
          ASSERT_EQ(1u, warned.size());
          EXPECT_EQ(TQ_PROXY_LOG_WARN, warned[0].level);
          EXPECT_NE(std::string::npos,
                    warned[0].text.find("] peer table full, remove longest idle peer=" + removed +
                                        " for new peer=" + key + ", size=40\n"));
          model.erase(removed);
          ++removals;
        } else {
          EXPECT_EQ(0u, warned.size());
        }
        model[key] = g_now_ms;
      } else if (action == 2 && known) {
        EXPECT_EQ(-1, f.service.Send(ip.c_str(), 4000, "x", 1));
        model[key] = g_now_ms;
      } else if (action == 3 && random() % 8 == 0 && !model.empty()) {
        EXPECT_EQ(-1, f.service.Send(nullptr, 0, "x", 1));
        for (auto &m : model) m.second = g_now_ms;
      } else if (action == 4) {
        f.service.ExpirePeerContexts();
        for (auto it = model.begin(); it != model.end();) {
          const int64_t left = it->second + limit - g_now_ms;
          at_boundary += left == 0 || left == 1;
          it = left <= 0 ? model.erase(it) : std::next(it);
        }
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
