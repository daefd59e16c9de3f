// The agreement of authenticated servers, narrowed by the others: worked
// cases, and random tables against a slow reference that looks at every
// offset and which servers' bounds cover it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "correction/authenticated_agreement.h"

namespace {

struct Server {
  OffsetBounds bounds;
  bool authenticated;
};

AuthenticatedAgreement agreementOf(const std::vector<Server>& servers) {
  std::vector<OffsetBounds> bounds;
  bool authenticated[AGREEMENT_CAPACITY + 2] = {};
  for (size_t i = 0; i < servers.size(); ++i) {
    bounds.push_back(servers[i].bounds);
    authenticated[i] = servers[i].authenticated;
  }
  return findAuthenticatedAgreement(bounds.data(), authenticated, static_cast<int>(servers.size()));
}

Server proven(int64_t low, int64_t high) { return {{low, high}, true}; }
Server plain(int64_t low, int64_t high) { return {{low, high}, false}; }

void expectBounds(const AuthenticatedAgreement& a, int64_t low, int64_t high) {
  EXPECT_TRUE(a.applies);
  EXPECT_EQ(low, a.bounds.low);
  EXPECT_EQ(high, a.bounds.high);
}

TEST(AuthenticatedAgreement, WithoutAnAuthenticatedServerThePlainRuleDecides) {
  EXPECT_FALSE(agreementOf({plain(0, 10), plain(5, 15)}).applies);
  EXPECT_FALSE(agreementOf({}).applies);
  // Authenticated bounds that do not hold are no authenticated answer.
  EXPECT_FALSE(agreementOf({proven(10, 10), proven(20, 5), plain(0, 30)}).applies);
}

TEST(AuthenticatedAgreement, OthersNarrowTheAuthenticatedAgreementButNeverMoveIt) {
  const AuthenticatedAgreement alone = agreementOf({proven(100, 200)});
  expectBounds(alone, 100, 200);
  EXPECT_EQ(1, alone.authenticated);
  EXPECT_EQ(0, alone.narrowing);

  const AuthenticatedAgreement narrowed = agreementOf({plain(150, 400), proven(100, 200)});
  expectBounds(narrowed, 150, 200);
  EXPECT_EQ(1, narrowed.authenticated);
  EXPECT_EQ(1, narrowed.narrowing);

  // Three others that agree elsewhere are outvoted by one authenticated server.
  const AuthenticatedAgreement outvoted =
      agreementOf({plain(300, 400), plain(310, 390), plain(320, 380), proven(100, 200)});
  expectBounds(outvoted, 100, 200);
  EXPECT_EQ(0, outvoted.narrowing);
  // Touching its edge is not meeting it: the bounds are half-open.
  expectBounds(agreementOf({proven(100, 200), plain(200, 300), plain(0, 100)}), 100, 200);

  // Inside, the part most of the others share.
  const AuthenticatedAgreement most =
      agreementOf({proven(0, 1000), plain(100, 300), plain(200, 400), plain(250, 900), plain(-50, 50)});
  expectBounds(most, 250, 300);
  EXPECT_EQ(3, most.narrowing);
}

TEST(AuthenticatedAgreement, TheAuthenticatedServersAgreeAmongThemselvesFirst) {
  const AuthenticatedAgreement a = agreementOf({proven(0, 100), proven(50, 150), proven(400, 500), plain(400, 500),
                                                plain(410, 490), plain(60, 70)});
  expectBounds(a, 60, 70);
  EXPECT_EQ(2, a.authenticated);
  EXPECT_EQ(1, a.narrowing);
  // Equally covered: the narrowest, then the lowest.
  expectBounds(agreementOf({proven(0, 100), proven(200, 250)}), 200, 250);
  expectBounds(agreementOf({proven(200, 250), proven(0, 50)}), 0, 50);
  // Bounds far apart in 64 bits.
  expectBounds(agreementOf({proven(INT64_MIN, INT64_MAX), plain(INT64_MIN, 0)}), INT64_MIN, 0);
}

TEST(AuthenticatedAgreement, ServersBeyondTheCapacityAreNotRead) {
  std::vector<Server> servers(AGREEMENT_CAPACITY, plain(0, 100));
  servers.push_back(proven(10, 20));
  servers.push_back(proven(10, 20));
  EXPECT_FALSE(agreementOf(servers).applies);
  servers[AGREEMENT_CAPACITY - 1] = proven(40, 60);
  const AuthenticatedAgreement a = agreementOf(servers);
  expectBounds(a, 40, 60);
  EXPECT_EQ(AGREEMENT_CAPACITY - 1, a.narrowing);
}

// The reference: of the offsets in [from, to), those covered by the most of
// the chosen intervals, as runs of offsets that the same intervals cover;
// the narrowest run, then the lowest. Zero coverage finds nothing.
struct CoveredRun {
  int covering;
  OffsetBounds bounds;
};

CoveredRun mostCovered(const std::vector<Server>& servers, bool authenticated, int64_t from, int64_t to) {
  auto coverSet = [&](int64_t p) {
    std::vector<bool> set;
    for (const Server& s : servers)
      set.push_back(s.authenticated == authenticated && s.bounds.low <= p && p < s.bounds.high);
    return set;
  };
  auto size = [](const std::vector<bool>& set) {
    int n = 0;
    for (bool b : set) n += b;
    return n;
  };
  int most = 0;
  for (int64_t p = from; p < to; ++p) most = std::max(most, size(coverSet(p)));
  CoveredRun best = {0, {0, 0}};
  if (most == 0) return best;
  for (int64_t p = from; p < to;) {
    const std::vector<bool> set = coverSet(p);
    int64_t end = p + 1;
    while (end < to && coverSet(end) == set) ++end;
    if (size(set) == most && (best.covering == 0 || end - p < best.bounds.high - best.bounds.low))
      best = {most, {p, end}};
    p = end;
  }
  return best;
}

TEST(AuthenticatedAgreement, MatchesTheReferenceOnRandomTables) {
  std::mt19937 random(8915);
  for (int table = 0; table < 3000; ++table) {
    std::vector<Server> servers(1 + random() % 7);
    for (Server& s : servers) {
      s.bounds.low = static_cast<int64_t>(random() % 30);
      s.bounds.high = s.bounds.low + static_cast<int64_t>(random() % 12) - 1;  // now and then empty
      s.authenticated = random() % 3 == 0;
    }
    const CoveredRun agreed = mostCovered(servers, true, -2, 45);
    const AuthenticatedAgreement a = agreementOf(servers);
    ASSERT_EQ(agreed.covering > 0, a.applies) << "table " << table;
    if (!a.applies) continue;
    CoveredRun expected = mostCovered(servers, false, agreed.bounds.low, agreed.bounds.high);
    if (expected.covering == 0) expected.bounds = agreed.bounds;
    EXPECT_EQ(agreed.covering, a.authenticated) << "table " << table;
    EXPECT_EQ(expected.covering, a.narrowing) << "table " << table;
    EXPECT_EQ(expected.bounds.low, a.bounds.low) << "table " << table;
    EXPECT_EQ(expected.bounds.high, a.bounds.high) << "table " << table;
  }
}

}  // namespace
