// When a run's samples connect. Samples taken in the same instant cut the same
// fraction of a second off their answers and teach nothing new, so the first
// samples of the run's servers are staggered, and each later sample is timed
// so that its answer cuts the interval its server has left open. No server
// address is contacted twice within SAMPLE_SPACING_MS.
#pragma once
#include <cstdint>
#include "query/sample_math.h"

const int64_t SAMPLE_SPACING_MS = 4000;
// Added to the spacing: packets on their way can bring two contacts that left
// here exactly 4 s apart a little closer by the time they arrive.
const int64_t SPACING_MARGIN_MS = 20;

// How long after the run's start the first sample of the index-th of count
// servers connects: the servers spread over the first half second. Their
// second samples, each halving its own server's interval, then cut the other
// half, so that together the first two rounds cut the second evenly.
int64_t firstSampleDelay(int index, int count);

// A server that reads its clock at local time r splits the offsets at -r
// modulo one second. The first start at or after earliest whose reading,
// lead ms after the start, cuts the offsets at aim.
Millis1900 sampleStartFor(Millis1900 earliest, int64_t aim, int64_t lead);

// What a server's samples say taken at face value: each sample's correction
// with half a second either side, intersected (when they do not intersect,
// their mean with half a second either side).
OffsetBounds sampleCore(const int64_t corrections[], int taken);
// What a server's samples prove when their bounds are tight (NTP): their
// intersection, or when they do not intersect, sampleCore of their middles.
OffsetBounds provenCore(const OffsetBounds bounds[], int taken);

// Where the next sample (sampleIndex 1 or 2) of server self should cut, from
// the cores of the run's servers that have answered. The second sample
// halves its own server's core. The third cuts inside the core most servers
// share, at its own of evenly spaced points, when its server is one of them;
// otherwise it halves its own core again. A core only a few ms wide (an NTP
// server's) is shrunk less, so that it still takes part in the sharing.
int64_t sampleAim(const OffsetBounds cores[], int count, int self, int sampleIndex);

// The last contacts with each server address, so that no address is asked
// again within the spacing: across samples, runs and test runs alike. Times
// are milliseconds of a monotonic counter.
const int CONTACT_LOG_SIZE = 128;

struct ContactLog {
  uint32_t address[CONTACT_LOG_SIZE];
  uint64_t at[CONTACT_LOG_SIZE];
  bool used[CONTACT_LOG_SIZE];
};

// The first moment the address may be contacted again (now when it may at once).
uint64_t nextContactAllowed(const ContactLog& log, uint32_t address, uint64_t now);
void recordContact(ContactLog& log, uint32_t address, uint64_t now);
