// The peer table: one context per remote address and port, found or made
// for every received datagram and swept out after five idle minutes.

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
  ShortText key, removed_key;
  size_t size = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const std::shared_ptr<PeerConnContext> *known = peer_index.Find(index_key);
    if (known != nullptr) PrefetchContext(known->get());
    const int64_t now = PeerClockMs();
    if (known != nullptr) {
      RefreshActivity(**known, now);
      return *known;
    }
    key = PeerKey(*from);
    context = std::shared_ptr<PeerConnContext>(new PeerConnContext(*from, socket, now));
    // Full: the peer idle longest makes room, taken out as the sweep would.
    if (peer_contexts.size() >= max_peer_contexts) {
      if (PeerConnContext *oldest = peer_expiry.TakeOldest()) {
        removed_key = PeerKey(oldest->addr);
        RemovePeer(*oldest);
      }
    }
    // Everything else that can throw comes before the table changes, so
    // the table and its index never disagree.
    peer_index.ReserveOneMore();
    context->table_entry = peer_contexts.emplace(std::string(key.View()), context).first;
    peer_index.Insert(index_key, context);
    peer_expiry.Add(context.get());
    size = peer_contexts.size();
  }
  // Logged after the lock: a log callback may call TQ_Proxy_Send, which
  // takes `mutex`. Same text, and the size as it stood at the insertion.
  if (removed_key.size != 0) {
    TQ_SERVICE_LOG(fn::kGetPeerContext, kLogLevelWarn,
                   "peer table full, remove longest idle peer=%s for new peer=%s, size=%d",
                   removed_key.CStr(), key.CStr(), static_cast<int32_t>(size));
  }
  TQ_SERVICE_LOG(fn::kGetPeerContext, kLogLevelInfo, "accept peer=%s, size=%d", key.CStr(),
                 static_cast<int32_t>(size));
  return context;
}

void TQUdpService::ExpirePeerContexts() {
  std::lock_guard<std::mutex> lock(mutex);
  const int64_t now = PeerClockMs();
  // Only the entries due now, and those refreshed since they were filed.
  while (PeerConnContext *peer = peer_expiry.TakeDue(now)) RemovePeer(*peer);
}

void TQUdpService::RemovePeer(PeerConnContext &peer) noexcept {
  peer_index.Erase(PeerIndexKey(peer.addr));
  peer_contexts.erase(peer.table_entry);  // the table's reference last: it may free `peer`
}

}  // namespace TqProxy
