#include "ZolmCore/ReaderHashMap.h"

namespace ZolmCore {

void ReaderHashMapBase::reset() {
  numBuckets_ = 0;
  log2_ = 0;
  local_ = Mem::VersionedRef<unsigned int>{};
}

bool ReaderHashMapBase::syncBuckets() {
  BucketHeader const* h = buckets_.header();
  if (!h) return false;
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
void ReaderHashMapBase::verifyNextBucketAfterResize(U32 bucket, U32 next) const {
  U32 k = log2_;
  if (numBuckets_ >= 2 && Zolm::bitReversedSuccessor(bucket, k - 1) % (numBuckets_ / 2) == next) return;
  if (numBuckets_ && numBuckets_ < (1u << 31) && Zolm::bitReversedSuccessor(bucket, k + 1) % (numBuckets_ * 2) == next)
    return;
  fmthrow(Quiv::CorruptionDetectedException, "has bucket: {} with next bucket: {} and numBuckets: {}", bucket, next,
          numBuckets_);
}

void ReaderHashMapBase::checkLastAfterResize(U32 b) const {
  if (numBuckets_ >= 2 && Zolm::bitReversedSuccessor(b, log2_ - 1) == 0) return;
  if (Zolm::bitReversedSuccessor(b, log2_ + 1) == 0) return;
  fmthrow(Quiv::CorruptionDetectedException,
          "thinks we've reached the end of the table, but we're in bucket {} when there are numBuckets: {}", b,
          numBuckets_);
}

void ReaderHashMapBase::outOfRange(U32 b) const {
  fmthrow(Quiv::CorruptionDetectedException, "out-of-range, index:{} max:{}", b, numBuckets_);
}

void ReaderHashMapBase::bucketMismatch() const {
  fmthrow(Quiv::CorruptionDetectedException, "found mismatch, local numBuckets:{} header numBuckets:{}", numBuckets_,
          Mem::load32(&buckets_.header()->numBuckets));
}

void ReaderHashMapBase::bucketCycle(U32 skips, U32 numBuckets) {
  fmthrow(Quiv::CorruptionDetectedException, "has bucket cycle detected, bucketCount: {} numBuckets: {}", skips,
          numBuckets);
}

void ReaderHashMapBase::chainCycle(U32 visited, U32 capacity) {
  fmthrow(Quiv::CorruptionDetectedException, "hash chain cycle detected, slotCount:{} capacity:{}", visited, capacity);
}

void ReaderHashMapBase::notOccupied(U32 slot, std::string const& keyHex) {
  fmthrow(Quiv::CorruptionDetectedException, "slot:{} not marked as occupied key:{}", slot, keyHex);
}

void ReaderHashMapBase::slowPathNotOccupied(U32 slot, std::string const& keyHex, U32 visited) {
  fmthrow(Quiv::CorruptionDetectedException, "slow-path slot:{} not marked as occupied key:{} slotCount:{}", slot,
          keyHex, visited);
}

void ReaderHashMapBase::corruptKey(std::string const& keyHex, U32 bucket) {
  fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected. key:{} bucketIndex:{}", keyHex, bucket);
}

void ReaderHashMapBase::corruptKeyAtBucket(std::string const& keyHex, U32 bucket) {
  fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected, key:{} bucket:{}", keyHex, bucket);
}

void ReaderHashMapBase::slowPathCorruptKey(std::string const& keyHex, U32 bucket) {
  fmthrow(Quiv::CorruptionDetectedException, "corrupt key detected. key:{} bucketIndex {}", keyHex, bucket);
}

void ReaderHashMapBase::corruptRhash(U32 slot, U32 stored, U32 computed) {
  fmthrow(Quiv::CorruptionDetectedException, "corrupt rhash detected, slotId: {} slot.rhash:{:08x} rhash:{:08x}", slot,
          stored, computed);
}

std::string ReaderHashMapBase::hex(void const* bytes, std::size_t size) {
  unsigned char const* p = static_cast<unsigned char const*>(bytes);
  std::string s;
  for (std::size_t i = 0; i < size; ++i) s += fmt::format("{:02x}", p[i]);
  return s;
}

}  // namespace ZolmCore
