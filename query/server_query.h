// Transient state of one slot's query: phase, samples and the socket or
// host lookup in flight. Handles are kept as integers so the record stays
// free of platform headers.
#pragma once
#include <cstdint>

const int SAMPLES_PER_QUERY = 3;
const int HOST_ENTRY_SIZE = 1024;  // MAXGETHOSTSTRUCT

enum QueryPhase {
  PHASE_IDLE = 0,
  PHASE_DNS = 1,
  PHASE_CONNECTING = 2,
  PHASE_READING = 3,
};

struct ServerQuery {
  uint8_t dirty;           // the slot's list row must be redrawn
  int32_t phase;           // a QueryPhase
  int32_t sampleIndex;     // 0..2, 3 after the last answer
  uint32_t address;        // IPv4, network byte order
  uint32_t sampleLatency[SAMPLES_PER_QUERY];
  int64_t sampleCorrection[SAMPLES_PER_QUERY];
  uintptr_t sampleSocket;  // 0: none
  uintptr_t lookupTask;    // 0: none
  alignas(8) char hostEntry[HOST_ENTRY_SIZE];
};
