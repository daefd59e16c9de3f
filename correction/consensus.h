// Combining the good servers' corrections into one: the farthest server is
// excluded again and again while it lies OUTLIER_LIMIT_MS or more from the
// mean; then the interval most of the remaining servers' bounds share gives
// the correction, so a server that is off by less than the limit cannot drag
// the clock away from the others.
#pragma once
#include <cstdint>
#include "query/sample_math.h"
#include "servers/server_record.h"

const int64_t OUTLIER_LIMIT_MS = 2000;

struct ConsensusResult {
  bool found;                        // at least one good server
  int64_t correction;                // the correction to apply when found (ms)
  int64_t offsetUs;                  // the same before it is cut to whole ms
  uint32_t uncertaintyUs;            // how far the truth may lie from offsetUs
  int64_t mean;                      // mean correction of the servers kept
  int agreeing;                      // servers sharing the applied interval; 0: the mean was applied
  int usable;                        // good servers, outliers included
  int authenticated;                 // good servers that proved who they are (NTS)
  int excludedCount;
  int excluded[SERVER_SLOTS];        // slots excluded, in the order of exclusion
};

// Reads only named records with STATUS_GOOD and their bounds in microseconds
// (bounds that do not hold count as half a second either side of the
// record's correction); modifies nothing. The correction is the middle of
// the agreed interval to the nearest millisecond; where no two servers agree, or
// only one is left, the mean is applied. The uncertainty is half the agreed
// interval, or the farthest a kept server's bounds reach from the mean.
ConsensusResult computeConsensus(const ServerRecord records[SERVER_SLOTS],
                                 const OffsetBounds boundsUs[SERVER_SLOTS]);

// The same where authenticated servers answered: the good servers that are
// authenticated decide where the correction lies and the others only narrow
// it inside (findAuthenticatedAgreement); the correction is the middle of
// that interval, and every good server whose bounds miss it is excluded.
// Without an authenticated good server this is computeConsensus unchanged.
ConsensusResult computeAuthenticatedConsensus(const ServerRecord records[SERVER_SLOTS],
                                              const OffsetBounds boundsUs[SERVER_SLOTS],
                                              const bool authenticated[SERVER_SLOTS]);

// What a server's record shows once the run is over. After an agreement a good
// server that was kept shows the point of its own bounds nearest the applied
// correction: the applied value itself when its bounds hold it, else its
// nearest edge, which is how far off it is at least. Outliers, records of
// other statuses and runs without an agreement keep the record's correction,
// the middle of the server's own bounds. Bounds that do not hold count as in
// computeConsensus.
int64_t recordedCorrection(const ServerRecord records[SERVER_SLOTS], const OffsetBounds bounds[SERVER_SLOTS],
                           const ConsensusResult& result, int slot);
