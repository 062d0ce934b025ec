// The native figures' load generator: drives native receivers on
// 127.0.0.1 (tq_native_host lib, shape, recvfrom) by the commands of
// bench_protocol.h and prints one row per figure and round:
//   ROUND,key,variant,round,value,unit,note
// recv<size>_<peers> is datagrams a second by the receiver's clock,
// cpu<size>_<peers> the receiver process's CPU per datagram over that round.
// Distinct peers come from one socket: each datagram picks its source in
// 127/8 (all local on Linux) with IP_PKTINFO. Every load is bounded in
// count and time.
// Usage: tq_native_gen freeport
//        tq_native_gen <seconds per round> <rounds> variant:port...
#include <memory>

#include "loopback_load.h"

namespace {

using bench::Stat;
using bench::Us;

constexpr int kBatch = 16;  // datagrams per sendmmsg and per queue query
constexpr int kManyPeers = 100000;

class Generator {
 public:
  Generator(std::string variant, unsigned port, int ms)
      : variant(std::move(variant)), ms_(ms), link_(port) {}

  const std::string variant;
  bool failed = false;

  void WaitReady() { link_.WaitReady(); }
  void Quit() { link_.Quit(); }

  // One round of one figure: throughput from the receiver's answer before
  // the load to its last data datagram (its answer after the load queues
  // behind the load), and its process CPU over the same stretch.
  void Receive(int size, int peers, int round) {
    const Stat s0 = link_.GetStat();
    const long long sent = Flood(peers, size, 50000000LL, ms_ / 1000.0);
    const Stat s1 = link_.GetStat();
    const long long got = s1.count - s0.count;
    if (got <= 0 || s1.last_data_us <= s0.now_us) throw std::runtime_error("nothing received");
    const std::string suffix = std::to_string(size) + "_" + std::to_string(peers);
    const std::string note = "lost=" + std::to_string(sent - got);
    Row("recv" + suffix, round, got / ((s1.last_data_us - s0.now_us) / 1e6), "dgram/s", note);
    Row("cpu" + suffix, round, static_cast<double>(s1.cpu_us - s0.cpu_us) / got, "us/dgram", note);
  }

  // Makes every one of `peers` sources known to the receiver: one datagram each.
  void Populate(int peers) {
    Flood(peers, 64, peers, 60);
    const Stat s = link_.GetStat();
    std::fprintf(stderr, "  %s: %lld peers in the table\n", variant.c_str(), s.peers);
    if (s.peers < peers) throw std::runtime_error("the table did not fill");
  }

 private:
  void Row(const std::string &key, int round, double value, const char *unit,
           const std::string &note) {
    std::printf("ROUND,%s,%s,%d,%.7g,%s,%s\n", key.c_str(), variant.c_str(), round, value, unit,
                note.c_str());
    std::fprintf(stderr, "  %-15s %-9s %d %11.2f %-9s %s\n", key.c_str(), variant.c_str(), round,
                 value, unit, note.c_str());
  }

  // Sends up to `count` datagrams for up to `seconds`, round-robin from the
  // sources 0..peers-1, kBatch to a sendmmsg, each batch only while the
  // receiver's queue is below half its buffer: the receiver never waits
  // for the generator while it keeps up, and the kernel drops nothing.
  long long Flood(int peers, int size, long long count, double seconds) {
    iovec iov = bench::Payload(size);
    mmsghdr batch[kBatch] = {};
    alignas(cmsghdr) static char control[kBatch][bench::kPktinfoSpace];
    for (int i = 0; i < kBatch; ++i)
      bench::PreparePktinfo(batch[i].msg_hdr, link_.receiver(), &iov, control[i]);
    long long sent = 0;
    for (const int64_t end = Us() + static_cast<int64_t>(seconds * 1e6);
         sent < count && Us() < end;) {
      // No cap: native receivers keep the kernel's default buffer, not Wine's 8 MB.
      if (!bench::QueueHasRoom(link_.receiver_port())) {
        usleep(100);
        continue;
      }
      const int n = static_cast<int>(std::min<long long>(kBatch, count - sent));
      for (int i = 0; i < n; ++i)
        bench::SetSource(batch[i].msg_hdr, bench::PeerIp((sent + i) % peers));
      const int r = sendmmsg(link_.flood_fd(), batch, static_cast<unsigned>(n), 0);
      if (r <= 0) break;
      sent += r;
    }
    return sent;
  }

  int ms_;
  bench::ReceiverLink link_;
};

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "freeport") == 0) return bench::PrintFreePort();
  if (argc < 4) {
    std::fprintf(stderr, "usage: tq_native_gen freeport | <seconds> <rounds> variant:port...\n");
    return 2;
  }
  const int ms = static_cast<int>(std::clamp(std::atof(argv[1]), 0.2, 10.0) * 1000);
  const int rounds = std::clamp(std::atoi(argv[2]), 1, 20);
  std::vector<std::unique_ptr<Generator>> receivers;
  for (int i = 3; i < argc; ++i) {
    const char *colon = std::strchr(argv[i], ':');
    if (colon == nullptr) continue;
    receivers.push_back(std::make_unique<Generator>(
        std::string(argv[i], colon - argv[i]), static_cast<unsigned>(std::atoi(colon + 1)), ms));
  }
  // One figure on each receiver in turn, starting one further each round,
  // so that the two sides of a ratio are taken seconds apart in either order.
  auto each = [&](int round, bool lib_only, auto figure) {
    const size_t n = receivers.size();
    for (size_t i = 0; i < n; ++i) {
      Generator &g = *receivers[(i + static_cast<size_t>(round)) % n];
      if (g.failed || (lib_only && g.variant != "lib")) continue;
      try {
        figure(g);
      } catch (const std::exception &e) {
        std::fprintf(stderr, "tq_native_gen %s: %s\n", g.variant.c_str(), e.what());
        g.failed = true;
      }
    }
  };
  each(0, false, [](Generator &g) { g.WaitReady(); });
  for (int round = 0; round < rounds; ++round) {
    for (int size : {64, 1200}) {
      for (int peers : {1, 16})
        each(round, false, [&](Generator &g) { g.Receive(size, peers, round); });
    }
  }
  // The library's table gets its many peers once; a bare loop keeps none.
  each(0, true, [](Generator &g) { g.Populate(kManyPeers); });
  for (int round = 0; round < rounds; ++round) {
    for (int size : {64, 1200}) {
      each(round, false, [&](Generator &g) { g.Receive(size, kManyPeers, round); });
    }
  }
  bool ok = true;
  for (auto &r : receivers) {
    r->Quit();
    ok = ok && !r->failed;
  }
  return ok ? 0 : 1;
}
