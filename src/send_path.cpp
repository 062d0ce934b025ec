// The send path: a known peer is answered from the listen socket on which
// it was heard, no destination means every known peer, and any other
// destination goes out through the lazily made send socket.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "service_log.h"
#include "test_seams.h"
#include "thread_context.h"
#include "tq_udp_service.h"

namespace TqProxy {
namespace {

constexpr int32_t kLargestIpv4Datagram = 65507;
// How long a send that would block waits for room in all, and per look.
constexpr int64_t kWouldBlockBudgetMs = 50;
constexpr int64_t kWritableStepMs = 5;

int32_t SendOnce(SOCKET s, const char *data, int32_t len, const sockaddr_in &to) {
  return sendto(s, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
}

bool WouldBlock(int32_t result) {
  return result == SOCKET_ERROR && platform::LastSocketError() == platform::kErrorWouldBlock;
}

// A send that would block waits until the socket can take the datagram, in
// short looks, for a few tens of milliseconds at most and never once a stop
// is requested; then it fails as the system failed it.
int32_t SendWhenWritable(SOCKET s, const char *data, int32_t len, const sockaddr_in &to,
                         const std::atomic<int32_t> &state) {
  const int64_t deadline = SteadyNowMs() + kWouldBlockBudgetMs;
  for (;;) {
    const int64_t left = deadline - SteadyNowMs();
    if (left <= 0 || state.load() != kStateRunning) {
      platform::SetLastSocketError(platform::kErrorWouldBlock);
      return SOCKET_ERROR;
    }
    platform::WaitWritable(s, static_cast<int32_t>(std::min(left, kWritableStepMs)));
    const int32_t result = SendOnce(s, data, len, to);
    if (!WouldBlock(result)) return result;
  }
}

// sendto, except that a length no IPv4 datagram can carry fails as the
// system would fail it (-1, WSAEMSGSIZE) without reading the host's buffer:
// a wrong length must not make us read past its end. Once their events are
// selected the listen sockets do not block, and then Wine fails a sendto
// while another thread sends on the same socket (WSAEWOULDBLOCK): sends on
// one socket take `turn`, and one that would still block waits for room.
int32_t SendDatagram(SOCKET s, std::mutex *turn, const char *data, int32_t len,
                     const sockaddr_in &to, const std::atomic<int32_t> &state) {
  if (len > kLargestIpv4Datagram) {
    platform::SetLastSocketError(platform::kErrorMessageSize);
    return SOCKET_ERROR;
  }
  std::unique_lock<std::mutex> lock;
  if (turn != nullptr) lock = std::unique_lock<std::mutex>(*turn);
  const int32_t result = SendOnce(s, data, len, to);
  return WouldBlock(result) ? SendWhenWritable(s, data, len, to, state) : result;
}

// The index key of a peer at `ip`:`port`; false when no peer can have it.
// A peer's text is its dotted quad as inet_ntoa writes it (four decimal
// parts, no leading zeros), so any other spelling of the same address
// names no peer. Reads no further than the first character that fails.
bool DestinationKey(const char *ip, uint32_t port, uint64_t *key) {
  if (port > 65535) return false;
  uint32_t address = 0;
  const char *p = ip;
  for (int part = 0; part < 4; ++part) {
    if (part != 0 && *p++ != '.') return false;
    const char *const first = p;
    unsigned value = 0;
    while (*p >= '0' && *p <= '9' && p - first < 3) value = value * 10 + unsigned(*p++ - '0');
    const ptrdiff_t digits = p - first;
    if (digits == 0 || value > 255 || (digits > 1 && *first == '0')) return false;
    address = (address << 8) | value;
  }
  if (*p != '\0') return false;
  *key = PeerIndexKey(address, port);
  return true;
}

// The send's own error stays the thread's last error for the host to read
// after a -1, whatever the log lines written after it did to it.
class LastErrorKeeper {
 public:
  LastErrorKeeper() : error_(platform::LastSocketError()) {}
  ~LastErrorKeeper() { platform::SetLastSocketError(error_); }
  LastErrorKeeper(const LastErrorKeeper &) = delete;
  LastErrorKeeper &operator=(const LastErrorKeeper &) = delete;

 private:
  const int error_;
};

// The lines every send ends with; the send's result is passed through.
int32_t ReportSend(int32_t result, int32_t len, const char *ip, unsigned port) {
  const LastErrorKeeper keep_error;
  if (result < 1) {
    TQ_SERVICE_LOG(fn::kSend, kLogLevelWarn, "send to net size=%d failed, result=%d", len, result);
  }
  TQ_SERVICE_LOG(fn::kSend, kLogLevelDebug, "send data to ip=%s, port=%u, datalen=%d", ip, port,
                 result);
  return result;
}

}  // namespace

// Marks a send under way, so that Stop closes no socket beneath it, and
// marks this thread as sending, for callbacks that re-enter.
class SendInFlight {
 public:
  explicit SendInFlight(TQUdpService &service) : service_(service) {
    service_.sends_in_flight.fetch_add(1);
    ++t_send_depth;
  }
  ~SendInFlight() {
    --t_send_depth;
    // Only a stopper waits, and only once the state has left running: a
    // lone sender pays no lock here.
    if (service_.sends_in_flight.fetch_sub(1) == 1 && service_.state.load() != kStateRunning) {
      std::lock_guard<std::mutex> lock(service_.sends_done_mutex);
      service_.sends_done.notify_all();
    }
  }
  SendInFlight(const SendInFlight &) = delete;
  SendInFlight &operator=(const SendInFlight &) = delete;

