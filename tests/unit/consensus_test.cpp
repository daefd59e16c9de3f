// The consensus over a table of server records.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "correction/consensus.h"
#include "settings/settings.h"

namespace {

struct Entry {
  int slot;
  int64_t correction;
  int32_t status;
  const char* name;
};

// Bounds left empty stand for half a second either side of each correction.
struct Table {
  ServerRecord records[SERVER_SLOTS];
  OffsetBounds bounds[SERVER_SLOTS];
  Table(std::initializer_list<Entry> entries) {
    std::memset(records, 0, sizeof records);
    std::memset(bounds, 0, sizeof bounds);
    for (const Entry& e : entries) {
      std::strncpy(records[e.slot].name, e.name, SERVER_NAME_SIZE - 1);
      records[e.slot].status = e.status;
      records[e.slot].correction = e.correction;
      records[e.slot].enabled = 1;
    }
  }
};

Entry good(int slot, int64_t correction) { return {slot, correction, STATUS_GOOD, "time.test"}; }

// The tables give bounds in ms; the consensus takes them in microseconds.
ConsensusResult consensusOf(const Table& table) {
  OffsetBounds us[SERVER_SLOTS];
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) us[slot] = boundsInMicros(table.bounds[slot]);
  return computeConsensus(table.records, us);
}

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
    const ConsensusResult r = consensusOf(row.table);
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.correction, row.applied);
    EXPECT_EQ(excludedOf(r), row.excluded) << "applied " << row.applied;
  }
}

TEST(Consensus, OnlyNamedGoodRecordsCount) {
  const Table table = {good(0, 100), {1, 99999, STATUS_TEST, "b.test"}, good(2, 300),
                       {3, 77777, STATUS_GOOD, ""}, {4, -99999, STATUS_UNUSED, "d.test"},
                       {5, 55555, STATUS_INTERRUPTED, "e.test"}, {6, 44444, STATUS_DISABLED, "f.test"}};
  const ConsensusResult r = consensusOf(table);
  EXPECT_TRUE(r.found);
  EXPECT_EQ(r.correction, 200);
  EXPECT_EQ(r.excludedCount, 0);
  // The records are read, never changed.
  EXPECT_EQ(table.records[4].status, STATUS_UNUSED);
  EXPECT_EQ(table.records[3].status, STATUS_GOOD);
}

TEST(Consensus, NoGoodRecordFindsNothing) {
  const Table table = {{0, 10, STATUS_DISABLED, "a.test"}, {1, 20, STATUS_TEST, "b.test"}};
  const ConsensusResult r = consensusOf(table);
  EXPECT_FALSE(r.found);
  EXPECT_EQ(r.excludedCount, 0);
  const Table empty = {};
  EXPECT_FALSE(consensusOf(empty).found);
}

TEST(Consensus, SingleServerAndAgreement) {
  EXPECT_EQ(consensusOf(Table{good(49, -86400000)}).correction, -86400000);
  const ConsensusResult same = consensusOf(Table{good(3, 777), good(9, 777), good(40, 777)});
  EXPECT_EQ(same.correction, 777);
  EXPECT_EQ(same.excludedCount, 0);
}

TEST(Consensus, TiesExcludeTheHigherSlot) {
  // Slots 10 and 30 lie 5000 on either side of the mean: 30 goes; then 10 and
  // 20 lie 2500 from the new mean and 20 goes.
  const ConsensusResult r = consensusOf(Table{good(10, -5000), good(20, 0), good(30, 5000)});
  EXPECT_EQ(excludedOf(r), (std::vector<int>{30, 20}));
  EXPECT_EQ(r.correction, -5000);
}

TEST(Consensus, ExtremeCorrectionsStayDefined) {
  // Far-apart values must not overflow the deviation; the sum wraps like 64-bit.
  const ConsensusResult r = consensusOf(Table{good(0, INT64_MIN), good(1, INT64_MAX)});
  EXPECT_TRUE(r.found);
  EXPECT_EQ(excludedOf(r), std::vector<int>{0});  // mean 0: slot 0 lies one further off
  EXPECT_EQ(r.correction, INT64_MAX);
}

