// Where the servers agree when some of them proved who they are: the
// authenticated servers alone decide where the correction may lie; the
// others can only narrow that, never move it. Without any authenticated
// server the plain consensus decides as before.
#pragma once
#include "query/agreement.h"

struct AuthenticatedAgreement {
  bool applies;       // an authenticated server's bounds hold: this decides, not the plain consensus
  int authenticated;  // authenticated servers whose bounds cover the result
  int narrowing;      // other servers whose bounds cover it; 0: none met the authenticated agreement
  OffsetBounds bounds;
};

// Over the first count servers' microsecond bounds (at most
// AGREEMENT_CAPACITY; bounds that do not hold are skipped). The
// authenticated servers' agreement is the interval most of them share (the
// narrowest, then the lowest, of equals); the other servers' bounds, cut to
// it, narrow it to the part most of them share in turn.
AuthenticatedAgreement findAuthenticatedAgreement(const OffsetBounds boundsUs[], const bool authenticated[],
                                                  int count);
