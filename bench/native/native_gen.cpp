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
#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr int kBatch = 16;  // datagrams per sendmmsg and per queue query
constexpr int kManyPeers = 100000;

int64_t Us() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

sockaddr_in Address(uint32_t ip, unsigned port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(ip);
  return a;
}

// Peer i's source address: 127.1.0.1 upwards, never .0 or .255 last.
uint32_t PeerIp(long long i) { return 0x7F010000u + ((i / 250) << 8) + (i % 250 + 1); }

// Whether the receiver's kernel queue is below half its receive buffer, as
// the socket diagnostics report it for that one socket.
bool QueueHasRoom(unsigned port) {
  static const int nl = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG);
  struct {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } req{};
  req.header.nlmsg_len = sizeof(req);
  req.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  req.header.nlmsg_flags = NLM_F_REQUEST;
  req.body.sdiag_family = AF_INET;
  req.body.sdiag_protocol = IPPROTO_UDP;
  req.body.idiag_states = ~0u;
  req.body.idiag_ext = 1 << (INET_DIAG_SKMEMINFO - 1);
  req.body.id.idiag_sport = htons(9);
  req.body.id.idiag_dport = htons(static_cast<uint16_t>(port));
  req.body.id.idiag_src[0] = req.body.id.idiag_dst[0] = htonl(kLoopback);
  req.body.id.idiag_cookie[0] = req.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  alignas(nlmsghdr) char reply[1024];
  auto *h = reinterpret_cast<nlmsghdr *>(reply);
  const ssize_t n = send(nl, &req, sizeof(req), 0) < 0 ? -1 : recv(nl, reply, sizeof(reply), 0);
  if (n <= 0 || !NLMSG_OK(h, n) || h->nlmsg_type != SOCK_DIAG_BY_FAMILY) return true;
  auto *m = static_cast<inet_diag_msg *>(NLMSG_DATA(h));
  int len = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(*m)));
  uint32_t limit = 64 * 1024;
  for (auto *a = reinterpret_cast<rtattr *>(m + 1); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
    if (a->rta_type == INET_DIAG_SKMEMINFO)
      limit = static_cast<uint32_t *>(RTA_DATA(a))[SK_MEMINFO_RCVBUF] / 2;
  }
  return m->idiag_rqueue < limit;
}

struct Stat {
  long long count, cpu_us, last_data_us, now_us, peers;
};

