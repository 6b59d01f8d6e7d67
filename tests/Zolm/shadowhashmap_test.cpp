// The shadow's local index on its own: the slot counters. (The index under
// inserts, moves and removals, doubling and halving, with entries of two
// widths: the shadow model, whose validate() runs the index's check, and
// the change reports, whose drain follows an iteration.)
#include <gtest/gtest.h>

#include "VexaSwitchLib/Zolm/ShadowHashMap.h"

namespace vexa_shadowhashmap_test {
namespace {

// The end of the topmost power-of-two range holding an occupied index (a
// range is [2^n, 2^(n+1))), or of the slots that share the header's page.
TEST(SlotCounters, LargestOccupiedCoversEveryOccupiedIndex) {
  Zolm::SlotCounters c, paged(18);
  EXPECT_EQ(c.largestOccupied(), 0u);
  c.insert(0);
  EXPECT_EQ(c.largestOccupied(), 1u);
  c.insert(5);
  c.insert(1000);
  EXPECT_EQ(c.largestOccupied(), 1024u);
  c.move(1000, 3);
  EXPECT_EQ(c.largestOccupied(), 8u);
  c.remove(5);
  c.remove(3);
  EXPECT_EQ(c.largestOccupied(), 1u);
  paged.insert(2);
  EXPECT_EQ(paged.largestOccupied(), 18u);
}

}  // namespace
}  // namespace vexa_shadowhashmap_test
