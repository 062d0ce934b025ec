// The peer table with an injected clock: the five-minute boundary cannot be
// reached from outside, and the table itself is not visible there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <set>

#include "log/log_sink.h"
#include "test_support.h"
#include "tq_udp_service.h"

namespace {

using TqProxy::MakePeerKey;
int64_t g_now_ms = 0;
int64_t FakeNow() { return g_now_ms; }

struct Fixture {  // the capture outlives the service, which logs at teardown
  tqtest::WinsockSession ws;
  tqtest::LogCapture log;
  TqProxy::TQUdpService service;
  explicit Fixture(size_t max_peers = TqProxy::kMaxPeerContexts) : service(max_peers) {
    TqProxy::LogSink::Instance().SetLog(&log, &tqtest::LogCapture::Callback, 1);
    TqProxy::seams::steady_now_ms = &FakeNow;
  }
  ~Fixture() {
    TqProxy::seams::Reset();
    TqProxy::LogSink::Instance().SetLog(nullptr, nullptr, 1);
  }
};

// Keys are port (host order) first, then the dotted quad. One context per
// sender: a repeat refreshes only the time and keeps the first socket; keys
// sort as text; no address leaves the table alone.
TEST(PeerTable, KeysCreateOnceThenRefresh) {
  Fixture f;
  const sockaddr_in a = tqtest::Ipv4("192.0.2.7", 80), b = tqtest::Ipv4("192.0.2.7", 100),
                    c = tqtest::Ipv4("255.255.255.254", 65535);
  EXPECT_EQ("100_192.0.2.7", MakePeerKey(&b));
  EXPECT_EQ("65535_255.255.255.254", MakePeerKey(&c));
  EXPECT_EQ("", MakePeerKey(nullptr));
  g_now_ms = 1000;
  const auto first = f.service.GetPeerContext(11, &a);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(11u, first->local_socket);
  EXPECT_EQ(1000, first->last_active_ms.load());
  const auto accepted = f.log.Matching("] accept peer=80_192.0.2.7, size=1\n");
  ASSERT_EQ(1u, accepted.size());
  EXPECT_EQ(2, accepted[0].level);
  EXPECT_NE(std::string::npos, accepted[0].text.find("[tq_udp_service->TqProxy::TQUdpService::"));

  g_now_ms = 7000;
  EXPECT_EQ(first, f.service.GetPeerContext(22, &a));
  EXPECT_EQ(11u, first->local_socket);
  EXPECT_EQ(7000, first->last_active_ms.load());
  EXPECT_EQ(0, std::memcmp(&a, &first->addr, sizeof(a)));
  EXPECT_EQ(1u, f.log.Count("accept peer="));

  f.service.GetPeerContext(22, &b);
  EXPECT_EQ(1u, f.log.Count("] accept peer=100_192.0.2.7, size=2\n"));
  ASSERT_EQ(2u, f.service.peer_contexts.size());
  EXPECT_EQ("100_192.0.2.7", f.service.peer_contexts.begin()->first);

  EXPECT_EQ(first, *f.service.peer_index.Find(TqProxy::PeerIndexKey(a)));

  EXPECT_EQ(nullptr, f.service.GetPeerContext(33, nullptr));
  EXPECT_EQ(1u, f.log.Count("] empty peer_connect\n"));
  EXPECT_EQ(2u, f.service.peer_contexts.size());
}

// 299999 ms idle survives a sweep, 300000 ms does not, wherever the due
// time falls in the sweep's 1024 ms blocks and whether or not a sweep ran
// between; a returning peer is a new context, accepted again, sized from
// the table as it is now.
TEST(PeerTable, ExpiresAtExactlyFiveMinutesAndReaccepts) {
  for (const int64_t t0 : {50000000000LL, 50000000000LL + 1023 - 300000 % 1024,
                           50000000000LL + 1024 - 300000 % 1024}) {
    for (const bool sweep_between : {false, true}) {
      SCOPED_TRACE(testing::Message() << "t0 " << t0 << " sweep_between " << sweep_between);
      Fixture f;
      const sockaddr_in a = tqtest::Ipv4("192.0.2.7", 500), b = tqtest::Ipv4("192.0.2.8", 500),
                        c = tqtest::Ipv4("192.0.2.7", 501);
      g_now_ms = t0;
      const auto old_a = f.service.GetPeerContext(11, &a);
      f.service.GetPeerContext(11, &b);
      g_now_ms = t0 + 1;
      f.service.GetPeerContext(11, &c);
      if (sweep_between) {
        g_now_ms = t0 + 150000;
        f.service.ExpirePeerContexts();
      }
      g_now_ms = t0 + 299999;
      f.service.ExpirePeerContexts();
      EXPECT_EQ(3u, f.service.peer_contexts.size());
      g_now_ms = t0 + 300000;
      f.service.ExpirePeerContexts();
      ASSERT_EQ(1u, f.service.peer_contexts.size());
      EXPECT_EQ("501_192.0.2.7", f.service.peer_contexts.begin()->first);
      EXPECT_EQ(1u, f.service.peer_index.Size());  // the index forgets what the sweep took
      EXPECT_EQ(nullptr, f.service.peer_index.Find(TqProxy::PeerIndexKey(a)));
      EXPECT_NE(nullptr, f.service.peer_index.Find(TqProxy::PeerIndexKey(c)));
      EXPECT_EQ(1u, f.service.peer_expiry.Size());

      g_now_ms = t0 + 400000;  // a returns beside c: size 2, not a running count of 4
      const auto new_a = f.service.GetPeerContext(55, &a);
      ASSERT_NE(nullptr, new_a);
      EXPECT_NE(old_a, new_a);
      EXPECT_EQ(55u, new_a->local_socket);
      EXPECT_EQ(1u, f.log.Count("] accept peer=500_192.0.2.7, size=2\n"));
    }
  }
}

// A refresh by a receive, by a send to the peer or by a send to every peer
// (the last two store the time outside the lock, unseen by the sweep's
// structure) postpones the removal to exactly five minutes after it, also
// when it comes at the moment the entry's first removal time is due.
TEST(PeerTable, RefreshedEntriesLeaveFiveMinutesAfterTheirLastActivity) {
  enum Refresh { kReceive, kSend, kSendToAll };
  const struct {
    Refresh by;
    int64_t at;  // after the peer's first datagram
  } cases[] = {{kReceive, 100000}, {kSend, 200000},    {kSendToAll, 299999},
               {kReceive, 300000}, {kSend, 300000},    {kSendToAll, 300000},
               {kSend, 1},         {kReceive, 298977}, {kReceive, 1023}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "refresh " << c.by << " at " << c.at);
    Fixture f;
    f.service.state = TqProxy::kStateRunning;  // sends to the fake socket fail after the refresh
    const sockaddr_in a = tqtest::Ipv4("127.0.0.7", 500);
    const int64_t t0 = 50000000000LL;
    g_now_ms = t0;
    f.service.GetPeerContext(11, &a);
    // Sweeps as the loop makes them, every cycle of at most 100 ms, here
    // at steps that do not divide the block: the refresh lands between two.
    auto run_until = [&](int64_t until) {
      for (int64_t t = g_now_ms; t < until; t = std::min(until, t + 97)) {
        g_now_ms = t;
        f.service.ExpirePeerContexts();
      }
      g_now_ms = until;
    };
    run_until(t0 + c.at);
    ASSERT_EQ(1u, f.service.peer_contexts.size());
    if (c.by == kReceive) {
      f.service.GetPeerContext(11, &a);
    } else {
      EXPECT_EQ(-1, c.by == kSend ? f.service.Send("127.0.0.7", 500, "x", 1)
                                  : f.service.Send(nullptr, 0, "x", 1));
    }
    run_until(t0 + c.at + 299999);
    f.service.ExpirePeerContexts();
    ASSERT_EQ(1u, f.service.peer_contexts.size());
    g_now_ms = t0 + c.at + 300000;
    f.service.ExpirePeerContexts();
    EXPECT_EQ(0u, f.service.peer_contexts.size());
    EXPECT_EQ(0u, f.service.peer_index.Size());
    EXPECT_EQ(0u, f.service.peer_expiry.Size());
    f.service.state = TqProxy::kStateIdle;
  }
}

