// Two agreements in turn: among the authenticated servers, then among the
// others inside the first.
#include "correction/authenticated_agreement.h"

AuthenticatedAgreement findAuthenticatedAgreement(const OffsetBounds boundsUs[], const bool authenticated[],
                                                  int count) {
  if (count > AGREEMENT_CAPACITY) count = AGREEMENT_CAPACITY;
  OffsetBounds proven[AGREEMENT_CAPACITY];
  int n = 0;
  for (int i = 0; i < count; ++i)
    if (authenticated[i] && boundsHold(boundsUs[i])) proven[n++] = boundsUs[i];
  AuthenticatedAgreement result = {};
  if (n == 0) return result;
  const Agreement agreed = findAgreement(proven, n);
  result.applies = true;
  result.authenticated = agreed.count;
  result.bounds = agreed.bounds;

  // A server that did not prove itself is heard only inside what the proven
  // ones agree on: its bounds cut to that interval, or not at all. Every
  // authenticated server that covers part of the agreement covers all of it,
  // so their count stands however far the others narrow it.
  OffsetBounds inside[AGREEMENT_CAPACITY];
  int m = 0;
  for (int i = 0; i < count; ++i) {
    if (authenticated[i]) continue;
    const OffsetBounds cut = {boundsUs[i].low > agreed.bounds.low ? boundsUs[i].low : agreed.bounds.low,
                              boundsUs[i].high < agreed.bounds.high ? boundsUs[i].high : agreed.bounds.high};
    if (boundsHold(cut)) inside[m++] = cut;
  }
  if (m == 0) return result;
  const Agreement narrowed = findAgreement(inside, m);
  result.narrowing = narrowed.count;
  result.bounds = narrowed.bounds;
  return result;
}
