// A seeded random walk over the four exports and real peer traffic, checked
// after every step against a small model of the service: the run state, the
// known peers, what each socket must receive (exactly once, from the service
// port or not) and what reaches the receive and log callbacks.
// A failure replays with TQ_MODEL_SEED=<seed>.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <set>

#include "test_support.h"

using namespace tqtest;

namespace {

class ModelWalk {
 public:
  explicit ModelWalk(uint32_t seed) : rng_(seed) {}
  ~ModelWalk() {
    if (dll_.module != nullptr) dll_.SetLog(nullptr, nullptr, -1);
    dll_.Unload();
  }

  void Run(int steps) {
    ASSERT_TRUE(dll_.Load());
    dll_.SetLog(&log_, &LogCapture::Callback, min_level_);
    for (int i = 0; i < steps && !::testing::Test::HasFailure(); ++i) Step(i);
    EXPECT_EQ(TQ_PROXY_OK, dll_.UnInit());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for late extras
    EXPECT_EQ(expected_, Delivered());
    std::string extra;
    for (const UdpPeer &peer : peers_) EXPECT_FALSE(peer.Receive(&extra, nullptr, 50)) << extra;
  }

 private:
  static void TQ_PROXY_CALL OnRecv(void *user_data, const char *data, int32_t len) {
    auto *self = static_cast<ModelWalk *>(user_data);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->delivered_.emplace_back(data, static_cast<size_t>(len));
  }
  std::vector<std::string> Delivered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
  }
  // 1 when a line of `level` about an event that `happened` must have reached the callback.
  size_t Shown(int32_t level, bool happened) const {
    return happened && min_level_ != -1 && level >= min_level_ ? 1 : 0;
  }
  // `at` gets `payload` next: from the service's port when `known`, else
  // from the send socket.
  void ExpectReceived(const UdpPeer &at, const std::string &payload, bool known) {
    std::string got;
    sockaddr_in from{};
    ASSERT_TRUE(at.Receive(&got, &from, 3000)) << "lost: " << payload;
    EXPECT_EQ(payload, got);
    EXPECT_EQ(known, ntohs(from.sin_port) == port_) << "source port " << ntohs(from.sin_port);
  }
  void CheckLogLevels() {
    for (const LogLine &line : log_.Lines()) {
      EXPECT_EQ(1u, Shown(line.level, true)) << "minimum " << min_level_ << ": " << line.text;
    }
    log_.Clear();
  }

  void Step(int step) {
    const std::string payload = "d" + std::to_string(step);
    const int32_t len = static_cast<int32_t>(payload.size());
    const int action = static_cast<int>(rng_() % 100), k = static_cast<int>(rng_() % 3);
    const UdpPeer &peer = peers_[k];
    ProxyInitParam param = MakeParam("127.0.0.1", port_, &OnRecv, this);
    SCOPED_TRACE("step " + std::to_string(step) + ", action " + std::to_string(action));
    if (action < 14) {
      EXPECT_EQ(running_ ? TQ_PROXY_ERR_STATE : TQ_PROXY_OK, dll_.Init(&param));
      running_ = true;
    } else if (action < 18) {  // the state is checked before the record
      param.port = 0;
      EXPECT_EQ(running_ ? TQ_PROXY_ERR_STATE : TQ_PROXY_ERR_SOCKET, dll_.Init(&param));
    } else if (action < 24) {
      EXPECT_EQ(TQ_PROXY_OK, dll_.UnInit());
      EXPECT_EQ(Shown(TQ_PROXY_LOG_INFO, true), log_.Count("] stop service\n"));
      running_ = false;
      known_.clear();
    } else if (action < 48) {  // peer traffic: delivered once while running, else dropped
      peer.SendTo("127.0.0.1", port_, payload);
      if (running_) {
        const bool fresh = known_.insert(k).second;
        expected_.push_back(payload);
        ASSERT_TRUE(Eventually([&] { return Delivered().size() >= expected_.size(); }))
            << "not delivered: " << payload;
        EXPECT_EQ(Shown(TQ_PROXY_LOG_INFO, fresh),
                  log_.Count("] accept peer=" + std::to_string(peer.Port()) +
                             "_127.0.0.1, size=" + std::to_string(known_.size()) + "\n"));
      }
    } else if (action < 70) {  // to a peer or to the stranger, in a peer's spelling or not
      const int t = static_cast<int>(rng_() % 4), spelling = static_cast<int>(rng_() % 4);
      const char *ips[] = {"127.0.0.1", "127.0.0.1", "127.000.0.1", "127.0.0.01"};
      const uint32_t to = peers_[t].Port() + (spelling == 1 ? 65536 : 0);  // above 65535: no peer
      EXPECT_EQ(running_ ? len : TQ_PROXY_ERR_STATE,
                dll_.Send(ips[spelling], to, payload.data(), len));
      if (running_) ExpectReceived(peers_[t], payload, spelling == 0 && known_.count(t) != 0);
    } else if (action < 80) {  // no destination: every known peer once
      const bool null_ip = rng_() % 2 == 0;
      const int32_t rc = dll_.Send(null_ip ? nullptr : "127.0.0.1", null_ip ? peer.Port() : 0,
                                   payload.data(), len);
      EXPECT_EQ(!running_ ? TQ_PROXY_ERR_STATE : known_.empty() ? TQ_PROXY_ERR_ARGUMENT : len, rc);
      for (int i : known_) ExpectReceived(peers_[i], payload, true);
    } else if (action < 90) {  // bad arguments: refused in every state
      const int32_t bad_len[] = {0, -1, INT32_MIN};
      EXPECT_EQ(TQ_PROXY_ERR_ARGUMENT, dll_.Send("127.0.0.1", peer.Port(), nullptr, len));
      EXPECT_EQ(TQ_PROXY_ERR_ARGUMENT, dll_.Send(nullptr, 0, payload.data(), bad_len[rng_() % 3]));
    } else {  // out-of-range minimums keep the old one
      const int32_t levels[] = {-1, 0, 1, 2, 3, 4, -2, 5, 7, INT32_MIN, INT32_MAX};
      const int32_t level = levels[rng_() % 11];
      CheckLogLevels();
      dll_.SetLog(&log_, &LogCapture::Callback, level);
      log_.Clear();  // what came in between was let through under the old minimum
      if (level >= -1 && level <= 4) min_level_ = level;
    }
    EXPECT_EQ(expected_, Delivered());
    CheckLogLevels();
  }

  std::mt19937 rng_;
  WinsockSession ws_;
  TqProxyDll dll_;
  LogCapture log_;
  const uint16_t port_ = FreeUdpPort();
  UdpPeer peers_[4];  // the last one never sends: always an unknown destination
  std::mutex mutex_;
  std::vector<std::string> delivered_, expected_;
  std::set<int> known_;
  bool running_ = false;
  int32_t min_level_ = 1;
};

// A seed from the clock, or the one in TQ_MODEL_SEED.
TEST(Model, RandomWalkMatchesModel) {
  const char *env = std::getenv("TQ_MODEL_SEED");
  const auto seed =
      static_cast<uint32_t>(env != nullptr ? std::strtoull(env, nullptr, 10) : time(nullptr));
  std::printf("model walk: TQ_MODEL_SEED=%u\n", seed);
  std::fflush(stdout);
  SCOPED_TRACE("replay with TQ_MODEL_SEED=" + std::to_string(seed));
  ModelWalk(seed).Run(1200);
}

}  // namespace
