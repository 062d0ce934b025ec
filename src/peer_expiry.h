// Internal header. The peer table's contexts in the order in which they
// fall due, so that a sweep does work only for the entries that are due.
#pragma once

#include <cstddef>
#include <cstdint>

#include "peer_context.h"

namespace TqProxy {

constexpr int64_t kPeerIdleLimitMs = 300000;

// A timing wheel of two levels over due times (last activity + the idle
// limit), in whole milliseconds: 1024 slots of 1 ms for the block of 1024
// ms that the sweep has reached, and a ring of 512 buckets of 1024 ms for
// the blocks after it (524 s, more than the idle limit). A bucket is spread
// over the slots when the sweep enters its block.
//
// Activity times are refreshed without the table's lock, so an entry is
// never moved on a refresh: it stays where it was filed, at or before its
// due time, and is filed again by its current time when its slot comes up.
// Each refresh causes at most one such move, so everything is O(1)
// amortised, with no allocation: the lists run through the contexts.
// Not thread-safe: used under the service mutex.
class PeerExpiry {
 public:
  // Files a context that has just entered the table.
  void Add(PeerConnContext *context) noexcept;
  // One context due at `now` (idle for the limit or longer), taken out;
  // null when no more are due. Refreshed ones are filed again on the way.
  PeerConnContext *TakeDue(int64_t now) noexcept;
  // The context idle longest, to within its slot or bucket, taken out;
  // null when there is none.
  PeerConnContext *TakeOldest() noexcept;
  void Clear() noexcept;
  size_t Size() const { return size_; }

 private:
  static constexpr int kSlotBits = 10;
  static constexpr int64_t kSlots = int64_t{1} << kSlotBits;  // of 1 ms each: one block
  static constexpr int64_t kBuckets = 512;                    // of one block each
  static constexpr int64_t kSlotMask = kSlots - 1;

  struct List {
    PeerConnContext *head = nullptr;
    void Push(PeerConnContext *context) noexcept {
      context->expiry_next = head;
      head = context;
    }
    PeerConnContext *Pop() noexcept {
      PeerConnContext *context = head;
      head = context->expiry_next;
      context->expiry_next = nullptr;
      return context;
    }
  };

  static int64_t Block(int64_t ms) { return ms >> kSlotBits; }
  static int64_t Due(const PeerConnContext &context) {
    return context.last_active_ms.load() + kPeerIdleLimitMs;
  }
  // Where a context due at `due` goes: a slot of the current block, else
  // the bucket of its block, or the last bucket of the ring when its block
  // is beyond it (filed early is safe: it is only looked at again).
  void File(PeerConnContext *context, int64_t due) noexcept;
  PeerConnContext *PopSlot(int64_t slot) noexcept;
  PeerConnContext *PopBucket(int64_t bucket) noexcept;
  // The sweep position moves to `ms` in a later block: the current block's
  // slots are empty; the bucket of the new block is spread over them.
  void EnterBlock(int64_t ms) noexcept;
  // Offset from the cursor's slot of the first filled slot of the block;
  // -1 if none.
  int64_t FirstSlot() const noexcept;
  // Blocks from the cursor's block to the first filled bucket after it
  // (1 to kBuckets - 1); -1 if none.
  int64_t FirstBucket() const noexcept;

  List slots_[kSlots];
  List buckets_[kBuckets];
  uint64_t slot_bits_[kSlots / 64] = {};  // which lists are not empty
  uint64_t bucket_bits_[kBuckets / 64] = {};
  int64_t cursor_ = 0;  // the first millisecond not swept; slots hold its block
  size_t size_ = 0;
};

}  // namespace TqProxy
