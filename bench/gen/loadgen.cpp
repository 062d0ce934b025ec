// The load generator of the benchmarks, a Linux program: drives receivers
// on 127.0.0.1 (benchmark hosts under Wine, and for "native" a Linux
// recvfrom loop of its own, the kernel's ceiling) and prints one row per
// figure: ROW,key,variant,value,unit,note. Many distinct peers come from one
// socket: each datagram picks its source address in 127/8 (all local on
// Linux) with IP_PKTINFO.
// Usage: tq_loadgen freeport
//        tq_loadgen run <seconds per round> <rounds> variant:port...
//        tq_loadgen churn <seconds per round> <rounds> <peers> lib:port lib:port
#include <signal.h>
#include <sys/wait.h>

#include <climits>
#include <cmath>
#include <functional>
#include <map>
#include <memory>

#include "loopback_load.h"

namespace {

using bench::PeerIp;
using bench::Stat;
using bench::Us;

// Below half the receiver's buffer and at most 1 MB: Wine asks for 8 MB
// buffers, and deeper would only lengthen the drain that ends a figure.
bool QueueHasRoom(unsigned port) { return bench::QueueHasRoom(port, 1u << 20); }

// The kernel's ceiling: a blocking recvfrom loop, as the Windows one.
int RunNativeReceiver(unsigned port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in local = bench::Address(bench::kLoopback, port);
  if (bind(fd, reinterpret_cast<const sockaddr *>(&local), sizeof(local)) != 0) return 1;
  std::atomic<bool> quit{false};
  bench::RecvfromLoop(fd, Us() + 15LL * 60 * 1000000, quit);
  return 0;
}

// Drives one receiver. Each figure is taken in rounds; of the rounds the
// best one is kept, as other work on the machine only makes figures worse.
// CPU time is summed over all rounds: the hosts' clock for it has 10 ms steps.
class Generator {
 public:
  Generator(std::string variant, unsigned port, int ms)
      : variant_(std::move(variant)), ms_(ms), link_(port) {}

  const std::string &variant() const { return variant_; }
  int flood_peers() const { return flood_peers_; }
  bool failed = false;

  void WaitReady() { link_.WaitReady(); }
  void Quit() { link_.Quit(); }
  void PrintKept() {
    for (const std::string &key : order_) std::fputs(kept_[key].second.c_str(), stdout);
    for (const auto &[suffix, c] : cpu_) {
      std::fputs(Row("cpu" + suffix, static_cast<double>(c.first) / std::max(c.second, 1LL),
                     "us/dgram", "process CPU over all rounds")
                     .c_str(),
                 stdout);
    }
  }

  // Throughput by the receiver's own clock: from its answer before the
  // load to its last data datagram (its answer after the load queues
  // behind the load).
  void Receive(int size, int peers, int label) {
    const Stat s0 = link_.GetStat();
    const long long sent = Flood(peers, size, LLONG_MAX, ms_ / 1000.0);
    const Stat s1 = link_.GetStat();
    const long long got = s1.count - s0.count;
    const double rate = got / ((s1.last_data_us - s0.now_us) / 1e6);
    const std::string suffix = std::to_string(size) + "_" + std::to_string(label);
    cpu_[suffix].first += s1.cpu_us - s0.cpu_us;
    cpu_[suffix].second += got;
    flood_peers_ = std::max(flood_peers_, peers);
    Keep("recv" + suffix, rate, "dgram/s", "lost=" + std::to_string(sent - got));
  }

