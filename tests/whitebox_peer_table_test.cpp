// The peer table with an injected clock: the five-minute boundary cannot be
// reached from outside, and the table itself is not visible there.
#include <gtest/gtest.h>

#include <cstring>
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
  Fixture() {
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

// 299999 ms idle survives a sweep, 300000 ms does not; a returning peer is
// a new context, accepted again, sized from the table as it is now.
TEST(PeerTable, ExpiresAtExactlyFiveMinutesAndReaccepts) {
  Fixture f;
  const int64_t t0 = 50000000000LL;  // far from 0, like a real monotonic clock
  const sockaddr_in a = tqtest::Ipv4("192.0.2.7", 500), b = tqtest::Ipv4("192.0.2.8", 500),
                    c = tqtest::Ipv4("192.0.2.7", 501);
  g_now_ms = t0;
  const auto old_a = f.service.GetPeerContext(11, &a);
  f.service.GetPeerContext(11, &b);
  g_now_ms = t0 + 1;
  f.service.GetPeerContext(11, &c);
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

  g_now_ms = t0 + 400000;  // a returns beside c: size 2, not a running count of 4
  const auto new_a = f.service.GetPeerContext(55, &a);
  ASSERT_NE(nullptr, new_a);
  EXPECT_NE(old_a, new_a);
  EXPECT_EQ(55u, new_a->local_socket);
  EXPECT_EQ(1u, f.log.Count("] accept peer=500_192.0.2.7, size=2\n"));
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
