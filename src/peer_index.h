// Internal header. A hash index over the peer table: from a peer's address
// and port to its context in one or two cache lines, whatever the table's
// size. The ordered table stays the owner of record (broadcasts walk it in
// key order); the index is kept beside it under the same lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <xmmintrin.h>
#include <vector>

#include "peer_context.h"

namespace TqProxy {

// Address and port in one number: equal exactly when the key texts are.
inline uint64_t PeerIndexKey(uint32_t address_host_order, uint32_t port) {
  return (static_cast<uint64_t>(address_host_order) << 16) | port;
}
inline uint64_t PeerIndexKey(const sockaddr_in &address) {
  return PeerIndexKey(ntohl(address.sin_addr.s_addr), ntohs(address.sin_port));
}

// Starts loading a found context's cache line. With many peers it is rarely
// cached; reading the clock meanwhile hides most of the miss (measured: a
// prefetched slot does not survive the clock call, a context does).
inline void PrefetchContext(const PeerConnContext *context) {
  _mm_prefetch(reinterpret_cast<const char *>(context), _MM_HINT_T0);
}

// Open addressing with linear probing: no allocation per entry, and a probe
// rarely leaves the cache line of its home slot. Not thread-safe.
class PeerIndex {
 public:
  const std::shared_ptr<PeerConnContext> *Find(uint64_t key) const;
  // Makes room for one more entry; may throw, and changes nothing then.
  void ReserveOneMore();
  // Adds a key that is absent, after ReserveOneMore.
  void Insert(uint64_t key, std::shared_ptr<PeerConnContext> context) noexcept;
  void Erase(uint64_t key) noexcept;
  void Clear() noexcept;
  size_t Size() const { return size_; }

 private:
  struct Slot {
    uint64_t key = 0;
    std::shared_ptr<PeerConnContext> context;  // empty slot when null
  };
  size_t Home(uint64_t key) const;
  size_t Next(size_t slot) const { return (slot + 1) & (slots_.size() - 1); }

  std::vector<Slot> slots_;  // a power of two in size, at most 3/4 full
  size_t size_ = 0;
  unsigned shift_ = 64;  // 64 - log2(slots_.size())
};

}  // namespace TqProxy