class Generator {
 public:
  Generator(std::string variant, unsigned port, int ms)
      : variant(std::move(variant)), port_(port), ms_(ms), target_(Address(kLoopback, port)) {
    ctl_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Address(kLoopback, 0);
    socklen_t len = sizeof(a);
    if (ctl_ < 0 || bind(ctl_, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
        getsockname(ctl_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
      throw std::runtime_error("cannot bind a loopback socket");
    }
    ctl_port_ = ntohs(a.sin_port);
    flood_ = socket(AF_INET, SOCK_DGRAM, 0);  // any port; sources chosen per datagram
  }
  ~Generator() {
    close(ctl_);
    close(flood_);
  }
  Generator(const Generator &) = delete;
  Generator &operator=(const Generator &) = delete;

  const std::string variant;
  bool failed = false;
  unsigned ctl_port() const { return ctl_port_; }

  void WaitReady() {
    if (Call('S', 500, 120).size() < 5) throw std::runtime_error("no answer from the receiver");
  }
  void Quit() { sendto(ctl_, "Q", 1, 0, To(), sizeof(target_)); }

  // One round of one figure: throughput from the receiver's answer before
  // the load to its last data datagram (its answer after the load queues
  // behind the load), and its process CPU over the same stretch.
  void Receive(int size, int peers, int round) {
    const Stat s0 = GetStat();
    const long long sent = Flood(peers, size, 50000000LL, ms_ / 1000.0);
    const Stat s1 = GetStat();
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
    const Stat s = GetStat();
    std::fprintf(stderr, "  %s: %lld peers in the table\n", variant.c_str(), s.peers);
    if (s.peers < peers) throw std::runtime_error("the table did not fill");
  }

 private:
  const sockaddr *To() const { return reinterpret_cast<const sockaddr *>(&target_); }

  void Row(const std::string &key, int round, double value, const char *unit,
           const std::string &note) {
    std::printf("ROUND,%s,%s,%d,%.7g,%s,%s\n", key.c_str(), variant.c_str(), round, value, unit,
                note.c_str());
    std::fprintf(stderr, "  %-15s %-9s %d %11.2f %-9s %s\n", key.c_str(), variant.c_str(), round,
                 value, unit, note.c_str());
  }

  Stat GetStat() {
    const std::vector<long long> v = Call('S', 200, 50);
    if (v.size() < 5) throw std::runtime_error("the receiver stopped answering");
    return Stat{v[0], v[1], v[2], v[3], v[4]};
  }

  // A command and the numbers of its answer, empty if none came.
  std::vector<long long> Call(char command, int wait_ms, int tries) {
    const unsigned seq = ++seq_;
    char message[200], reply[256];
    const int len =
        std::snprintf(message, sizeof(message), "%c 127.0.0.1 %u %u", command, ctl_port_, seq);
    for (int t = 0; t < tries; ++t) {
      sendto(ctl_, message, len, 0, To(), sizeof(target_));
      for (const int64_t end = Us() + wait_ms * 1000LL;;) {
        pollfd readable{ctl_, POLLIN, 0};
        const int left = static_cast<int>((end - Us()) / 1000);
        if (left <= 0 || poll(&readable, 1, left) <= 0) break;
        const ssize_t n = recv(ctl_, reply, sizeof(reply) - 1, 0);
        unsigned got = 0;
        int used = 0;
        if (n <= 0) continue;
        reply[n] = '\0';
        if (std::sscanf(reply, "R %u%n", &got, &used) != 1 || got != seq) continue;
        std::vector<long long> values;
        char *p = reply + used, *e = nullptr;
        for (long long x = std::strtoll(p, &e, 10); e != p; x = std::strtoll(p = e, &e, 10))
          values.push_back(x);
        return values;
      }
    }
    return {};
  }

  // Sends up to `count` datagrams for up to `seconds`, round-robin from the
  // sources 0..peers-1, kBatch to a sendmmsg, each batch only while the
  // receiver's queue is below half its buffer: the receiver never waits
  // for the generator while it keeps up, and the kernel drops nothing.
  long long Flood(int peers, int size, long long count, double seconds) {
    static char payload[1500];
    std::memset(payload, 'D', sizeof(payload));
    iovec iov{payload, static_cast<size_t>(size)};
    mmsghdr batch[kBatch] = {};
    alignas(cmsghdr) static char control[kBatch][CMSG_SPACE(sizeof(in_pktinfo))];
    for (int i = 0; i < kBatch; ++i) {
      msghdr &m = batch[i].msg_hdr;
      m.msg_name = &target_;
      m.msg_namelen = sizeof(target_);
      m.msg_iov = &iov;
      m.msg_iovlen = 1;
      m.msg_control = control[i];
      m.msg_controllen = sizeof(control[i]);
      cmsghdr *c = CMSG_FIRSTHDR(&m);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    }
    long long sent = 0;
    for (const int64_t end = Us() + static_cast<int64_t>(seconds * 1e6);
         sent < count && Us() < end;) {
      if (!QueueHasRoom(port_)) {
        usleep(100);
        continue;
      }
      const int n = static_cast<int>(std::min<long long>(kBatch, count - sent));
      for (int i = 0; i < n; ++i) {
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(PeerIp((sent + i) % peers));
        std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&batch[i].msg_hdr)), &info, sizeof(info));
      }
      const int r = sendmmsg(flood_, batch, static_cast<unsigned>(n), 0);
      if (r <= 0) break;
      sent += r;
    }
    return sent;
  }

  unsigned port_;
  int ms_;
  sockaddr_in target_;
  int ctl_ = -1, flood_ = -1;
  unsigned ctl_port_ = 0, seq_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "freeport") == 0) {
    const Generator probe("", 0, 0);
    std::printf("%u\n", probe.ctl_port());
    return 0;
  }
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