// Peers that come, go, receive and are sent to at random times, against a
// plain map of last activities: after every step the table holds exactly
// the peers of the model, so each sweep removed exactly those idle for five
// minutes or more, never one earlier or later. The table is kept small:
// a new peer then makes room by removing the one idle longest (within the
// structure's 1024 ms), with one WARN line, and the index agrees.
TEST(PeerTable, SweepsAndRoomForNewPeersAgreeWithAModel) {
  constexpr size_t kCapacity = 40;
  const int64_t limit = 300000;
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    Fixture f(kCapacity);
    f.service.state = TqProxy::kStateRunning;
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
      if (clock == 0) {
        g_now_ms += random() % 700000;
      } else if (clock < 40) {
        g_now_ms += random() % 3000;
      } else if (clock < 43 && !model.empty()) {
        int64_t oldest = INT64_MAX;
        for (const auto &m : model) oldest = std::min(oldest, m.second);
        g_now_ms = std::max(g_now_ms, oldest + limit - static_cast<int64_t>(random() % 2));
        action = 4;
      } else {
        g_now_ms += random() % 150;
      }
      const std::string ip = "127.0.1." + std::to_string(1 + random() % 60);
      const sockaddr_in a = tqtest::Ipv4(ip.c_str(), 4000);
      const std::string key = MakePeerKey(&a);
      const bool known = model.count(key) != 0;
      switch (action) {
        case 0:
        case 1: {
          std::string oldest;
          for (const auto &m : model) {
            if (oldest.empty() || m.second < model[oldest]) oldest = m.first;
          }
          const int64_t oldest_ms = oldest.empty() ? 0 : model[oldest];
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
            EXPECT_NE(std::string::npos,
                      warned[0].text.find("] peer table full, remove longest idle peer=" + removed +
                                          " for new peer=" + key + ", size=40\n"));
            model.erase(removed);
            ++removals;
          } else {
            EXPECT_EQ(0u, warned.size());
          }
          model[key] = g_now_ms;
          break;
        }
        case 2:
          if (known) {
            EXPECT_EQ(-1, f.service.Send(ip.c_str(), 4000, "x", 1));
            model[key] = g_now_ms;
          }
          break;
        case 3:
          if (random() % 8 == 0 && !model.empty()) {
            EXPECT_EQ(-1, f.service.Send(nullptr, 0, "x", 1));
            for (auto &m : model) m.second = g_now_ms;
          }
          break;
        default:
          f.service.ExpirePeerContexts();
          for (auto it = model.begin(); it != model.end();) {
            const int64_t left = it->second + limit - g_now_ms;
            at_boundary += left == 0 || left == 1;
            it = g_now_ms >= it->second + limit ? model.erase(it) : std::next(it);
          }
      }
      ASSERT_EQ(model.size(), f.service.peer_contexts.size()) << "step " << step;
      ASSERT_EQ(model.size(), f.service.peer_index.Size());
      ASSERT_EQ(model.size(), f.service.peer_expiry.Size());
      for (const auto &m : model) {
        const auto entry = f.service.peer_contexts.find(m.first);
        ASSERT_NE(f.service.peer_contexts.end(), entry) << m.first << " step " << step;
        ASSERT_EQ(m.second, entry->second->last_active_ms.load());
        ASSERT_NE(nullptr, f.service.peer_index.Find(TqProxy::PeerIndexKey(entry->second->addr)));
      }
    }
    EXPECT_GT(removals, 20u);    // the bound was reached often
    EXPECT_GT(at_boundary, 0u);  // due exactly now, or 1 ms later
    f.service.state = TqProxy::kStateIdle;
  }
}

