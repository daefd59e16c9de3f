// The record of every correcting run, kept so that the program can learn how
// this computer's clock runs between corrections: one 32-byte entry a run,
// the newest 64 in the registry value "History" (oldest first).
#pragma once
#include <cstddef>
#include <cstdint>
#include "timebase/millis.h"

const int HISTORY_CAPACITY = 64;
const size_t HISTORY_ENTRY_SIZE = 32;
const size_t HISTORY_IMAGE_SIZE = HISTORY_CAPACITY * HISTORY_ENTRY_SIZE;

// What a run did with the offset it found.
enum HistoryAction {
  ACTION_STEPPED = 0,
  ACTION_SLEWED = 1,
  ACTION_STEP_REFUSED = 2,  // the system refused the step
  ACTION_BEYOND_LIMIT = 3,  // beyond what the program moves the clock on its own
  ACTION_DECLINED = 4,      // the user said No to the large step
  ACTION_NO_SERVER = 5,     // no usable server: no offset
};

// Flags, byte 28.
// The clock's own run was broken since the entry before (a resume from sleep,
// a step by someone else, the program's restart, a new user offset): the
// offsets before and after do not connect.
const uint8_t HISTORY_BREAK = 0x01;
// Bits 1-6: how many of the run's usable servers were authenticated (NTS),
// up to 63. Entries written before these bits were used hold 0 there, which
// reads as none. Bit 7 stays spare.
const uint8_t HISTORY_AUTHENTICATED_MASK = 0x7E;
const int HISTORY_AUTHENTICATED_MAX = 63;
inline int historyAuthenticated(uint8_t flags) { return (flags & HISTORY_AUTHENTICATED_MASK) >> 1; }
inline uint8_t withHistoryAuthenticated(uint8_t flags, int count) {
  const int kept = count < 0 ? 0 : count > HISTORY_AUTHENTICATED_MAX ? HISTORY_AUTHENTICATED_MAX : count;
  return static_cast<uint8_t>((flags & ~HISTORY_AUTHENTICATED_MASK) | (kept << 1));
}

struct HistoryEntry {
  Millis1900 measuredAt;   // this clock when the run measured, before its correction
  int64_t offsetUs;        // the servers' agreed time minus this clock
  uint32_t uncertaintyUs;  // half the width of what the servers agreed on
  uint8_t action;          // a HistoryAction
  uint8_t agreeing;        // servers that agreed
  uint8_t usable;          // servers that gave a usable answer
  int32_t rateBeforePpb;   // the rate correction in force since the entry before
  uint8_t flags;
  // The part of the entry before's slew not yet removed when this run
  // measured; stored in 24 bits, so it holds +-8.38 s.
  int32_t slewLeftUs;
};

const int32_t SLEW_LEFT_LIMIT_US = 8388607;

// No run finds an offset beyond this: answers are read in the 2^31-second
// era nearest this clock.
const int64_t HISTORY_OFFSET_LIMIT_US = 2147483648ll * 1000000;

// Whether a run could have written this entry: measured at a time this
// clock can show (1601 to 30828) and an offset within the era's reach. Any
// uncertainty is possible (32 bits hold up to 71 minutes). Only such entries
// are read from "History", so that no arithmetic on them can overflow.
bool historyEntryPossible(const HistoryEntry& entry);

struct HistoryLog {
  int count;
  HistoryEntry entries[HISTORY_CAPACITY];  // oldest first
};

void packHistoryEntry(const HistoryEntry& entry, uint8_t image[HISTORY_ENTRY_SIZE]);
void unpackHistoryEntry(const uint8_t image[HISTORY_ENTRY_SIZE], HistoryEntry& entry);

// Appends, dropping the oldest entry when all 64 are taken (a count beyond
// them counts as 64, a negative one as none, as historySize reads it).
void appendHistory(HistoryLog& log, const HistoryEntry& entry);
// The image of the whole log; returns its size (32 bytes an entry).
size_t packHistory(const HistoryLog& log, uint8_t image[HISTORY_IMAGE_SIZE]);
// The whole entries of a stored value of any size: a ragged tail is dropped,
// and so is every entry no run could have written (the entry after it then
// starts a new span: what the dropped one did is unknown); of more than 64
// the newest 64 are kept.
void unpackHistory(const uint8_t* image, size_t size, HistoryLog& log);

// The newest entry, or nullptr.
const HistoryEntry* newestEntry(const HistoryLog& log);
// How many entries the log holds, whatever its count says.
int historySize(const HistoryLog& log);
// Whether entry i (> 0) starts a new span: it is marked as a break, or the
// clock went back past the entry before (set by more than the time between),
// so nothing connects the two.
bool startsSpan(const HistoryLog& log, int i);
