// What a server row shows and where it sorts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "servers/server_rows.h"

namespace {

struct Row {
  ServerRecord record;
  ServerQuery query;
};

Row makeRow(const char* name, int32_t status, uint32_t latency = 0, int64_t correction = 0, int32_t enabled = 1) {
  Row row;
  std::memset(&row, 0, sizeof row);
  setServerName(row.record, name);
  row.record.enabled = enabled;
  row.record.status = status;
  row.record.latency = latency;
  row.record.correction = correction;
  return row;
}

Row inFlight(const char* name, int32_t phase, int32_t sampleIndex) {
  Row row = makeRow(name, STATUS_NONE);
  row.query.phase = phase;
  row.query.sampleIndex = sampleIndex;
  return row;
}

std::string texts(const Row& row) {
  char latency[ROW_TEXT_SIZE], correction[ROW_TEXT_SIZE];
  std::memset(latency, 'z', sizeof latency);
  std::memset(correction, 'z', sizeof correction);
  serverRowTexts(row.record, row.query, latency, correction);
  return std::string(latency) + "|" + correction;
}

TEST(ServerRowTexts, QueryInFlight) {
  EXPECT_EQ(texts(inFlight("a", PHASE_DNS, 0)), "DNS Lookup...|");
  EXPECT_EQ(texts(inFlight("a", PHASE_CONNECTING, 0)), "Connecting 1...|");
  EXPECT_EQ(texts(inFlight("a", PHASE_CONNECTING, 2)), "Connecting 3...|");
  EXPECT_EQ(texts(inFlight("a", PHASE_READING, 1)), "Reading 2...|");
  // The phase wins over an old result in the record.
  Row reading = inFlight("a", PHASE_READING, 0);
  reading.record.status = STATUS_GOOD;
  EXPECT_EQ(texts(reading), "Reading 1...|");
  EXPECT_EQ(texts(inFlight("a", PHASE_KEY_EXCHANGE, 0)), "Key Exchange...|");
  EXPECT_EQ(texts(inFlight("a", 9, 0)), "|");
}

TEST(ServerRowTexts, IdleByStatus) {
  const char* const failures[] = {"Winsock Error", "No Response", "Slow Response", "Refused",
                                  "Net is Down",   "No DNS entry", "Disabled",     "Interrupted"};
  for (int status = 1; status <= 8; ++status) {
    EXPECT_EQ(texts(makeRow("a", status, 45, -1234)), std::string(failures[status - 1]) + "|");
  }
  EXPECT_EQ(texts(makeRow("a", STATUS_GOOD, 45, -1234)), "45|-1.2s");
  EXPECT_EQ(texts(makeRow("a", STATUS_UNUSED, 7, 2500)), "7|+2.5s (unused)");
  EXPECT_EQ(texts(makeRow("a", STATUS_TEST, 0, 0)), "0| 0.0s (test)");
  // A latency past 2^31 ms can only come from a damaged record; it shows signed.
  EXPECT_EQ(texts(makeRow("a", STATUS_GOOD, 0xFFFFFFFFu, 0)), "-1| 0.0s");
  for (int status : {0, 14, 99, 103, -1, -3}) EXPECT_EQ(texts(makeRow("a", status, 45, 5)), "|") << status;
}

TEST(ServerRowTexts, AuthenticatedResultsSaySo) {
  Row good = makeRow("nts:4460", STATUS_GOOD, 45, -1234);
  good.query.authenticated = 1;
  EXPECT_EQ(texts(good), "45|-1.2s (authenticated)");
  Row unused = makeRow("nts:4460", STATUS_UNUSED, 7, 2500);
  unused.query.authenticated = 1;
  EXPECT_EQ(texts(unused), "7|+2.5s (unused, authenticated)");
  Row test = makeRow("nts:4460", STATUS_TEST, 0, 0);
  test.query.authenticated = 1;
  EXPECT_EQ(texts(test), "0| 0.0s (test, authenticated)");
  // A failure shows its own text alone, whatever an earlier query proved.
  Row failed = makeRow("nts:4460", STATUS_NO_TLS13, 45, 5);
  failed.query.authenticated = 1;
  EXPECT_EQ(texts(failed), "No TLS 1.3|");
  const char* const failures[] = {"No TLS 1.3", "Bad Certificate", "NTS Refused", "Not Authentic",
                                  "One TLS Key Only"};
  for (int status = STATUS_NO_TLS13; status <= STATUS_ONE_KEY_ONLY; ++status)
    EXPECT_EQ(texts(makeRow("a", status, 45, 5)), std::string(failures[status - STATUS_NO_TLS13]) + "|");
}

int byteCompare(const char* a, const char* b) { return std::strcmp(a, b); }

// Names of the rows in the order the list shows them.
std::string sorted(std::vector<Row> rows, int column, int direction) {
  std::vector<int> order;
  for (size_t i = 0; i < rows.size(); ++i) order.push_back(static_cast<int>(i));
  std::sort(order.begin(), order.end(), [&](int a, int b) {
    return compareServerRows(rows[a].record, rows[a].query, rows[b].record, rows[b].query, column, direction,
                             byteCompare) < 0;
  });
  std::string names;
  for (int i : order) names += std::string(names.empty() ? "" : " ") + rows[i].record.name;
  return names;
}

TEST(ServerRowOrder, ByLatency) {
  const std::vector<Row> rows = {
      makeRow("slow", STATUS_GOOD, 300),      makeRow("fast", STATUS_TEST, 20),
      makeRow("mid", STATUS_UNUSED, 100),     makeRow("none", STATUS_NONE),
      makeRow("refused", STATUS_REFUSED),     makeRow("winsock", STATUS_WINSOCK_ERROR),
      makeRow("intr", STATUS_INTERRUPTED),    inFlight("dns", PHASE_DNS, 0),
      inFlight("read3", PHASE_READING, 2),    inFlight("conn2", PHASE_CONNECTING, 1),
      makeRow("off", STATUS_GOOD, 1, 0, 0),   makeRow("offfail", STATUS_NO_RESPONSE, 0, 0, 0),
  };
  EXPECT_EQ(sorted(rows, 1, 1), "fast mid slow intr refused winsock none read3 conn2 dns off offfail");
  // Reversed: groups and latencies turn round, enabled rows stay on top.
  EXPECT_EQ(sorted(rows, 1, -1), "dns conn2 read3 none winsock refused intr slow mid fast offfail off");
}

TEST(ServerRowOrder, LatencyAboveTwoToThe31StaysUnsigned) {
  const std::vector<Row> rows = {makeRow("huge", STATUS_GOOD, 0x80000000u), makeRow("small", STATUS_GOOD, 5)};
  EXPECT_EQ(sorted(rows, 1, 1), "small huge");
}

TEST(ServerRowOrder, ByCorrectionKeepsGroups) {
  const std::vector<Row> rows = {
      makeRow("plus", STATUS_GOOD, 10, 500),    makeRow("minus", STATUS_GOOD, 10, -800),
      makeRow("zero", STATUS_TEST, 10, 0),      makeRow("fail", STATUS_NO_RESPONSE),
      makeRow("none", STATUS_NONE),             inFlight("dns", PHASE_DNS, 0),
      makeRow("off", STATUS_GOOD, 10, -9, 0),
  };
  EXPECT_EQ(sorted(rows, 2, 1), "minus zero plus fail none dns off");
  EXPECT_EQ(sorted(rows, 2, -1), "plus zero minus fail none dns off");
}

TEST(ServerRowOrder, TiesByNameInBothDirections) {
  const std::vector<Row> rows = {makeRow("b", STATUS_GOOD, 40), makeRow("c", STATUS_GOOD, 40),
                                 makeRow("a", STATUS_GOOD, 40), makeRow("z", STATUS_GOOD, 10)};
  EXPECT_EQ(sorted(rows, 1, 1), "z a b c");
  EXPECT_EQ(sorted(rows, 1, -1), "a b c z");
  const std::vector<Row> failed = {makeRow("y", STATUS_REFUSED), makeRow("x", STATUS_REFUSED)};
  EXPECT_EQ(sorted(failed, 1, -1), "x y");
  EXPECT_EQ(sorted(failed, 2, -1), "x y");
}

TEST(ServerRowOrder, ByNameIgnoresEverythingElse) {
  const std::vector<Row> rows = {makeRow("beta", STATUS_GOOD, 1), makeRow("alpha", STATUS_NONE, 0, 0, 0),
                                 makeRow("Gamma", STATUS_REFUSED)};
  EXPECT_EQ(sorted(rows, 0, 1), "Gamma alpha beta");
  EXPECT_EQ(sorted(rows, 0, -1), "beta alpha Gamma");
}

TEST(ServerRowOrder, InFlightKeys) {
  // An in-flight slot that already has a status sorts by that status.
  Row stale = inFlight("stale", PHASE_READING, 2);
  stale.record.status = STATUS_REFUSED;
  const std::vector<Row> rows = {inFlight("first", PHASE_CONNECTING, 0), inFlight("lookup", PHASE_DNS, 0),
                                 inFlight("third", PHASE_CONNECTING, 2), stale,
                                 makeRow("idle", STATUS_NONE)};
  EXPECT_EQ(sorted(rows, 1, 1), "stale idle third first lookup");
}

TEST(ServerRowOrder, EnabledFlagIsABoolean) {
  const std::vector<Row> rows = {makeRow("two", STATUS_GOOD, 50, 0, 2), makeRow("one", STATUS_GOOD, 10, 0, 1)};
  EXPECT_EQ(sorted(rows, 1, 1), "one two");
}

}  // namespace
