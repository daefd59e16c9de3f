// The history of runs: its byte image and the log of the newest 64.
#include <gtest/gtest.h>

#include <cstring>

#include "discipline/history.h"

namespace {

HistoryEntry entryAt(Millis1900 t) {
  HistoryEntry e = {};
  e.measuredAt = t;
  return e;
}

TEST(HistoryImage, PacksLittleEndianFieldByField) {
  HistoryEntry e = {};
  e.measuredAt = 0x0123456789ABCDEFll;
  e.offsetUs = -2;
  e.uncertaintyUs = 0x11223344u;
  e.action = ACTION_DECLINED;
  e.agreeing = 3;
  e.usable = 5;
  e.rateBeforePpb = -78000;
  e.flags = HISTORY_BREAK;
  e.slewLeftUs = -300000;
  const uint8_t expected[HISTORY_ENTRY_SIZE] = {
      0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01,  0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0x44, 0x33, 0x22, 0x11, 0x04, 0x03, 0x05, 0x00,  0x50, 0xCF, 0xFE, 0xFF, 0x01, 0x20, 0x6C, 0xFB};
  uint8_t image[HISTORY_ENTRY_SIZE];
  std::memset(image, 0xAA, sizeof image);
  packHistoryEntry(e, image);
  EXPECT_EQ(0, std::memcmp(image, expected, sizeof image));

  HistoryEntry back;
  std::memset(&back, 0x55, sizeof back);
  unpackHistoryEntry(expected, back);
  EXPECT_EQ(back.measuredAt, e.measuredAt);
  EXPECT_EQ(back.offsetUs, -2);
  EXPECT_EQ(back.uncertaintyUs, 0x11223344u);
  EXPECT_EQ(back.action, ACTION_DECLINED);
  EXPECT_EQ(back.agreeing, 3);
  EXPECT_EQ(back.usable, 5);
  EXPECT_EQ(back.rateBeforePpb, -78000);
  EXPECT_EQ(back.flags, HISTORY_BREAK);
  EXPECT_EQ(back.slewLeftUs, -300000);
}

TEST(HistoryImage, SlewLeftBeyondItsTwentyFourBitsIsClamped) {
  HistoryEntry e = {};
  uint8_t image[HISTORY_ENTRY_SIZE];
  for (int32_t left : {20000000, -20000000}) {
    e.slewLeftUs = left;
    packHistoryEntry(e, image);
    HistoryEntry back;
    unpackHistoryEntry(image, back);
    EXPECT_EQ(back.slewLeftUs, left > 0 ? SLEW_LEFT_LIMIT_US : -SLEW_LEFT_LIMIT_US);
  }
}

TEST(HistoryLog, TheSixtyFifthEntryDropsTheOldestAndTheImageRoundTrips) {
  HistoryLog log = {};
  for (int i = 0; i < HISTORY_CAPACITY + 1; ++i) appendHistory(log, entryAt(1000 * i));
  ASSERT_EQ(log.count, HISTORY_CAPACITY);
  EXPECT_EQ(log.entries[0].measuredAt, 1000);
  EXPECT_EQ(newestEntry(log)->measuredAt, 1000 * HISTORY_CAPACITY);

  uint8_t image[HISTORY_IMAGE_SIZE];
  ASSERT_EQ(packHistory(log, image), HISTORY_IMAGE_SIZE);
  HistoryLog back;
  unpackHistory(image, HISTORY_IMAGE_SIZE, back);
  ASSERT_EQ(back.count, HISTORY_CAPACITY);
  for (int i = 0; i < HISTORY_CAPACITY; ++i) EXPECT_EQ(back.entries[i].measuredAt, log.entries[i].measuredAt);
}

TEST(HistoryLog, StoredValuesOfAnySizeGiveTheirWholeEntriesOnly) {
  // 70 entries in a value written by someone else: the newest 64 are kept.
  static uint8_t image[70 * HISTORY_ENTRY_SIZE + 5];
  for (int i = 0; i < 70; ++i) packHistoryEntry(entryAt(i), image + i * HISTORY_ENTRY_SIZE);
  HistoryLog log;
  unpackHistory(image, sizeof image, log);
  ASSERT_EQ(log.count, HISTORY_CAPACITY);
  EXPECT_EQ(log.entries[0].measuredAt, 6);
  EXPECT_EQ(newestEntry(log)->measuredAt, 69);

  unpackHistory(image, 2 * HISTORY_ENTRY_SIZE + 31, log);  // a ragged tail
  EXPECT_EQ(log.count, 2);
  unpackHistory(image, 31, log);
  EXPECT_EQ(log.count, 0);
  EXPECT_EQ(newestEntry(log), nullptr);
  unpackHistory(nullptr, 64, log);
  EXPECT_EQ(log.count, 0);
}

TEST(HistoryLog, EntriesNoRunCouldWriteAreDroppedAndTheNextStartsASpan) {
  // A value written by someone else: offsets and times at the ends of 64 bits
  // between ordinary runs an hour apart.
  const Millis1900 start = 3990000000000ll;
  HistoryEntry entries[8];
  for (int i = 0; i < 8; ++i) {
    entries[i] = entryAt(start + 3600000ll * i);
    entries[i].offsetUs = 1000 * i;
  }
  entries[1].offsetUs = INT64_MIN;
  entries[3].measuredAt = INT64_MAX;
  entries[4].measuredAt = INT64_MIN;
  entries[6].offsetUs = HISTORY_OFFSET_LIMIT_US + 1;
  entries[7].offsetUs = -HISTORY_OFFSET_LIMIT_US;  // the era's edge: possible
  uint8_t image[8 * HISTORY_ENTRY_SIZE];
  for (int i = 0; i < 8; ++i) packHistoryEntry(entries[i], image + i * HISTORY_ENTRY_SIZE);
  HistoryLog log;
  unpackHistory(image, sizeof image, log);
  ASSERT_EQ(log.count, 4);
  const int kept[] = {0, 2, 5, 7};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(log.entries[i].measuredAt, entries[kept[i]].measuredAt);
    EXPECT_EQ(log.entries[i].flags, i == 0 ? 0 : HISTORY_BREAK) << i;
  }
  EXPECT_EQ(log.entries[3].offsetUs, -HISTORY_OFFSET_LIMIT_US);

