// Transient state of one slot's query: phase, samples, the times that bound
// them, and the socket or host lookup in flight, for either protocol. The
// server table holds one beside each slot's record; the query side fills it.
// Handles are kept as integers so the record stays free of platform headers.
#pragma once
#include <cstdint>
#include "timebase/millis.h"
#include "timebase/offset_bounds.h"

const int SAMPLES_PER_QUERY = 3;
const int HOST_ENTRY_SIZE = 1024;  // MAXGETHOSTSTRUCT

enum QueryPhase {
  PHASE_IDLE = 0,
  PHASE_DNS = 1,
  PHASE_CONNECTING = 2,
  PHASE_READING = 3,    // NTP: request sent, waiting for its answer
  PHASE_WAITING = 4,  // until nextSampleAt, when the next sample connects
  PHASE_KEY_EXCHANGE = 5,  // NTS: connecting to the key exchange, TLS, its records
};

struct ServerQuery {
  uint8_t dirty;           // the slot's list row must be redrawn
  uint8_t protocol;        // a ServerProtocol, from the name at the query's start
  uint8_t authenticated;   // NTS: every sample of the finished query was authenticated
  int32_t phase;           // a QueryPhase
  int32_t sampleIndex;     // 0..2, 3 after the last answer
  uint32_t address;        // IPv4, network byte order
  uint32_t sampleLatency[SAMPLES_PER_QUERY];
  int64_t sampleCorrection[SAMPLES_PER_QUERY];
  OffsetBounds sampleBounds[SAMPLES_PER_QUERY];
  OffsetBounds sampleBoundsUs[SAMPLES_PER_QUERY];  // NTP: the same in microseconds
  Millis1900 sampleAt[SAMPLES_PER_QUERY];          // when each answer was read
  Millis1900 sampleStartedAt;    // connect called (NTP: request sent) for the current sample
  int64_t sampleStartedUs;       // NTP: the same in microseconds
  uint64_t requestStamp;         // NTP: the transmit stamp the answer must echo
  Millis1900 sampleConnectedAt;  // its connection seen established
  Millis1900 nextSampleAt;       // PHASE_WAITING: when the next sample connects
  uint8_t aimPending;            // nextSampleAt is only the earliest; aim when it comes
  int64_t leadMs;                // from a connect call to the server's reading, as last seen
  OffsetBounds bounds;           // the server's bounds once its query has finished
  OffsetBounds boundsUs;         // the same in microseconds, as they hold at boundsAt
  Millis1900 boundsAt;
  uint32_t runNumber;            // the run the query belongs to
  int32_t runOrder;              // its place among the run's queries
  uintptr_t sampleSocket;  // 0: none
  uintptr_t lookupTask;    // 0: none
};
