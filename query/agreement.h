// Where the servers agree: the interval covered by the most servers' bounds,
// found by sweeping over their ends in order (intervals are half-open).
#pragma once
#include "query/sample_math.h"

const int AGREEMENT_CAPACITY = 64;

struct Agreement {
  int count;            // how many intervals cover it; 0 when none holds
  OffsetBounds bounds;  // the interval itself
};

// Over the first count intervals (at most AGREEMENT_CAPACITY; empty ones are
// skipped). Among equally covered intervals the narrowest wins, being the
// sharpest statement the servers make together; then the lowest.
Agreement findAgreement(const OffsetBounds intervals[], int count);
