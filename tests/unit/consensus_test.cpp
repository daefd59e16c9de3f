// The consensus over a table of server records.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "correction/consensus.h"

namespace {

struct Entry {
  int slot;
  int64_t correction;
  int32_t status;
  const char* name;
};

struct Table {
  ServerRecord records[SERVER_SLOTS];
  Table(std::initializer_list<Entry> entries) {
    std::memset(records, 0, sizeof records);
    for (const Entry& e : entries) {
      std::strncpy(records[e.slot].name, e.name, SERVER_NAME_SIZE - 1);
      records[e.slot].status = e.status;
      records[e.slot].correction = e.correction;
      records[e.slot].enabled = 1;
    }
  }
};

Entry good(int slot, int64_t correction) { return {slot, correction, STATUS_GOOD, "time.test"}; }

std::vector<int> excludedOf(const ConsensusResult& r) {
  return std::vector<int>(r.excluded, r.excluded + r.excludedCount);
}

TEST(Consensus, WorkedExamples) {
  const struct {
    Table table;
    int64_t applied;
    std::vector<int> excluded;
  } rows[] = {
      {{good(0, 150), good(1, 180), good(2, 90), good(3, 5200), good(4, 120)}, 135, {3}},
      {{good(0, 0), good(1, 5000)}, 0, {1}},
      {{good(0, 0), good(1, 10000), good(2, 20000)}, 0, {2, 1}},
      {{good(0, -3000), good(1, 1000), good(2, 1000)}, 1000, {0}},
      {{good(0, 0), good(1, -4001)}, 0, {1}},  // mean -2000.5 truncates to -2000
      {{good(0, 0), good(1, 4000)}, 0, {1}},
      {{good(0, 0), good(1, 3999)}, 0, {1}},   // deviation exactly 2000 excludes
      {{good(0, 0), good(1, 3998)}, 1999, {}},  // 1999 does not
  };
  for (const auto& row : rows) {
    const ConsensusResult r = computeConsensus(row.table.records);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.mean, row.applied);
    EXPECT_EQ(excludedOf(r), row.excluded) << "applied " << row.applied;
  }
}

TEST(Consensus, OnlyNamedGoodRecordsCount) {
  const Table table = {good(0, 100), {1, 99999, STATUS_TEST, "b.test"}, good(2, 300),
                       {3, 77777, STATUS_GOOD, ""}, {4, -99999, STATUS_UNUSED, "d.test"},
                       {5, 55555, STATUS_INTERRUPTED, "e.test"}, {6, 44444, STATUS_DISABLED, "f.test"}};
  const ConsensusResult r = computeConsensus(table.records);
  EXPECT_TRUE(r.found);
  EXPECT_EQ(r.mean, 200);
  EXPECT_EQ(r.excludedCount, 0);
  // The records are read, never changed.
  EXPECT_EQ(table.records[4].status, STATUS_UNUSED);
  EXPECT_EQ(table.records[3].status, STATUS_GOOD);
}

TEST(Consensus, NoGoodRecordFindsNothing) {
  const Table table = {{0, 10, STATUS_DISABLED, "a.test"}, {1, 20, STATUS_TEST, "b.test"}};
  const ConsensusResult r = computeConsensus(table.records);
  EXPECT_FALSE(r.found);
  EXPECT_EQ(r.excludedCount, 0);
  const Table empty = {};
  EXPECT_FALSE(computeConsensus(empty.records).found);
}

TEST(Consensus, SingleServerAndAgreement) {
  EXPECT_EQ(computeConsensus(Table{good(49, -86400000)}.records).mean, -86400000);
  const ConsensusResult same = computeConsensus(Table{good(3, 777), good(9, 777), good(40, 777)}.records);
  EXPECT_EQ(same.mean, 777);
  EXPECT_EQ(same.excludedCount, 0);
}

TEST(Consensus, TiesExcludeTheHigherSlot) {
  // Slots 10 and 30 lie 5000 on either side of the mean: 30 goes; then 10 and
  // 20 lie 2500 from the new mean and 20 goes.
  const ConsensusResult r = computeConsensus(Table{good(10, -5000), good(20, 0), good(30, 5000)}.records);
  EXPECT_EQ(excludedOf(r), (std::vector<int>{30, 20}));
  EXPECT_EQ(r.mean, -5000);
}

TEST(Consensus, ExtremeCorrectionsStayDefined) {
  // Far-apart values must not overflow the deviation; the sum wraps like 64-bit.
  const ConsensusResult r = computeConsensus(Table{good(0, INT64_MIN), good(1, INT64_MAX)}.records);
  EXPECT_TRUE(r.found);
  EXPECT_EQ(excludedOf(r), std::vector<int>{0});  // mean 0: slot 0 lies one further off
  EXPECT_EQ(r.mean, INT64_MAX);
}

TEST(Consensus, Int64Image) {
  uint8_t image[8];
  packInt64(0x0102030405060708LL, image);
  const uint8_t expected[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(std::memcmp(image, expected, 8), 0);
  packInt64(-2, image);
  const uint8_t minusTwo[8] = {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(image, minusTwo, 8), 0);
}

}  // namespace
