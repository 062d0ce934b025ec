// The peer table's hash index.
#include "peer_index.h"

#include <utility>

namespace TqProxy {

// Fibonacci hashing: the multiply spreads neighbouring addresses and ports
// (one subnet, consecutive ports) over the whole table.
size_t PeerIndex::Home(uint64_t key) const {
  return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
}

const std::shared_ptr<PeerConnContext> *PeerIndex::Find(uint64_t key) const {
  if (size_ == 0) return nullptr;
  for (size_t i = Home(key);; i = Next(i)) {
    const Slot &slot = slots_[i];
    if (!slot.context) return nullptr;
    if (slot.key == key) return &slot.context;
  }
}

void PeerIndex::ReserveOneMore() {
  if ((size_ + 1) * 4 <= slots_.size() * 3) return;
  const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  std::vector<Slot> old(capacity);  // the only step that can throw
  old.swap(slots_);
  unsigned shift = 64;
  for (size_t n = capacity; n > 1; n >>= 1) --shift;
  shift_ = shift;
  size_ = 0;
  for (Slot &slot : old) {
    if (slot.context) Insert(slot.key, std::move(slot.context));
  }
}

void PeerIndex::Insert(uint64_t key, std::shared_ptr<PeerConnContext> context) noexcept {
  size_t i = Home(key);
  while (slots_[i].context) i = Next(i);
  slots_[i].key = key;
  slots_[i].context = std::move(context);
  ++size_;
}

// Backward-shift deletion: the entries after the hole that probed past it
// move up, so no tombstones slow later probes.
void PeerIndex::Erase(uint64_t key) noexcept {
  if (size_ == 0) return;
  size_t hole = Home(key);
  for (;; hole = Next(hole)) {
    if (!slots_[hole].context) return;
    if (slots_[hole].key == key) break;
  }
  slots_[hole].context.reset();
  --size_;
  for (size_t i = Next(hole); slots_[i].context; i = Next(i)) {
    // The entry at i may fill the hole unless its home lies cyclically in
    // (hole, i]: then its probe never passed the hole.
    const size_t home = Home(slots_[i].key);
    const bool stays = hole < i ? (hole < home && home <= i) : (hole < home || home <= i);
    if (stays) continue;
    slots_[hole] = std::move(slots_[i]);
    slots_[i].context.reset();
    hole = i;
  }
}

void PeerIndex::Clear() noexcept {
  std::vector<Slot>().swap(slots_);
  size_ = 0;
  shift_ = 64;
}

}  // namespace TqProxy