 private:
  TQUdpService &service_;
};

int32_t TQUdpService::Send(const char *ip, uint32_t port, const char *data, int32_t len) {
  if (data == nullptr || len < 1) return TQ_PROXY_ERR_ARGUMENT;
  // Refused before it is counted once the stop is visible: senders that
  // keep calling in a tight loop would otherwise keep the count above 0
  // and hold Stop's wait for seconds.
  if (state.load() != kStateRunning) return TQ_PROXY_ERR_STATE;
  // Counted before the state test: Stop sets the state first and then waits
  // for the count, so a send either sees the stop or is waited for.
  SendInFlight in_flight(*this);
  if (state.load() != kStateRunning) return TQ_PROXY_ERR_STATE;

  const bool has_destination = ip != nullptr && port != 0;
  if (has_destination) {
    // The peer whose dotted quad and port match is the one under this key;
    // a text inet_ntoa would not write, or a port above 65535, has none.
    std::shared_ptr<PeerConnContext> peer;
    int64_t now = 0;
    uint64_t key = 0;
    if (DestinationKey(ip, port, &key)) {
      std::lock_guard<std::mutex> lock(mutex);
      if (const std::shared_ptr<PeerConnContext> *known = peer_index.Find(key)) {
        PrefetchContext(known->get());
        now = PeerClockMs();
        peer = *known;
      }
    }
    if (peer) return SendToPeer(*peer, now, data, len);
  } else {
    // Copied under the lock, sent after it: the references keep contexts
    // alive that a sweep or Stop takes out of the table meanwhile.
    std::vector<std::shared_ptr<PeerConnContext>> selected;
    {
      std::lock_guard<std::mutex> lock(mutex);
      selected.reserve(peer_contexts.size());
      for (const auto &entry : peer_contexts) selected.push_back(entry.second);
    }
    if (selected.empty()) return TQ_PROXY_ERR_ARGUMENT;
    int32_t result = -1;
    for (const auto &peer : selected) result = SendToPeer(*peer, PeerClockMs(), data, len);
    return result;
  }

  const SOCKET s = EnsureSendSocket();
  if (s == INVALID_SOCKET) return TQ_PROXY_ERR_SOCKET;

  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
  destination.sin_addr.s_addr = inet_addr(ip);
  // Never made non-blocking: concurrent sends on it go through.
  return ReportSend(SendDatagram(s, nullptr, data, len, destination, state), len, ip, port);
}

// From the listen socket on which the peer was heard; refreshes the peer
// with the time `now`.
int32_t TQUdpService::SendToPeer(PeerConnContext &peer, int64_t now, const char *data,
                                 int32_t len) {
  RefreshActivity(peer, now);
  const int32_t result =
      SendDatagram(peer.local_socket, SendTurnOf(peer.local_socket), data, len, peer.addr, state);
  return ReportSend(result, len, Ipv4Text(peer.addr.sin_addr).CStr(), ntohs(peer.addr.sin_port));
}

// The listen sockets stay in the table while a send is in flight: Stop
// empties it only after those sends are done.
std::mutex *TQUdpService::SendTurnOf(SOCKET s) const {
  const auto entry = listen_sockets.find(static_cast<int64_t>(s));
  return entry != listen_sockets.end() ? entry->second.send_turn.get() : nullptr;
}

SOCKET TQUdpService::EnsureSendSocket() {
  SOCKET created = INVALID_SOCKET;
  int err = 0;
  {
    // Checked and made as one step: racing senders share one socket.
    std::lock_guard<std::mutex> lock(send_socket_mutex);
    if (send_socket != 0) return send_socket;
    created = TQ_SYSCALL(socket, create_socket)(AF_INET, SOCK_DGRAM, 0);
    if (created == INVALID_SOCKET) {
      err = platform::LastSocketError();
    } else {
      send_socket = created;
    }
  }
  // Logged outside the lock: a log callback may send again.
  if (created == INVALID_SOCKET) {
    TQ_SERVICE_LOG(fn::kSend, kLogLevelError, "Socket Error, ret=%d, errno=%d, str=%s", -1, err,
                   ErrorText(err));
    return INVALID_SOCKET;
  }
  TQ_SERVICE_LOG(fn::kSend, kLogLevelInfo, "Socket Send fd=%lld", static_cast<long long>(created));
  return created;
}

}  // namespace TqProxy