TEST(Consensus, TheServersThatAgreeOutweighOneThatIsOffByLessThanTheLimit) {
  // Four servers whose bounds share [1000, 1010) and one 900 ms off: it stays
  // within the 2000 ms rule, so the mean moves by 180 ms; the agreement does not.
  Table table = {good(0, 1005), good(1, 1004), good(2, 1006), good(3, 1005), good(4, 1905)};
  const OffsetBounds b[5] = {{990, 1010}, {1000, 1030}, {980, 1020}, {995, 1015}, {1880, 1930}};
  for (int slot = 0; slot < 5; ++slot) table.bounds[slot] = b[slot];
  const ConsensusResult r = consensusOf(table);
  EXPECT_EQ(r.excludedCount, 0);
  EXPECT_EQ(r.mean, 1185);
  EXPECT_EQ(r.agreeing, 4);
  EXPECT_EQ(r.correction, 1005);
}

TEST(Consensus, ServersThatShareNoIntervalGiveTheMean) {
  Table table = {good(0, 100), good(1, 400), good(2, 700)};
  const OffsetBounds b[3] = {{90, 110}, {390, 410}, {690, 710}};
  for (int slot = 0; slot < 3; ++slot) table.bounds[slot] = b[slot];
  const ConsensusResult r = consensusOf(table);
  EXPECT_EQ(r.agreeing, 0);
  EXPECT_EQ(r.correction, 400);
  // An excluded outlier's bounds take no part in the agreement.
  Table outlier = {good(0, 100), good(1, 120), good(2, 1900), good(3, 9000)};
  const OffsetBounds c[4] = {{90, 130}, {100, 140}, {1890, 1910}, {100, 130}};
  for (int slot = 0; slot < 4; ++slot) outlier.bounds[slot] = c[slot];
  const ConsensusResult o = consensusOf(outlier);
  EXPECT_EQ(excludedOf(o), std::vector<int>{3});
  EXPECT_EQ(o.agreeing, 2);
  EXPECT_EQ(o.correction, 115);
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

TEST(Consensus, BoundsThatDoNotHoldStandForHalfASecondAround) {
  // No bounds at all: each server still agrees as [c - 500, c + 500).
  const ConsensusResult r = consensusOf({good(0, 0), good(1, 0), good(2, 900)});
  EXPECT_EQ(r.agreeing, 3);
  EXPECT_EQ(r.correction, 450);  // the middle of [400, 500), not the mean 300
}

TEST(RecordedCorrection, AKeptServerShowsThePointOfItsBoundsNearestTheAppliedValue) {
  Table table = {good(0, 1000), good(1, 1018), good(2, 990), good(3, 992), {4, 1017, STATUS_GOOD, ""},
                 good(5, 975), good(6, 1600), good(7, 5000), {8, 1550, STATUS_UNUSED, "h.test"},
                 {9, 1020, STATUS_TEST, "i.test"}};
  const OffsetBounds b[10] = {{990, 1010}, {1006, 1030}, {1005, 1030}, {980, 1005}, {1010, 1030},
                              {950, 1000}, {0, 0}, {4990, 5010}, {1500, 1600}, {1010, 1030}};
  for (int slot = 0; slot < 10; ++slot) table.bounds[slot] = b[slot];
  ConsensusResult agreed = {};
  agreed.found = true;
  agreed.correction = 1005;
  agreed.agreeing = 2;
  agreed.excludedCount = 1;
  agreed.excluded[0] = 7;
  const int64_t expected[10] = {
      1005,  // inside
      1006,  // above: its low edge
      1005,  // starting at the applied value
      1004,  // ending at it: half-open, so its last point
      1017,  // a slot without a name is no server
      999,   // below: its last point
      1100,  // no bounds: half a second around its own correction
      5000,  // an outlier keeps its own correction
      1550,  // so does one already marked unused
      1020,  // and a test result
  };
  for (int slot = 0; slot < 10; ++slot)
    EXPECT_EQ(recordedCorrection(table.records, table.bounds, agreed, slot), expected[slot]) << slot;

  // Without an agreement (the mean applied) every record keeps its own correction.
  ConsensusResult mean = agreed;
  mean.agreeing = 0;
  for (int slot = 0; slot < 10; ++slot)
    EXPECT_EQ(recordedCorrection(table.records, table.bounds, mean, slot), table.records[slot].correction);
}

TEST(RecordedCorrection, TheServerOffByLessThanTheLimitShowsItsEdgeNearestTheOthers) {
  Table table = {good(0, 1005), good(1, 1004), good(2, 1006), good(3, 1905)};
  const OffsetBounds b[4] = {{990, 1010}, {1000, 1030}, {980, 1020}, {1880, 1930}};
  for (int slot = 0; slot < 4; ++slot) table.bounds[slot] = b[slot];
  const ConsensusResult r = consensusOf(table);
  ASSERT_EQ(r.correction, 1005);
  EXPECT_EQ(recordedCorrection(table.records, table.bounds, r, 1), 1005);
  EXPECT_EQ(recordedCorrection(table.records, table.bounds, r, 3), 1880);
  // Its mirror image below the others shows its upper edge.
  table.records[3].correction = 105;
  table.bounds[3] = {80, 130};
  EXPECT_EQ(recordedCorrection(table.records, table.bounds, consensusOf(table), 3), 129);
}

}  // namespace

