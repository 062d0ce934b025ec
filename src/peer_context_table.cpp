// The peer table: one context per remote address and port, found or made
// for every received datagram and swept out after five idle minutes.
#include <algorithm>

#include "service_log.h"
#include "tq_udp_service.h"

namespace TqProxy {

namespace {

void Append(ShortText &out, std::string_view part) {
  for (char c : part) out.text[out.size++] = c;
}

void AppendDecimal(ShortText &out, unsigned value) {
  char digits[8];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n != 0) out.text[out.size++] = digits[--n];
}

void AppendIpv4(ShortText &out, const in_addr &address) {
  const unsigned char *b = reinterpret_cast<const unsigned char *>(&address.s_addr);
  for (int i = 0; i < 4; ++i) {
    if (i != 0) Append(out, ".");
    AppendDecimal(out, b[i]);
  }
}

}  // namespace

// inet_ntoa's text, made here: the same digits, no per-thread buffer, no
// allocation on the receive path.
ShortText Ipv4Text(const in_addr &address) {
  ShortText out;
  AppendIpv4(out, address);
  out.text[out.size] = '\0';
  return out;
}

ShortText PeerKey(const sockaddr_in &address) {
  ShortText out;
  AppendDecimal(out, ntohs(address.sin_port));
  Append(out, "_");
  AppendIpv4(out, address.sin_addr);
  out.text[out.size] = '\0';
  return out;
}

std::string MakePeerKey(const sockaddr_in *address) {
  return address == nullptr ? std::string() : std::string(PeerKey(*address).View());
}

std::shared_ptr<PeerConnContext> TQUdpService::GetPeerContext(SOCKET socket,
                                                              const sockaddr_in *from) {
  if (from == nullptr) {
    TQ_SERVICE_LOG(fn::kGetPeerContext, kLogLevelInfo, "empty peer_connect");
    return nullptr;
  }
  const uint64_t index_key = PeerIndexKey(*from);

  std::shared_ptr<PeerConnContext> context;
  ShortText key;
  size_t size = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const std::shared_ptr<PeerConnContext> *known = peer_index.Find(index_key);
    if (known != nullptr) PrefetchContext(known->get());
    const int64_t now = PeerClockMs();
    if (known != nullptr) {
      (*known)->last_active_ms.store(now);
      return *known;
    }
    // Everything that can throw comes before the table changes, so the
    // table and its index never disagree.
    key = PeerKey(*from);
    context = std::shared_ptr<PeerConnContext>(new PeerConnContext(*from, socket, now));
    peer_index.ReserveOneMore();
    peer_contexts.emplace(std::string(key.View()), context);
    peer_index.Insert(index_key, context);
    size = peer_contexts.size();
    earliest_expiry_ms = std::min(earliest_expiry_ms, now + kPeerIdleLimitMs);
  }
  // Logged after the lock: a log callback may call TQ_Proxy_Send, which
  // takes `mutex`. Same text, and the size as it stood at the insertion.
  TQ_SERVICE_LOG(fn::kGetPeerContext, kLogLevelInfo, "accept peer=%s, size=%d", key.CStr(),
                 static_cast<int32_t>(size));
  return context;
}

void TQUdpService::ExpirePeerContexts() {
  std::lock_guard<std::mutex> lock(mutex);
  const int64_t now = PeerClockMs();
  // Activity times only move forward, so no entry can have reached its
  // limit before the earliest one seen at the last walk: skip the walk.
  if (now < earliest_expiry_ms) return;
  int64_t earliest = kNoExpiry;
  for (auto it = peer_contexts.begin(); it != peer_contexts.end();) {
    const PeerConnContext &peer = *it->second;
    const int64_t expiry = peer.last_active_ms.load() + kPeerIdleLimitMs;
    if (now < expiry) {
      earliest = std::min(earliest, expiry);
      ++it;
    } else {
      peer_index.Erase(PeerIndexKey(peer.addr));
      it = peer_contexts.erase(it);
    }
  }
  earliest_expiry_ms = earliest;
}

}  // namespace TqProxy
