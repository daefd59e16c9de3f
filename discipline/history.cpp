// History entries in their 32-byte little-endian image, and the log of the
// newest 64 (implements history.h).
#include "discipline/history.h"

#include "timebase/byte_order.h"

void packHistoryEntry(const HistoryEntry& entry, uint8_t image[HISTORY_ENTRY_SIZE]) {
  putLittleEndian(image, static_cast<uint64_t>(entry.measuredAt), 8);
  putLittleEndian(image + 8, static_cast<uint64_t>(entry.offsetUs), 8);
  putLittleEndian(image + 16, entry.uncertaintyUs, 4);
  image[20] = entry.action;
  image[21] = entry.agreeing;
  image[22] = entry.usable;
  image[23] = 0;
  putLittleEndian(image + 24, static_cast<uint32_t>(entry.rateBeforePpb), 4);
  image[28] = entry.flags;
  int32_t left = entry.slewLeftUs;
  if (left > SLEW_LEFT_LIMIT_US) left = SLEW_LEFT_LIMIT_US;
  if (left < -SLEW_LEFT_LIMIT_US) left = -SLEW_LEFT_LIMIT_US;
  putLittleEndian(image + 29, static_cast<uint32_t>(left), 3);
}

void unpackHistoryEntry(const uint8_t image[HISTORY_ENTRY_SIZE], HistoryEntry& entry) {
  entry.measuredAt = static_cast<int64_t>(getLittleEndian(image, 8));
  entry.offsetUs = static_cast<int64_t>(getLittleEndian(image + 8, 8));
  entry.uncertaintyUs = static_cast<uint32_t>(getLittleEndian(image + 16, 4));
  entry.action = image[20];
  entry.agreeing = image[21];
  entry.usable = image[22];
  entry.rateBeforePpb = static_cast<int32_t>(static_cast<uint32_t>(getLittleEndian(image + 24, 4)));
  entry.flags = image[28];
  // 24 bits, sign-extended.
  const uint32_t raw = static_cast<uint32_t>(getLittleEndian(image + 29, 3));
  entry.slewLeftUs = (raw & 0x800000u) != 0 ? static_cast<int32_t>(raw) - 0x1000000 : static_cast<int32_t>(raw);
}

void appendHistory(HistoryLog& log, const HistoryEntry& entry) {
  log.count = historySize(log);
  if (log.count == HISTORY_CAPACITY) {
    for (int i = 1; i < HISTORY_CAPACITY; ++i) log.entries[i - 1] = log.entries[i];
    --log.count;
  }
  log.entries[log.count++] = entry;
}

int historySize(const HistoryLog& log) {
  return log.count < 0 ? 0 : log.count > HISTORY_CAPACITY ? HISTORY_CAPACITY : log.count;
}

bool startsSpan(const HistoryLog& log, int i) {
  return i > 0 && ((log.entries[i].flags & HISTORY_BREAK) != 0 ||
                   log.entries[i].measuredAt <= log.entries[i - 1].measuredAt);
}

size_t packHistory(const HistoryLog& log, uint8_t image[HISTORY_IMAGE_SIZE]) {
  const int count = historySize(log);
  for (int i = 0; i < count; ++i) packHistoryEntry(log.entries[i], image + i * HISTORY_ENTRY_SIZE);
  return static_cast<size_t>(count) * HISTORY_ENTRY_SIZE;
}

bool historyEntryPossible(const HistoryEntry& entry) {
  return millisHasCalendarForm(entry.measuredAt) && entry.offsetUs <= HISTORY_OFFSET_LIMIT_US &&
         entry.offsetUs >= -HISTORY_OFFSET_LIMIT_US;
}

void unpackHistory(const uint8_t* image, size_t size, HistoryLog& log) {
  log.count = 0;
  if (image == nullptr) return;
  const size_t whole = size / HISTORY_ENTRY_SIZE;
  bool dropped = false;
  for (size_t i = 0; i < whole; ++i) {
    HistoryEntry entry;
    unpackHistoryEntry(image + i * HISTORY_ENTRY_SIZE, entry);
    if (!historyEntryPossible(entry)) {
      dropped = true;
      continue;
    }
    if (dropped) entry.flags |= HISTORY_BREAK;
    dropped = false;
    appendHistory(log, entry);
  }
}

const HistoryEntry* newestEntry(const HistoryLog& log) {
  const int count = historySize(log);
  return count > 0 ? &log.entries[count - 1] : nullptr;
}
