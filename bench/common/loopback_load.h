// The Linux side of the benchmarks, shared by both load generators
// (tq_loadgen, driving hosts under Wine; tq_native_gen, driving native
// hosts) and the native host: the clock, loopback addresses, the sources
// of many peers, the receiver's queue as the socket diagnostics tell it,
// a generator's link to one receiver, and a bare
// receiver on a socket of its own.
#pragma once

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
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_protocol.h"

namespace bench {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr size_t kPktinfoSpace = CMSG_SPACE(sizeof(in_pktinfo));

inline int64_t Us(clockid_t clock = CLOCK_MONOTONIC) {
  timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

inline sockaddr_in Address(uint32_t ip, unsigned port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(ip);
  return a;
}

// Peer i's source address: 127.1.0.1 upwards, never .0 or .255 last.
inline uint32_t PeerIp(long long i) { return 0x7F010000u + ((i / 250) << 8) + (i % 250 + 1); }

// A UDP socket on 127.0.0.1 at a port of the kernel's choosing.
inline int BoundSocket(unsigned *port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Address(kLoopback, 0);
  socklen_t len = sizeof(a);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    throw std::runtime_error("cannot bind a loopback socket");
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// Prints a loopback port that was free a moment ago: where a receiver may
// listen.
inline int PrintFreePort() {
  unsigned port = 0;
  close(BoundSocket(&port));
  std::printf("%u\n", port);
  return 0;
}

// Whether the receiver's kernel queue has room for more: below half its
// receive buffer, and below `max_bytes`. Asked of the socket diagnostics
// for that one socket: /proc/net/udp walks every slot (0.4 ms).
inline bool QueueHasRoom(unsigned port, uint32_t max_bytes = UINT32_MAX) {
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
  // Found as a datagram from 127.0.0.1:9 to the receiver would find it.
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
      limit = std::min(static_cast<uint32_t *>(RTA_DATA(a))[SK_MEMINFO_RCVBUF] / 2, max_bytes);
  }
  return m->idiag_rqueue < limit;
}

// The first `size` bytes (at most 1500) of a data datagram: all 'D'.
inline iovec Payload(int size) {
  static char data[1500];
  static const bool filled = (std::memset(data, 'D', sizeof(data)), true);
  (void)filled;
  return iovec{data, static_cast<size_t>(size)};
}

// Makes `m` a datagram of `iov` to `target` whose source address is set
// per send (SetSource) through IP_PKTINFO, so that one socket speaks for
// many peers. `control` holds kPktinfoSpace bytes, aligned as cmsghdr.
inline void PreparePktinfo(msghdr &m, sockaddr_in *target, iovec *iov, char *control) {
  m.msg_name = target;
  m.msg_namelen = sizeof(*target);
  m.msg_iov = iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = kPktinfoSpace;
  cmsghdr *c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
}
inline void SetSource(msghdr &m, uint32_t ip) {
  in_pktinfo info{};
  info.ipi_spec_dst.s_addr = htonl(ip);
  std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&m)), &info, sizeof(info));
}

// A receiver's answer to S.
struct Stat {
  long long count, cpu_us, last_data_us, now_us, peers;
};

// A generator's link to one receiver: its address, a control socket on
// loopback that sends the commands and reads the answers, and a flood
// socket (any port; sources chosen per datagram).
class ReceiverLink {
 public:
  explicit ReceiverLink(unsigned receiver_port)
      : receiver_(Address(kLoopback, receiver_port)),
        receiver_port_(receiver_port),
        control_fd_(BoundSocket(&control_port_)),
        flood_fd_(socket(AF_INET, SOCK_DGRAM, 0)) {}
  ~ReceiverLink() {
    close(control_fd_);
    close(flood_fd_);
  }
  ReceiverLink(const ReceiverLink &) = delete;
  ReceiverLink &operator=(const ReceiverLink &) = delete;

  sockaddr_in *receiver() { return &receiver_; }
  unsigned receiver_port() const { return receiver_port_; }
  int flood_fd() const { return flood_fd_; }
  int control_fd() const { return control_fd_; }
  unsigned control_port() const { return control_port_; }
  void Send(const char *data, int len) {
    sendto(control_fd_, data, len, 0, reinterpret_cast<const sockaddr *>(&receiver_),
           sizeof(receiver_));
  }
  void Quit() { Send("Q", 1); }
  void WaitReady() {
    if (Call('S', "", 500, 120).size() < 5) throw std::runtime_error("no answer from the receiver");
  }
  Stat GetStat() {
    const std::vector<long long> v = Call('S', "", 200, 50);
    if (v.size() < 5) throw std::runtime_error("the receiver stopped answering");
    return Stat{v[0], v[1], v[2], v[3], v[4]};
  }

  // A command and the numbers of its answer, empty if none came. Other
  // datagrams reaching the control socket meanwhile are read and dropped,
  // so that sends aimed at it never fill its queue.
  std::vector<long long> Call(char command, const std::string &args, int wait_ms, int tries) {
    const unsigned seq = ++seq_;
    char message[200], reply[256];
    const int len = std::snprintf(message, sizeof(message), "%c 127.0.0.1 %u %u %s", command,
                                  control_port_, seq, args.c_str());
    for (int t = 0; t < tries; ++t) {
      Send(message, len);
      for (const int64_t end = Us() + wait_ms * 1000LL;;) {
        pollfd readable{control_fd_, POLLIN, 0};
        const int left = static_cast<int>((end - Us()) / 1000);
        if (left <= 0 || poll(&readable, 1, left) <= 0) break;
        const ssize_t n = recv(control_fd_, reply, sizeof(reply) - 1, 0);
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

 private:
  sockaddr_in receiver_;
  unsigned receiver_port_, control_port_ = 0, seq_ = 0;
  int control_fd_, flood_fd_;
};

// A bare receiver: answers through its own socket; CPU is the whole
// process's.
class SocketReceiver : public Receiver {
 public:
  explicit SocketReceiver(int fd) : fd_(fd) {}
  int SendTo(const char *ip, unsigned port, const char *data, int len) override {
    const sockaddr_in to = Address(ntohl(inet_addr(ip)), port);
    return static_cast<int>(
        sendto(fd_, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof(to)));
  }
  int64_t NowUs() override { return Us(); }
  int64_t CpuUs() override { return Us(CLOCK_PROCESS_CPUTIME_ID); }

 private:
  int fd_;
};

// The kernel's ceiling: a blocking recvfrom loop on `fd`, until told to
// quit or `deadline_us`.
inline void RecvfromLoop(int fd, int64_t deadline_us, std::atomic<bool> &quit) {
  SocketReceiver receiver(fd);
  const timeval timeout{0, 100000};  // the loop still sees its deadline
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  while (!quit && Us() < deadline_us) {
    if (!ReceiveOne(fd, receiver)) quit = true;
  }
}

}  // namespace bench