  // Round trips of 64-byte datagrams, one at a time.
  void Echo() {
    std::vector<double> rtt;
    const int64_t end = Us() + ms_ * 1000LL;
    // Ends at the first echo lost (none should be), or when time is up.
    for (int i = 0; i < 20000 && static_cast<int>(rtt.size()) == i && Us() < end; ++i) {
      char message[65], reply[128];
      std::snprintf(message, sizeof(message), "E 127.0.0.1 %u %-50d", link_.control_port(), i);
      const int64_t start = Us();
      link_.Send(message, 64);
      for (pollfd p{link_.control_fd(), POLLIN, 0}; poll(&p, 1, 1000) > 0;) {
        if (recv(link_.control_fd(), reply, sizeof(reply), 0) == 64 &&
            std::memcmp(reply, message, 64) == 0) {
          rtt.push_back(static_cast<double>(Us() - start));
          break;
        }
      }
    }
    if (rtt.empty()) throw std::runtime_error("no echo came back");
    std::sort(rtt.begin(), rtt.end());
    const double p50 = rtt[rtt.size() / 2], p99 = rtt[rtt.size() * 99 / 100];
    Keep("echo_p50", -p50, "us", "samples=" + std::to_string(rtt.size()), p50);
    Keep("echo_p99", -p99, "us", "samples=" + std::to_string(rtt.size()), p99);
  }

  // Sends to a known peer (the control socket), timed by the receiver.
  void SendKnown(const std::string &key) {
    const auto v = link_.Call(
        'T', "127.0.0.1 " + std::to_string(link_.control_port()) + " 64 " + std::to_string(ms_),
        ms_ + 15000, 1);
    if (v.size() < 3) throw std::runtime_error("no answer to the send test");
    Keep(key, v[0] / (v[1] / 1e6), "send/s", "failed=" + std::to_string(v[2]));
  }

  void Broadcast(int peers) {
    const auto v = link_.Call('B', "64 " + std::to_string(ms_), ms_ + 60000, 1);
    if (v.size() < 3) throw std::runtime_error("no answer to the broadcast test");
    Keep("bcast_" + std::to_string(peers), v[0] * peers / (v[1] / 1e6), "dgram/s",
         "ms_per_call=" + std::to_string(v[1] / 1000.0 / v[0]));
  }

  // A table that turns over: from `t0_us` on, new sources arrive at `rate`
  // a second, one datagram each, so that once the idle limit has passed as
  // many expire as arrive. Sends the new sources due by now.
  long long FeedNew(int64_t t0_us, double rate) {
    const long long due = static_cast<long long>((Us() - t0_us) / 1e6 * rate);
    long long sent = 0;
    for (; next_new_ < due && sent < 64; ++sent) SendFrom(kChurnFirst + next_new_++, 64);
    return sent;
  }
  void KeepFeeding(int64_t t0_us, double rate, int64_t until_us) {
    while (Us() < until_us) {
      if (QueueHasRoom(link_.receiver_port())) FeedNew(t0_us, rate);
      usleep(2000);
    }
  }
  // Throughput from the live peers of such a table, the new ones still
  // arriving among them. The oldest tenth is left alone, to expire.
  void ReceiveTurningOver(int size, int64_t t0_us, double rate, int table) {
    const Stat s0 = link_.GetStat();
    const long long new0 = next_new_;
    long long sent = 0;
    for (const int64_t end = Us() + ms_ * 1000LL; Us() < end;) {
      if (!QueueHasRoom(link_.receiver_port())) {
        usleep(200);
        continue;
      }
      sent += FeedNew(t0_us, rate);
      const long long live = std::min<long long>(next_new_, table * 9LL / 10);
      for (int i = 0; i < 16 && live > 0; ++i, ++sent) {
        SendFrom(kChurnFirst + next_new_ - live + (turn_++ % live), size);
      }
    }
    const Stat s1 = link_.GetStat();
    const long long got = s1.count - s0.count;
    Keep("churn_recv" + std::to_string(size) + "_" + std::to_string(table),
         got / ((s1.last_data_us - s0.now_us) / 1e6), "dgram/s",
         "peers=" + std::to_string(s0.peers) + ".." + std::to_string(s1.peers) +
             " new=" + std::to_string(next_new_ - new0) + " lost=" + std::to_string(sent - got));
  }

  // Makes the receiver's table hold `total` peers: new sources, once each.
  void Populate(int total) {
    const Stat s0 = link_.GetStat();
    const int sources = total - static_cast<int>(s0.peers - flood_peers_);
    Flood(sources, 64, sources, 300);
    const Stat s1 = link_.GetStat();
    flood_peers_ = sources;
    Keep("populate_" + std::to_string(total),
         (s1.peers - s0.peers) / ((s1.last_data_us - s0.now_us) / 1e6), "peers/s",
         "peers=" + std::to_string(s1.peers));
  }

