// What the load generator asks of a benchmark receiver, and the receiver's
// side of it, shared by the Windows host and the native Linux baseline so
// that every receiver answers alike. One command is one datagram of text,
// named by its first letter; <ip> <port> is where the answer goes:
//   D...                          data: counted, nothing else
//   E <ip> <port> ...             echo: the whole datagram back
//   S <ip> <port> <seq>           -> R <seq> <count> <cpu_us> <last_data_us> <now_us> <peers>
//   T <ip> <port> <seq> <dip> <dport> <size> <ms>
//                                 sends to <dip>:<dport> for <ms> ms -> R <seq> <calls> <us>
//                                 <failed>
//   B <ip> <port> <seq> <size> <ms>  the same to every known peer (library only)
//   Q                             quit
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace bench {

constexpr int kRecvBufferSize = 81920;  // the library's buffer, for like-for-like receives
constexpr int kLargestDatagram = 65507;

class Receiver {
 public:
  virtual ~Receiver() = default;
  // Results as sendto's: bytes sent, or a value below 1.
  virtual int SendTo(const char *ip, unsigned port, const char *data, int len) = 0;
  virtual int SendToAll(const char *, int) { return -1; }
  virtual int64_t NowUs() = 0;
  virtual int64_t CpuUs() = 0;

  // One received datagram, NUL-terminated; false once told to quit.
  bool Handle(const char *data, int len) {
    if (data[0] == 'D') {
      ++count;
      last_data_us = NowUs();
      return true;
    }
    if (data[0] == 'Q') return false;
    char ip[32] = {}, dip[32] = {};
    unsigned port = 0, seq = 0, dport = 0, size = 0, ms = 0;
    if (std::sscanf(data + 1, "%31s %u %u", ip, &port, &seq) < 2) return true;
    char reply[160];
    if (data[0] == 'E') {
      SendTo(ip, port, data, len);
      return true;
    }
    if (data[0] == 'S') {
      std::snprintf(reply, sizeof(reply), "R %u %lld %lld %lld %lld %lld", seq,
                    static_cast<long long>(count), static_cast<long long>(CpuUs()),
                    static_cast<long long>(last_data_us), static_cast<long long>(NowUs()),
                    static_cast<long long>(peers));
    } else if (data[0] == 'T' || data[0] == 'B') {
      const bool all = data[0] == 'B';
      const int n =
          all ? std::sscanf(data + 1, "%*s %*u %*u %u %u", &size, &ms)
              : std::sscanf(data + 1, "%*s %*u %*u %31s %u %u %u", dip, &dport, &size, &ms);
      if (n != (all ? 2 : 4)) return true;
      static char payload[kLargestDatagram] = {'D'};
      if (size < 1 || size > kLargestDatagram) size = 64;
      long long calls = 0, failed = 0;
      const int64_t start = NowUs(), end = start + static_cast<int64_t>(ms) * 1000;
      do {  // bounded by time and by count
        const int r = all ? SendToAll(payload, size) : SendTo(dip, dport, payload, size);
        ++calls;
        if (r < 1) ++failed;
      } while (NowUs() < end && calls < 10000000);
      std::snprintf(reply, sizeof(reply), "R %u %lld %lld %lld", seq, calls,
                    static_cast<long long>(NowUs() - start), failed);
    } else {
      return true;
    }
    SendTo(ip, port, reply, static_cast<int>(std::strlen(reply)));
    return true;
  }

  int64_t count = 0;         // data datagrams received
  int64_t last_data_us = 0;  // when the last one was handled
  int64_t peers = 0;         // the peer table's size, where the receiver has one
};

// A bare loop's receive on socket `s` and its handling; false once told to
// quit.
template <typename Socket>
bool ReceiveOne(Socket s, Receiver &receiver) {
  static char buffer[kRecvBufferSize];
  sockaddr_in from{};
  socklen_t from_len = sizeof(from);
  const auto n =
      recvfrom(s, buffer, sizeof(buffer) - 1, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
  if (n <= 0) return true;
  buffer[n] = '\0';
  return receiver.Handle(buffer, static_cast<int>(n));
}

}  // namespace bench
