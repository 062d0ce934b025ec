// Internal header. A remote sender the service has heard from, and the key
// text under which the peer table holds it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform.h"

namespace TqProxy {

struct PeerConnContext;

// Key text to context, in key order (transparent: looked up by a key text
// in place, without a string).
using PeerTable = std::map<std::string, std::shared_ptr<PeerConnContext>, std::less<>>;

struct PeerConnContext {
  PeerConnContext(const sockaddr_in &from, SOCKET socket, int64_t now)
      : addr(from), local_socket(socket), last_active_ms(now) {}

  const sockaddr_in addr;               // the sender, as the receive reported it
  const SOCKET local_socket;            // the listen socket on which it was first heard
  std::atomic<int64_t> last_active_ms;  // refreshed by receives and by sends outside the lock

  // The peer table's own, under the service mutex while the context is in
  // the table: its entry there, and the next context in its expiry list.
  PeerTable::iterator table_entry{};
  PeerConnContext *expiry_next = nullptr;
};

// Sets the activity time to `now` unless it is later already: a send that
// read the clock before a receive may store after it, and the expiry order
// relies on activity times that never move back.
inline void RefreshActivity(PeerConnContext &peer, int64_t now) {
  int64_t seen = peer.last_active_ms.load();
  while (seen < now && !peer.last_active_ms.compare_exchange_weak(seen, now)) {
  }
}

// A short text in place, for the paths that must not allocate. The longest
// text held is a peer key, "65535_255.255.255.255".
struct ShortText {
  char text[24];
  size_t size = 0;
  std::string_view View() const { return std::string_view(text, size); }
  const char *CStr() const { return text; }
};

// The dotted quad of an address, as inet_ntoa writes it (no leading zeros).
ShortText Ipv4Text(const in_addr &address);

// "<port>_<dotted quad>", port in host order: "500_192.0.2.7".
ShortText PeerKey(const sockaddr_in &address);
// The same as a string; empty for null.
std::string MakePeerKey(const sockaddr_in *address);

}  // namespace TqProxy
