// Host-lookup buffers: an abandoned lookup keeps its buffer until its answer.
#include <gtest/gtest.h>

#include <cstring>

#include "query/host_lookups.h"

namespace {

TEST(HostLookups, AnAbandonedLookupKeepsItsBufferUntilItsAnswer) {
  static HostLookup table[HOST_LOOKUP_CAPACITY];
  std::memset(table, 0, sizeof table);
  const int first = claimHostLookup(table, 7);
  ASSERT_GE(first, 0);
  table[first].task = 0x1111;
  // The query ends and starts again: the new lookup writes elsewhere.
  abandonHostLookup(table, 0x1111);
  const int second = claimHostLookup(table, 7);
  ASSERT_GE(second, 0);
  EXPECT_NE(second, first);
  table[second].task = 0x2222;
  // The late answer of the first is found, but for nobody.
  ASSERT_EQ(findHostLookup(table, 0x1111), first);
  EXPECT_EQ(table[first].slot, -1);
  EXPECT_EQ(table[findHostLookup(table, 0x2222)].slot, 7);
  releaseHostLookup(table[first]);
  EXPECT_EQ(findHostLookup(table, 0x1111), -1);
  EXPECT_EQ(findHostLookup(table, 0), -1);
  // Once every buffer is taken, no lookup can start.
  for (int i = 0; i < HOST_LOOKUP_CAPACITY - 1; ++i) EXPECT_GE(claimHostLookup(table, 1), 0);
  EXPECT_EQ(claimHostLookup(table, 1), -1);
}

TEST(HostLookups, ALookupNotYetStartedIsFoundByNoHandle) {
  static HostLookup table[HOST_LOOKUP_CAPACITY];
  std::memset(table, 0, sizeof table);
  const int claimed = claimHostLookup(table, 3);
  ASSERT_GE(claimed, 0);
  abandonHostLookup(table, 0);
  EXPECT_EQ(table[claimed].slot, 3);
}

}  // namespace