// A full table: the peer idle longest (b; a was refreshed) makes room for
// the new one, with one WARN line naming both; Stop then empties the
// table, its index and its expiry order, and the next peer starts at 1.
TEST(PeerTable, FullTableMakesRoomThenStopEmptiesIt) {
  Fixture f(3);
  const sockaddr_in a = tqtest::Ipv4("127.0.0.2", 500), b = tqtest::Ipv4("127.0.0.3", 500),
                    c = tqtest::Ipv4("127.0.0.4", 500), d = tqtest::Ipv4("127.0.0.5", 500);
  const int64_t t0 = 50000000000LL;
  g_now_ms = t0;
  for (const sockaddr_in *peer : {&a, &b, &c, &a}) {
    g_now_ms += 1000;
    f.service.GetPeerContext(11, peer);
  }
  g_now_ms = t0 + 5000;
  f.service.GetPeerContext(11, &d);
  const auto warned = f.log.Matching("[tq_udp_service->TqProxy::TQUdpService::GetPeerContext:");
  ASSERT_EQ(5u, warned.size());  // four accepts and the one WARN line
  EXPECT_EQ(3, warned[3].level);
  EXPECT_NE(std::string::npos,
            warned[3].text.find("] peer table full, remove longest idle peer=500_127.0.0.3 for new "
                                "peer=500_127.0.0.5, size=3\n"));
  EXPECT_NE(std::string::npos, warned[4].text.find("] accept peer=500_127.0.0.5, size=3\n"));
  std::set<std::string> keys;
  for (const auto &entry : f.service.peer_contexts) keys.insert(entry.first);
  EXPECT_EQ((std::set<std::string>{"500_127.0.0.2", "500_127.0.0.4", "500_127.0.0.5"}), keys);
  EXPECT_EQ(nullptr, f.service.peer_index.Find(TqProxy::PeerIndexKey(b)));
  for (const sockaddr_in *peer : {&a, &c, &d}) {
    EXPECT_NE(nullptr, f.service.peer_index.Find(TqProxy::PeerIndexKey(*peer)));
  }

  EXPECT_EQ(0, f.service.Stop());
  EXPECT_TRUE(f.service.peer_contexts.empty());
  EXPECT_EQ(0u, f.service.peer_index.Size());
  EXPECT_EQ(0u, f.service.peer_expiry.Size());
  f.service.GetPeerContext(11, &b);
  EXPECT_EQ(1u, f.log.Count("] accept peer=500_127.0.0.3, size=1\n"));
}

