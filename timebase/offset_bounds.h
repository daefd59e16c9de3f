// What an exchange proves about a server's offset: a half-open interval of
// offsets. Kept beside the time unit so that the server table can hold the
// bounds of each slot's query without knowing how a query finds them.
#pragma once
#include <cstdint>

// A half-open interval [low, high) of offsets (server minus local, ms; or us
// where a name says so).
struct OffsetBounds {
  int64_t low;
  int64_t high;
};

inline bool boundsHold(const OffsetBounds& b) { return b.low < b.high; }