 private:
  std::string Row(const std::string &key, double value, const char *unit, const std::string &note) {
    char row[256];
    std::snprintf(row, sizeof(row), "ROW,%s,%s,%.7g,%s,%s\n", key.c_str(), variant_.c_str(), value,
                  unit, note.c_str());
    return row;
  }

  // Keeps the round with the highest score; `value` defaults to the score.
  void Keep(const std::string &key, double score, const char *unit, const std::string &note,
            double value = NAN) {
    if (std::isnan(value)) value = score;
    std::fprintf(stderr, "  %-15s %-9s %11.2f %-8s %s\n", key.c_str(), variant_.c_str(), value,
                 unit, note.c_str());
    auto it = kept_.find(key);
    if (it == kept_.end()) order_.push_back(key);
    if (it == kept_.end() || score > it->second.first)
      kept_[key] = {score, Row(key, value, unit, note)};
  }

  // One datagram of `size` bytes to the target, its source address set per
  // send through IP_PKTINFO, so that one socket speaks for many peers.
  class PktinfoSend {
   public:
    PktinfoSend(int socket, sockaddr_in *target, int size)
        : socket_(socket), iov_(bench::Payload(size)) {
      bench::PreparePktinfo(m_, target, &iov_, control_);
    }
    bool From(uint32_t source_ip) {
      bench::SetSource(m_, source_ip);
      return sendmsg(socket_, &m_, 0) >= 0;
    }

   private:
    int socket_;
    iovec iov_{};
    alignas(cmsghdr) char control_[bench::kPktinfoSpace] = {};
    msghdr m_{};
  };

  void SendFrom(long long source, int size) {
    PktinfoSend(link_.flood_fd(), link_.receiver(), size).From(PeerIp(source));
  }

  // Sends up to `count` datagrams for up to `seconds`, round-robin from the
  // sources 0..peers-1, keeping the receiver's queue short enough that the
  // kernel drops nothing. Returns the number sent.
  long long Flood(int peers, int size, long long count, double seconds) {
    PktinfoSend send(link_.flood_fd(), link_.receiver(), size);
    long long sent = 0;
    for (const int64_t end = Us() + static_cast<int64_t>(seconds * 1e6);
         sent < count && Us() < end;) {
      // Kept full, so that the receiver never waits for the generator
      // (16 more datagrams take at most 37 KB of the other half).
      if (!QueueHasRoom(link_.receiver_port())) {
        usleep(200);
        continue;
      }
      for (const long long batch_end = std::min(count, sent + 16); sent < batch_end; ++sent) {
        if (!send.From(PeerIp(sent % peers))) break;
      }
    }
    return sent;
  }

