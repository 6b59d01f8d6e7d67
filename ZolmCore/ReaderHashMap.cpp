#include "VexaSwitchLib/ZolmCore/ReaderHashMap.h"

namespace ZolmCore {

void ReaderHashMapBase::reset() {
  numBuckets_ = 0;
  log2_ = 0;
  local_ = Mem::VersionedRef<unsigned int>{};
  reason_.clear();
}

bool ReaderHashMapBase::syncBuckets() {
  BucketHeader const* h = buckets_.header();
  if (!h) return false;
  // B1: acquire, pairs with the release store of the resize word (B5,
  // B6): the bucket words of a doubled count were filled before it, a
  // halved count's joins were stored before it.
  U64 word = Mem::load64(h->resizeWord());
  U32 n = U32(word >> 32);
  if (n == numBuckets_ && buckets_.mappedBuckets() == n && U32(word) == local_.seq) return false;
  buckets_.doResize();
  U32 mapped = buckets_.mappedBuckets();
  fmtrace(handler_, 2, "buckets from {} to {}", numBuckets_, mapped);
  numBuckets_ = mapped;
  log2_ = Zolm::log2Exact(mapped);
  // The sequence read before the remap: a resize after that read shows
  // as a mismatch at the next check.
  local_ = Mem::VersionedRef<unsigned int>{U32(word), mapped};
  ++counters_.bucketResizes;
  return true;
}

// Under half or double of the current count (the check against the
// current count itself is inline).
bool ReaderHashMapBase::nextBucketAfterResize(U32 bucket, U32 next) const {
  U32 k = log2_;
  if (numBuckets_ >= 2 && Zolm::bitReversedSuccessor(bucket, k - 1) % (numBuckets_ / 2) == next) return true;
  return numBuckets_ && numBuckets_ < (1u << 31) &&
         Zolm::bitReversedSuccessor(bucket, k + 1) % (numBuckets_ * 2) == next;
}

bool ReaderHashMapBase::lastAfterResize(U32 b) const {
  if (numBuckets_ >= 2 && Zolm::bitReversedSuccessor(b, log2_ - 1) == 0) return true;
  return Zolm::bitReversedSuccessor(b, log2_ + 1) == 0;
}

std::string ReaderHashMapBase::bucketOutOfRange(U32 b) const {
  return fmt::format("out-of-range, index:{} max:{}", b, numBuckets_);
}

std::string ReaderHashMapBase::slotOutOfRange(U32 slot, U32 capacity) const {
  return fmt::format("out-of-range index:{} numSlots:{}", slot, capacity);
}

std::string ReaderHashMapBase::wrongNextBucket(U32 bucket, U32 next) const {
  return fmt::format("has bucket: {} with next bucket: {} and numBuckets: {}", bucket, next, numBuckets_);
}

std::string ReaderHashMapBase::notLastBucket(U32 b) const {
  return fmt::format("thinks we've reached the end of the table, but we're in bucket {} when there are numBuckets: {}",
                     b, numBuckets_);
}

std::string ReaderHashMapBase::bucketCycle(U32 skips, U32 numBuckets) {
  return fmt::format("has bucket cycle detected, bucketCount: {} numBuckets: {}", skips, numBuckets);
}

std::string ReaderHashMapBase::chainCycle(U32 visited, U32 capacity) {
  return fmt::format("hash chain cycle detected, slotCount:{} capacity:{}", visited, capacity);
}

std::string ReaderHashMapBase::notOccupied(U32 slot, std::string const& keyHex) {
  return fmt::format("slot:{} not marked as occupied key:{}", slot, keyHex);
}

std::string ReaderHashMapBase::corruptKey(std::string const& keyHex, U32 bucket) {
  return fmt::format("corrupt key detected. key:{} bucketIndex:{}", keyHex, bucket);
}

std::string ReaderHashMapBase::corruptRhash(U32 slot, U32 stored, U32 computed) {
  return fmt::format("corrupt rhash detected, slotId: {} slot.rhash:{:08x} rhash:{:08x}", slot, stored, computed);
}

std::string ReaderHashMapBase::hex(void const* bytes, std::size_t size) {
  unsigned char const* p = static_cast<unsigned char const*>(bytes);
  std::string s;
  for (std::size_t i = 0; i < size; ++i) s += fmt::format("{:02x}", p[i]);
  return s;
}

}  // namespace ZolmCore