namespace {

TEST(Consensus, MicrosecondBoundsGiveTheOffsetAndItsUncertainty) {
  // NTP servers proving sub-millisecond intervals: the agreed interval is
  // [250400, 250700) us, the correction its middle to the nearest millisecond.
  Table table = {good(0, 250), good(1, 250), good(2, 251)};
  OffsetBounds us[SERVER_SLOTS] = {};
  us[0] = {250100, 250700};
  us[1] = {250400, 251000};
  us[2] = {250200, 250900};
  ConsensusResult r = computeConsensus(table.records, us);
  EXPECT_EQ(r.agreeing, 3);
  EXPECT_EQ(r.usable, 3);
  EXPECT_EQ(r.offsetUs, 250550);
  EXPECT_EQ(r.correction, 251);
  EXPECT_EQ(r.uncertaintyUs, 150u);
  // A negative offset rounds the same way.
  us[0] = {-1300, -1100};
  us[1] = {-1250, -1150};
  us[2] = {-1210, -1189};
  r = computeConsensus(table.records, us);
  EXPECT_EQ(r.offsetUs, -1200);
  EXPECT_EQ(r.correction, -1);
  EXPECT_EQ(r.uncertaintyUs, 11u);  // half of 21, up
}

TEST(Consensus, TheMeanIsAsUncertainAsTheBoundsReach) {
  // No two agree: the mean 400 ms, and the truth may lie anywhere the kept
  // servers' bounds reach, here 310 ms below and 330 ms above it.
  Table table = {good(0, 100), good(1, 400), good(2, 700), good(3, 9000)};
  const OffsetBounds b[4] = {{90, 110}, {390, 410}, {690, 730}, {8990, 9010}};
  for (int slot = 0; slot < 4; ++slot) table.bounds[slot] = b[slot];
  const ConsensusResult r = consensusOf(table);
  EXPECT_EQ(r.usable, 4);
  EXPECT_EQ(r.agreeing, 0);
  EXPECT_EQ(r.offsetUs, 400000);
  EXPECT_EQ(r.uncertaintyUs, 330000u);
  // One server alone agrees with itself, as sure as its own bounds.
  Table one = {good(7, 100)};
  one.bounds[7] = {80, 120};
  const ConsensusResult single = consensusOf(one);
  EXPECT_EQ(single.agreeing, 1);
  EXPECT_EQ(single.uncertaintyUs, 20000u);
}


// Bounds in microseconds, set directly; authenticated marks NTS servers.
struct Proven {
  ServerRecord records[SERVER_SLOTS];
  OffsetBounds us[SERVER_SLOTS];
  bool authenticated[SERVER_SLOTS];
  Proven() {
    std::memset(records, 0, sizeof records);
    std::memset(us, 0, sizeof us);
    std::memset(authenticated, 0, sizeof authenticated);
  }
  void add(int slot, int64_t lowUs, int64_t highUs, bool isAuthenticated, int32_t status = STATUS_GOOD) {
    std::strncpy(records[slot].name, "time.test", SERVER_NAME_SIZE - 1);
    records[slot].status = status;
    records[slot].enabled = 1;
    records[slot].correction = nearestMillis((lowUs + highUs) / 2);
    us[slot] = {lowUs, highUs};
    authenticated[slot] = isAuthenticated;
  }
  ConsensusResult run() const { return computeAuthenticatedConsensus(records, us, authenticated); }
};

TEST(AuthenticatedConsensus, WithoutAnAuthenticatedGoodServerThePlainRuleStands) {
  Proven p;
  p.add(0, 100000, 200000, false);
  p.add(1, 150000, 250000, false);
  p.add(2, 4000000, 4100000, false);
  // An authenticated server that failed, or proved nothing, changes nothing.
  p.add(3, -9000000, -8000000, true, STATUS_NOT_AUTHENTIC);
  p.add(4, 0, 0, true);
  const ConsensusResult plain = computeConsensus(p.records, p.us);
  const ConsensusResult r = p.run();
  EXPECT_EQ(plain.correction, r.correction);
  EXPECT_EQ(plain.offsetUs, r.offsetUs);
  EXPECT_EQ(plain.agreeing, r.agreeing);
  EXPECT_EQ(plain.excludedCount, r.excludedCount);
  EXPECT_EQ(0, r.authenticated);
}

TEST(AuthenticatedConsensus, TheAuthenticatedDecideAndTheOthersOnlyNarrowInside) {
  Proven p;
  // Two authenticated servers agree on 100..300 ms.
  p.add(0, 100000, 300000, true);
  p.add(1, 50000, 300000, true);
  // Three plain servers agree elsewhere: they cannot move the correction...
  p.add(2, 5000000, 5100000, false);
  p.add(3, 5000000, 5100000, false);
  p.add(4, 5000000, 5100000, false);
  // ...while one inside narrows it.
  p.add(5, 200000, 260000, false);
  const ConsensusResult r = p.run();
  ASSERT_TRUE(r.found);
  EXPECT_EQ(230000, r.offsetUs);
  EXPECT_EQ(230, r.correction);
  EXPECT_EQ(30000u, r.uncertaintyUs);
  EXPECT_EQ(3, r.agreeing);
  EXPECT_EQ(6, r.usable);
  EXPECT_EQ(2, r.authenticated);
  EXPECT_EQ((std::vector<int>{2, 3, 4}), excludedOf(r));
}

TEST(AuthenticatedConsensus, AnAuthenticatedServerOutsideTheirAgreementIsExcluded) {
  Proven p;
  p.add(0, -1000, 1000, true);
  p.add(1, -500, 1500, true);
  p.add(7, 800000, 900000, true);
  const ConsensusResult r = p.run();
  EXPECT_EQ(250, r.offsetUs);
  EXPECT_EQ(0, r.correction);
  EXPECT_EQ(2, r.agreeing);
  EXPECT_EQ(3, r.authenticated);
  EXPECT_EQ(std::vector<int>{7}, excludedOf(r));
}

TEST(AuthenticatedConsensus, OneAuthenticatedServerAloneDecides) {
  Proven p;
  p.add(0, -2000000, -1990000, true);
  p.add(1, 0, 10000, false);
  const ConsensusResult r = p.run();
  EXPECT_EQ(-1995000, r.offsetUs);
  EXPECT_EQ(-1995, r.correction);
  EXPECT_EQ(1, r.agreeing);
  EXPECT_EQ(std::vector<int>{1}, excludedOf(r));
  // The offset lies inside a half-open interval: high itself is outside.
  Proven edge;
  edge.add(0, 0, 10000, true);
  edge.add(1, 10000, 20000, false);
  edge.add(2, -10000, 5000, false);
  const ConsensusResult e = edge.run();
  EXPECT_EQ(2500, e.offsetUs);
  EXPECT_EQ(std::vector<int>{1}, excludedOf(e));
  // A one-microsecond agreement lies at its own low end; a server whose
  // bounds end just there misses it.
  Proven tight;
  tight.add(0, 5, 6, true);
  tight.add(1, 0, 5, false);
  const ConsensusResult t = tight.run();
  EXPECT_EQ(5, t.offsetUs);
  EXPECT_EQ(std::vector<int>{1}, excludedOf(t));
}

}  // namespace