  std::string variant_;
  int ms_;
  bench::ReceiverLink link_;
  int flood_peers_ = 0;  // sources of the flood socket that the receiver has heard
  static constexpr long long kChurnFirst = 1000;  // above the sources of the other figures
  long long next_new_ = 0, turn_ = 0;             // of the table that turns over
  std::map<std::string, std::pair<double, std::string>> kept_;
  std::vector<std::string> order_;
  std::map<std::string, std::pair<long long, long long>> cpu_;  // CPU us, datagrams
};

// Receive throughput from about `table` peers while the table turns over,
// against 1 peer on a second library host, in alternating rounds. The
// table needs one idle limit (five minutes) of arrivals first.
int RunChurn(double seconds, int rounds, int table, const char *turning, const char *single) {
  const int ms = static_cast<int>(std::clamp(seconds, 0.2, 10.0) * 1000);
  rounds = std::clamp(rounds, 1, 10);
  const auto port = [](const char *target) {
    const char *colon = std::strchr(target, ':');
    return static_cast<unsigned>(std::atoi(colon != nullptr ? colon + 1 : target));
  };
  Generator churn("lib", port(turning), ms), one("lib", port(single), ms);
  try {
    churn.WaitReady();
    one.WaitReady();
    const double rate = table / 300.0;  // new peers a second: `table` per idle limit
    const int64_t t0 = Us();
    std::fprintf(stderr, "  filling: %.0f new peers a second for 305 s\n", rate);
    churn.KeepFeeding(t0, rate, t0 + 305 * 1000000LL);
    for (int round = 0; round < rounds; ++round) {
      churn.ReceiveTurningOver(64, t0, rate, table);
      one.Receive(64, 1, 1);
      churn.KeepFeeding(t0, rate, Us() + 100000);
    }
  } catch (const std::exception &e) {
    std::fprintf(stderr, "tq_loadgen churn: %s\n", e.what());
    return 1;
  }
  churn.PrintKept();
  one.PrintKept();
  churn.Quit();
  one.Quit();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "freeport") == 0) return bench::PrintFreePort();
  if (argc == 7 && std::strcmp(argv[1], "churn") == 0) {
    return RunChurn(std::atof(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), argv[5], argv[6]);
  }
  if (argc < 5 || std::strcmp(argv[1], "run") != 0) {
    std::fprintf(stderr,
                 "usage: tq_loadgen freeport | run <seconds> <rounds> variant:port...\n"
                 "       | churn <seconds> <rounds> <peers> lib:port lib:port\n");
    return 2;
  }
  const int ms = static_cast<int>(std::clamp(std::atof(argv[2]), 0.2, 10.0) * 1000);
  const int rounds = std::clamp(std::atoi(argv[3]), 1, 10);
  std::vector<std::unique_ptr<Generator>> receivers;
  std::vector<pid_t> children;
  for (int i = 4; i < argc; ++i) {
    const char *colon = std::strchr(argv[i], ':');
    if (colon == nullptr) continue;
    const std::string variant(argv[i], colon - argv[i]);
    const unsigned port = static_cast<unsigned>(std::atoi(colon + 1));
    if (variant == "native") {
      children.push_back(fork());
      if (children.back() == 0) _exit(RunNativeReceiver(port));
    }
    receivers.push_back(std::make_unique<Generator>(variant, port, ms));
  }
  // One figure on each receiver in turn (on the library only when
  // `lib_only`), so that the figures of one kind are taken close together.
  auto each = [&](bool lib_only, const std::function<void(Generator &)> &figure) {
    for (auto &r : receivers) {
      if (r->failed || (lib_only && r->variant() != "lib")) continue;
      try {
        figure(*r);
      } catch (const std::exception &e) {
        std::fprintf(stderr, "tq_loadgen %s: %s\n", r->variant().c_str(), e.what());
        r->failed = true;
      }
    }
  };
  each(false, [](Generator &g) { g.WaitReady(); });
  for (int round = 0; round < rounds; ++round) {
    each(false, [](Generator &g) {
      if (g.variant() == "lib" || g.variant() == "recvfrom") g.SendKnown("send_1");
    });
    each(false, [](Generator &g) { g.Echo(); });
    for (int size : {64, 1200}) {
      for (int peers : {1, 16}) each(false, [=](Generator &g) { g.Receive(size, peers, peers); });
    }
  }
  each(true, [](Generator &g) { g.Populate(1000); });
  for (int round = 0; round < rounds; ++round) each(true, [](Generator &g) { g.Broadcast(1000); });
  for (int total : {10000, 100000}) {
    each(true, [=](Generator &g) { g.Populate(total); });
    for (int round = 0; round < rounds; ++round) {
      for (int size : {64, 1200}) {
        each(true, [=](Generator &g) { g.Receive(size, g.flood_peers(), total); });
      }
    }
  }
  for (int round = 0; round < rounds; ++round) {
    each(true, [](Generator &g) { g.SendKnown("send_100000"); });
  }
  bool ok = true;
  for (auto &r : receivers) {
    r->PrintKept();
    r->Quit();
    ok = ok && !r->failed;
  }
  for (pid_t child : children) {  // our own native receiver: done
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  return ok ? 0 : 1;
}