  // This clock shows times from 1601 to 30828 only.
  HistoryEntry e = entryAt(-FILETIME_TO_1900_MS);
  EXPECT_TRUE(historyEntryPossible(e));
  e.measuredAt = -FILETIME_TO_1900_MS - 1;
  EXPECT_FALSE(historyEntryPossible(e));
  e.measuredAt = INT64_MAX / 10000 - FILETIME_TO_1900_MS;
  EXPECT_TRUE(historyEntryPossible(e));
  e.measuredAt += 1;
  EXPECT_FALSE(historyEntryPossible(e));
  e = entryAt(start);
  e.offsetUs = HISTORY_OFFSET_LIMIT_US;
  EXPECT_TRUE(historyEntryPossible(e));
  e.offsetUs = -HISTORY_OFFSET_LIMIT_US - 1;
  EXPECT_FALSE(historyEntryPossible(e));
}

TEST(HistoryLog, ACountOutsideTheLogIsReadAsTheEntriesItCanHold) {
  HistoryLog log = {};
  for (int i = 0; i < HISTORY_CAPACITY; ++i) log.entries[i] = entryAt(i);
  log.count = -3;
  EXPECT_EQ(historySize(log), 0);
  EXPECT_EQ(newestEntry(log), nullptr);
  appendHistory(log, entryAt(500));
  EXPECT_EQ(log.count, 1);
  EXPECT_EQ(log.entries[0].measuredAt, 500);
  log.count = HISTORY_CAPACITY + 30;
  EXPECT_EQ(historySize(log), HISTORY_CAPACITY);
  appendHistory(log, entryAt(600));
  EXPECT_EQ(log.count, HISTORY_CAPACITY);
  EXPECT_EQ(log.entries[0].measuredAt, 1);  // the oldest dropped
  EXPECT_EQ(newestEntry(log)->measuredAt, 600);
}


TEST(HistoryFlags, TheAuthenticatedCountSitsBesideTheBreak) {
  EXPECT_EQ(0, historyAuthenticated(HISTORY_BREAK));  // an entry from before the count
  EXPECT_EQ(0x07, withHistoryAuthenticated(HISTORY_BREAK, 3));
  EXPECT_EQ(3, historyAuthenticated(0x07));
  EXPECT_EQ(0x06, withHistoryAuthenticated(0, 3));
  // Beyond six bits the count stops at 63; neither the break nor bit 7 is touched.
  EXPECT_EQ(0x7F, withHistoryAuthenticated(HISTORY_BREAK, 64));
  EXPECT_EQ(0xFE, withHistoryAuthenticated(0x80, 200));
  EXPECT_EQ(0x81, withHistoryAuthenticated(0xFF, 0));
  EXPECT_EQ(0x00, withHistoryAuthenticated(0, -5));
  EXPECT_EQ(63, historyAuthenticated(0xFF));
  HistoryEntry e = {};
  e.measuredAt = 3900000000000;
  e.flags = withHistoryAuthenticated(HISTORY_BREAK, 5);
  uint8_t image[HISTORY_ENTRY_SIZE];
  packHistoryEntry(e, image);
  EXPECT_EQ(0x0B, image[28]);
  HistoryEntry back;
  unpackHistoryEntry(image, back);
  EXPECT_EQ(5, historyAuthenticated(back.flags));
  EXPECT_NE(0, back.flags & HISTORY_BREAK);
}

}  // namespace
