// The sweep behind the servers' agreement: every interval start counts one up,
// every end one down, and the count is highest on the interval most servers share.
#include "query/agreement.h"

#include <algorithm>

namespace {

struct Edge {
  int64_t at;
  int step;  // +1 an interval starts here, -1 one ends here
};

// An interval ending where another starts does not meet it: ends sort first.
bool edgeBefore(const Edge& a, const Edge& b) { return a.at != b.at ? a.at < b.at : a.step < b.step; }

}  // namespace

Agreement findAgreement(const OffsetBounds intervals[], int count) {
  Edge edges[2 * AGREEMENT_CAPACITY];
  int n = 0;
  for (int i = 0; i < count && i < AGREEMENT_CAPACITY; ++i) {
    if (!boundsHold(intervals[i])) continue;
    edges[n++] = {intervals[i].low, +1};
    edges[n++] = {intervals[i].high, -1};
  }
  std::sort(edges, edges + n, edgeBefore);

  Agreement best = {};
  int covering = 0;
  for (int k = 0; k < n; ++k) {
    covering += edges[k].step;
    // A start is always followed by at least its own end, so k + 1 exists.
    if (edges[k].step < 0 || edges[k + 1].at == edges[k].at) continue;
    const OffsetBounds here = {edges[k].at, edges[k + 1].at};
    const bool narrower = static_cast<uint64_t>(here.high) - static_cast<uint64_t>(here.low) <
                          static_cast<uint64_t>(best.bounds.high) - static_cast<uint64_t>(best.bounds.low);
    if (covering > best.count || (covering == best.count && narrower)) {
      best.count = covering;
      best.bounds = here;
    }
  }
  return best;
}
