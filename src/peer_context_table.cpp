// The peer table: one context per remote address and port, found or made
// for every received datagram and swept out after five idle minutes.

#include "service_log.h"
#include "tq_udp_service.h"

namespace TqProxy {

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
    // Full: peers already due leave first, as the next sweep would take
    // them. That also brings the expiry order up to `now`, without which its
    // oldest could be minutes off (a host callback may hold the loop that
    // long). If none was due, the peer idle longest makes room.
    if (peer_contexts.size() >= max_peer_contexts) {
      while (PeerConnContext *due = peer_expiry.TakeDue(now)) RemovePeer(*due);
      PeerConnContext *oldest =
          peer_contexts.size() < max_peer_contexts ? nullptr : peer_expiry.TakeOldest();
      if (oldest != nullptr) {
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
