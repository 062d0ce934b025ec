// The peer table: one context per remote address and port, found or made
// for every received datagram and swept out after five idle minutes.
#include <cstdio>

#include "service_log.h"
#include "tq_udp_service.h"

namespace TqProxy {

std::string Ipv4Text(const in_addr &address) {
  // inet_ntoa's text, made here: same digits, no per-thread buffer.
  const unsigned char *b = reinterpret_cast<const unsigned char *>(&address.s_addr);
  char text[16];
  const int n = std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return std::string(text, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string MakePeerKey(const sockaddr_in *address) {
  if (address == nullptr) return std::string();
  return std::to_string(ntohs(address->sin_port)) + "_" + Ipv4Text(address->sin_addr);
}

std::shared_ptr<PeerConnContext> TQUdpService::GetPeerContext(SOCKET socket,
                                                              const sockaddr_in *from) {
  std::string key = MakePeerKey(from);
  if (key.empty()) {
    TQ_SERVICE_LOG(fn::kGetPeerContext, kLogLevelInfo, "empty peer_connect");
    return nullptr;
  }

  std::shared_ptr<PeerConnContext> context;
  size_t size = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    const int64_t now = now_ms();
    auto it = peer_contexts.find(key);
    if (it != peer_contexts.end()) {
      it->second->last_active_ms.store(now);
      return it->second;
    }
    // Its own count block: the table and its users share one context.
    context = std::shared_ptr<PeerConnContext>(new PeerConnContext(*from, socket, now));
    peer_contexts.emplace(key, context);
    size = peer_contexts.size();
  }
  // Logged after the lock: a log callback may call TQ_Proxy_Send, which
  // takes `mutex`. Same text, and the size as it stood at the insertion.
  TQ_SERVICE_LOG(fn::kGetPeerContext, kLogLevelInfo, "accept peer=%s, size=%d", key.c_str(),
                 static_cast<int32_t>(size));
  return context;
}

void TQUdpService::ExpirePeerContexts() {
  std::lock_guard<std::mutex> lock(mutex);
  const int64_t now = now_ms();
  for (auto it = peer_contexts.begin(); it != peer_contexts.end();) {
    if (now < it->second->last_active_ms.load() + kPeerIdleLimitMs) {
      ++it;
    } else {
      it = peer_contexts.erase(it);
    }
  }
}

}  // namespace TqProxy
