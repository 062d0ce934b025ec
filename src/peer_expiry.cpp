// The peer table's timing wheel.
#include "peer_expiry.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace TqProxy {
namespace {

int LowestBit(uint64_t word) {
#if defined(_MSC_VER)
  unsigned long index;
  _BitScanForward64(&index, word);
  return static_cast<int>(index);
#else
  return __builtin_ctzll(word);
#endif
}

// The first set bit at `from` or after it among `count` bits; -1 if none.
int64_t FirstSetFrom(const uint64_t *words, int64_t count, int64_t from) {
  for (int64_t w = from >> 6; w < count / 64; ++w) {
    uint64_t word = words[w];
    if (w == from >> 6) word &= ~uint64_t{0} << (from & 63);
    if (word != 0) return w * 64 + LowestBit(word);
  }
  return -1;
}

void SetBit(uint64_t *words, int64_t i) { words[i >> 6] |= uint64_t{1} << (i & 63); }
void ClearBit(uint64_t *words, int64_t i) { words[i >> 6] &= ~(uint64_t{1} << (i & 63)); }

}  // namespace

void PeerExpiry::Add(PeerConnContext *context) noexcept {
  // An empty wheel may have a cursor from long ago: start it at the first
  // entry's time, so that filing never has to clamp for an old cursor.
  if (size_ == 0 && cursor_ < context->last_active_ms.load()) {
    cursor_ = context->last_active_ms.load();
  }
  ++size_;
  File(context, Due(*context));
}

void PeerExpiry::File(PeerConnContext *context, int64_t due) noexcept {
  const int64_t at = due > cursor_ ? due : cursor_;
  if (Block(at) == Block(cursor_)) {
    slots_[at & kSlotMask].Push(context);
    SetBit(slot_bits_, at & kSlotMask);
    return;
  }
  const int64_t last = Block(cursor_) + kBuckets - 1;
  const int64_t bucket = (Block(at) < last ? Block(at) : last) & (kBuckets - 1);
  buckets_[bucket].Push(context);
  SetBit(bucket_bits_, bucket);
}

PeerConnContext *PeerExpiry::PopSlot(int64_t slot) noexcept {
  PeerConnContext *context = slots_[slot].Pop();
  if (slots_[slot].head == nullptr) ClearBit(slot_bits_, slot);
  return context;
}

PeerConnContext *PeerExpiry::PopBucket(int64_t bucket) noexcept {
  PeerConnContext *context = buckets_[bucket].Pop();
  if (buckets_[bucket].head == nullptr) ClearBit(bucket_bits_, bucket);
  return context;
}

int64_t PeerExpiry::FirstSlot() const noexcept {
  return FirstSetFrom(slot_bits_, kSlots, cursor_ & kSlotMask);
}

int64_t PeerExpiry::FirstBucket() const noexcept {
  const int64_t from = (Block(cursor_) + 1) & (kBuckets - 1);
  int64_t found = FirstSetFrom(bucket_bits_, kBuckets, from);
  if (found < 0) found = FirstSetFrom(bucket_bits_, kBuckets, 0);
  if (found < 0) return -1;
  return 1 + ((found - from) & (kBuckets - 1));
}

void PeerExpiry::EnterBlock(int64_t ms) noexcept {
  const int64_t distance = Block(ms) - Block(cursor_);
  cursor_ = ms;
  // Beyond the ring's reach every bucket is empty (the caller found none
  // up to this block), so there is nothing to spread.
  if (distance >= kBuckets) return;
  const int64_t bucket = Block(ms) & (kBuckets - 1);
  List list = buckets_[bucket];
  buckets_[bucket].head = nullptr;
  ClearBit(bucket_bits_, bucket);
  while (list.head != nullptr) {
    PeerConnContext *context = list.Pop();
    File(context, Due(*context));
  }
}

PeerConnContext *PeerExpiry::TakeDue(int64_t now) noexcept {
  if (size_ == 0) {
    if (now >= cursor_) cursor_ = now + 1;
    return nullptr;
  }
  while (now >= cursor_) {
    const int64_t block_start = cursor_ & ~kSlotMask;
    const int64_t slot = FirstSlot();
    if (slot >= 0 && block_start + slot <= now) {
      cursor_ = block_start + slot;
      PeerConnContext *context = PopSlot(slot);
      const int64_t due = Due(*context);
      if (due <= now) {
        --size_;
        return context;
      }
      File(context, due);  // refreshed since it was filed: later
      continue;
    }
    // Nothing more up to `now` in this block. Up to the next block with
    // entries, if it has begun by `now`; else just past `now`.
    const int64_t distance = FirstBucket();
    const int64_t next = Block(cursor_) + distance;
    if (distance > 0 && next <= Block(now)) {
      EnterBlock(next << kSlotBits);
    } else if (Block(now + 1) != Block(cursor_)) {
      EnterBlock(now + 1);
    } else {
      cursor_ = now + 1;
    }
  }
  return nullptr;
}

PeerConnContext *PeerExpiry::TakeOldest() noexcept {
  while (size_ != 0) {
    const int64_t slot = FirstSlot();
    if (slot >= 0) {
      const int64_t at = (cursor_ & ~kSlotMask) + slot;
      PeerConnContext *context = PopSlot(slot);
      const int64_t due = Due(*context);
      if (due <= at) {
        --size_;
        return context;
      }
      File(context, due);
      continue;
    }
    const int64_t distance = FirstBucket();
    if (distance < 0) break;  // cannot be while size_ != 0
    const int64_t block = Block(cursor_) + distance;
    PeerConnContext *context = PopBucket(block & (kBuckets - 1));
    const int64_t due = Due(*context);
    const int64_t last = Block(cursor_) + kBuckets - 1;
    if ((Block(due) < last ? Block(due) : last) <= block) {
      --size_;
      return context;
    }
    File(context, due);
  }
  return nullptr;
}

void PeerExpiry::Clear() noexcept {
  for (List &list : slots_) list.head = nullptr;
  for (List &list : buckets_) list.head = nullptr;
  for (uint64_t &word : slot_bits_) word = 0;
  for (uint64_t &word : bucket_bits_) word = 0;
  cursor_ = 0;
  size_ = 0;
}

}  // namespace TqProxy
