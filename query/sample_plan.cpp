// Stagger, aim and spacing of a run's samples.
#include "query/sample_plan.h"

#include "query/agreement.h"

// More samples than any query takes.
static const int SAMPLE_CORE_CAPACITY = 8;

int64_t firstSampleDelay(int index, int count) {
  if (count <= 0 || index <= 0) return 0;
  return static_cast<int64_t>(index) * 1000 / (2 * static_cast<int64_t>(count));
}

// a mod 1000 in 0..999, for any sign.
static int64_t phaseOf(int64_t a) {
  const int64_t r = a % 1000;
  return r < 0 ? r + 1000 : r;
}

Millis1900 sampleStartFor(Millis1900 earliest, int64_t aim, int64_t lead) {
  // Wanted: (start + lead) = -aim modulo 1000.
  const int64_t wanted = phaseOf(-phaseOf(aim) - phaseOf(lead));
  return earliest + phaseOf(wanted - phaseOf(earliest));
}

OffsetBounds sampleCore(const int64_t corrections[], int taken) {
  if (taken <= 0) return OffsetBounds{0, 0};
  OffsetBounds core = boundsAround(corrections[0]);
  uint64_t sum = static_cast<uint64_t>(corrections[0]);  // wraps like the signed sum
  for (int i = 1; i < taken; ++i) {
    const OffsetBounds b = boundsAround(corrections[i]);
    if (b.low > core.low) core.low = b.low;
    if (b.high < core.high) core.high = b.high;
    sum += static_cast<uint64_t>(corrections[i]);
  }
  return boundsHold(core) ? core : boundsAround(static_cast<int64_t>(sum) / taken);
}

OffsetBounds provenCore(const OffsetBounds bounds[], int taken) {
  if (taken <= 0) return OffsetBounds{0, 0};
  OffsetBounds core = bounds[0];
  for (int i = 1; i < taken; ++i) {
    if (bounds[i].low > core.low) core.low = bounds[i].low;
    if (bounds[i].high < core.high) core.high = bounds[i].high;
  }
  if (boundsHold(core)) return core;
  int64_t middles[SAMPLE_CORE_CAPACITY];
  const int n = taken < SAMPLE_CORE_CAPACITY ? taken : SAMPLE_CORE_CAPACITY;
  for (int i = 0; i < n; ++i) middles[i] = boundsMidpoint(bounds[i]);
  return sampleCore(middles, n);
}

// Cores that merely touch, within the jitter of two exchanges, do not make
// servers agree for aiming.
static const uint64_t CORE_TOUCH_MS = 2;

int64_t sampleAim(const OffsetBounds cores[], int count, int self, int sampleIndex) {
  const OffsetBounds own = cores[self];
  if (sampleIndex < 2 || count < 2) return boundsMidpoint(own);

  OffsetBounds inner[AGREEMENT_CAPACITY];
  const int n = count < AGREEMENT_CAPACITY ? count : AGREEMENT_CAPACITY;
  for (int i = 0; i < n; ++i) {
    // Unsigned, so that cores of absurd offsets wrap instead of overflowing.
    // A core under four touches wide loses a quarter of its width each side.
    const uint64_t width = static_cast<uint64_t>(cores[i].high) - static_cast<uint64_t>(cores[i].low);
    const uint64_t touch = width < 4u * CORE_TOUCH_MS ? width / 4u : static_cast<uint64_t>(CORE_TOUCH_MS);
    inner[i].low = static_cast<int64_t>(static_cast<uint64_t>(cores[i].low) + touch);
    inner[i].high = static_cast<int64_t>(static_cast<uint64_t>(cores[i].high) - touch);
  }
  const Agreement shared = findAgreement(inner, n);
  const OffsetBounds g = shared.bounds;
  const bool member = shared.count >= 2 && own.low <= g.low && g.high <= own.high;
  if (!member || self >= n) return boundsMidpoint(own);

  // The members split the shared core evenly among them, in server order.
  int members = 0, rank = 0;
  for (int i = 0; i < n; ++i) {
    if (cores[i].low <= g.low && g.high <= cores[i].high) {
      if (i == self) rank = members;
      ++members;
    }
  }
  return g.low + (g.high - g.low) * (rank + 1) / (members + 1);
}

uint64_t nextContactAllowed(const ContactLog& log, uint32_t address, uint64_t now) {
  for (int i = 0; i < CONTACT_LOG_SIZE; ++i) {
    if (!log.used[i] || log.address[i] != address) continue;
    const uint64_t allowed = log.at[i] + SAMPLE_SPACING_MS + SPACING_MARGIN_MS;
    return allowed > now ? allowed : now;
  }
  return now;
}

void recordContact(ContactLog& log, uint32_t address, uint64_t now) {
  // The address's own entry, else a free one or one whose spacing has
  // passed; with every entry recent (never with 50 servers) the oldest.
  int chosen = -1, oldest = 0;
  for (int i = 0; i < CONTACT_LOG_SIZE; ++i) {
    if (log.used[i] && log.address[i] == address) {
      chosen = i;
      break;
    }
    const bool stale = !log.used[i] || log.at[i] + SAMPLE_SPACING_MS + SPACING_MARGIN_MS <= now;
    if (stale && chosen < 0) chosen = i;
    if (log.at[i] < log.at[oldest]) oldest = i;
  }
  if (chosen < 0) chosen = oldest;
  log.used[chosen] = true;
  log.address[chosen] = address;
  log.at[chosen] = now;
}
