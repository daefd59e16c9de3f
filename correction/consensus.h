// Combining the good servers' corrections into one, excluding the farthest
// server again and again while it lies OUTLIER_LIMIT_MS or more from the mean.
#pragma once
#include <cstdint>
#include "servers/server_record.h"

const int64_t OUTLIER_LIMIT_MS = 2000;

struct ConsensusResult {
  bool found;                        // at least one good server
  int64_t mean;                      // the correction to apply when found
  int excludedCount;
  int excluded[SERVER_SLOTS];        // slots excluded, in the order of exclusion
};

// Reads only named records with STATUS_GOOD; does not modify the records.
ConsensusResult computeConsensus(const ServerRecord records[SERVER_SLOTS]);

// The 8-byte little-endian image of a signed 64-bit setting
// ("LastCorrectionTime", "LastCorrectionValue").
void packInt64(int64_t value, uint8_t image[8]);