// The index against a plain set, over a small key space so that clusters
// grow long, wrap past the table's end and are cut by erasures: every
// present key stays findable, every absent one not.
TEST(PeerIndex, AgreesWithASetThroughGrowthAndErasure) {
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 random(seed);
    TqProxy::PeerIndex index;
    std::set<uint64_t> model;
    const auto context = std::make_shared<TqProxy::PeerConnContext>(sockaddr_in{}, 1, 0);
    for (int op = 0; op < 2000; ++op) {
      const uint64_t key = TqProxy::PeerIndexKey(0xC0000200u + random() % 48, random() % 2);
      if (random() % 3 != 0 && model.count(key) == 0) {
        index.ReserveOneMore();
        index.Insert(key, context);
        model.insert(key);
      } else {
        index.Erase(key);
        model.erase(key);
      }
      ASSERT_EQ(model.size(), index.Size()) << "seed " << seed << " op " << op;
      for (uint32_t host = 0; host < 48; ++host) {
        for (uint32_t port = 0; port < 2; ++port) {
          const uint64_t k = TqProxy::PeerIndexKey(0xC0000200u + host, port);
          ASSERT_EQ(model.count(k) != 0, index.Find(k) != nullptr) << "seed " << seed;
        }
      }
    }
    index.Clear();
    EXPECT_EQ(nullptr, index.Find(*model.begin()));
    EXPECT_EQ(0u, index.Size());
  }
}

}  // namespace
