// The words of the clock's history.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "discipline/history_text.h"
#include "discipline/rate_keeping.h"

namespace {

std::string driftText(int64_t ppb, bool known, int64_t uncertainty = 2100, int used = 12) {
  DriftEstimate d = {};
  d.fitted = true;
  d.known = known;
  d.ppb = ppb;
  d.uncertaintyPpb = uncertainty;
  d.used = used;
  char text[HISTORY_TEXT_SIZE];
  formatDriftText(d, text, sizeof text);
  std::string out = text;
  formatDriftCertainty(d, text, sizeof text);
  return out + " | " + text;
}

TEST(HistoryText, TheDriftInWords) {
  EXPECT_EQ(driftText(-78000, true),
            "This computer's clock loses 6.7 s a day (78 ppm) | Learnt from 12 runs, to within \xC2\xB1 2.1 ppm.");
  EXPECT_EQ(driftText(2000, true, 900, 1),
            "This computer's clock gains 173 ms a day (2.0 ppm) | Learnt from 1 run, to within \xC2\xB1 0.9 ppm.");
  EXPECT_EQ(driftText(-500000, false),
            "This computer's clock seems to lose 43.2 s a day (500 ppm); more runs will tell. | Learnt from 12 runs, "
            "to within \xC2\xB1 2.1 ppm.");
  // Servers that run 999 ppm fast: said, and said not to be cancelled.
  DriftEstimate beyond = {};
  beyond.fitted = beyond.beyondLimit = true;
  beyond.ppb = -999000;
  char beyondText[HISTORY_TEXT_SIZE];
  formatDriftText(beyond, beyondText, sizeof beyondText);
  EXPECT_STREQ(beyondText, "Against the servers this computer's clock loses 86.3 s a day (999 ppm), more than any "
                           "working clock drifts: it is not cancelled.");
  DriftEstimate none = {};
  char text[HISTORY_TEXT_SIZE];
  formatDriftText(none, text, sizeof text);
  EXPECT_STREQ(text, "More runs are needed to tell how fast this computer's clock drifts.");
  formatDriftCertainty(none, text, sizeof text);
  EXPECT_STREQ(text, "");
}

TEST(HistoryText, OffsetsAndBounds) {
  const struct {
    int64_t us;
    const char* offset;
    const char* bound;
  } rows[] = {
      {420, "+0.42 ms", "within \xC2\xB1 0.4 ms"},
      {-12345, "-12.3 ms", "within \xC2\xB1 13 ms"},
      {1234567, "+1.235 s", "within \xC2\xB1 1.2 s"},
      {-54000000000, "-54000 s", "within \xC2\xB1 54000.0 s"},
      {0, "+0.00 ms", "within \xC2\xB1 0.0 ms"},
  };
  for (const auto& row : rows) {
    char text[HISTORY_TEXT_SIZE];
    formatOffsetUs(row.us, text, sizeof text);
    EXPECT_STREQ(text, row.offset);
    formatErrorBound(row.us < 0 ? -row.us : row.us, text, sizeof text);
    EXPECT_STREQ(text, row.bound);
  }
  EXPECT_STREQ(historyActionText(ACTION_SLEWED), "slewed");
  EXPECT_STREQ(historyActionText(ACTION_STEP_REFUSED), "refused by the system");
  EXPECT_STREQ(historyActionText(200), "unknown");
}

TEST(HistoryText, TheThresholdsOfTheUnits) {
  char text[HISTORY_TEXT_SIZE];
  formatOffsetUs(999, text, sizeof text);
  EXPECT_STREQ(text, "+1.00 ms");
  formatOffsetUs(-1000, text, sizeof text);
  EXPECT_STREQ(text, "-1.0 ms");
  formatOffsetUs(999999, text, sizeof text);
  EXPECT_STREQ(text, "+1000.0 ms");
  formatOffsetUs(1000000, text, sizeof text);
  EXPECT_STREQ(text, "+1.000 s");
  formatOffsetUs(1000000000, text, sizeof text);
  EXPECT_STREQ(text, "+1000 s");
  formatErrorBound(1000, text, sizeof text);
  EXPECT_STREQ(text, "within \xC2\xB1 1 ms");
  formatErrorBound(1000000, text, sizeof text);
  EXPECT_STREQ(text, "within \xC2\xB1 1.0 s");
  // 0.995 s a day is said in seconds, 9.95 ppm without a decimal.
  EXPECT_EQ(driftText(11517, true).substr(0, 54), "This computer's clock gains 1.0 s a day (12 ppm) | Lea");
  EXPECT_EQ(driftText(11515, true).substr(0, 55), "This computer's clock gains 995 ms a day (12 ppm) | Lea");
  EXPECT_EQ(driftText(-9960, true).substr(0, 53), "This computer's clock loses 861 ms a day (10 ppm) | L");
  EXPECT_EQ(driftText(-9940, true).substr(0, 54), "This computer's clock loses 859 ms a day (9.9 ppm) | L");
}

TEST(HistoryText, WhoKeepsTheRateAndWhichWayItRuns) {
  char text[HISTORY_TEXT_SIZE];
  formatRateKeeping(RATE_KEPT, 78000, 0, text, sizeof text);
  EXPECT_STREQ(text, "Quorvel cancels the drift: the clock runs 78.0 ppm slower.");
  formatRateKeeping(RATE_KEPT, -12300, -42000, text, sizeof text);
  EXPECT_STREQ(text, "Quorvel cancels the drift: the clock runs 12.3 ppm faster. Slewing -42.0 ms away.");
  formatRateKeeping(RATE_KEPT, 0, 0, text, sizeof text);
  EXPECT_STREQ(text, "Quorvel keeps the clock's rate; the drift is not known yet.");
  formatRateKeeping(RATE_KEPT, 0, 300, text, sizeof text);
  EXPECT_STREQ(text, "Quorvel keeps the clock's rate; the drift is not known yet. Slewing +0.30 ms away.");
  formatRateKeeping(RATE_NOT_TAKEN, 78000, 300, text, sizeof text);
  EXPECT_STREQ(text, "The system keeps this clock's rate: the drift is not cancelled and corrections are steps.");
  formatRateKeeping(RATE_OTHER_KEEPER, 78000, 0, text, sizeof text);
  EXPECT_STREQ(text, "Windows Time is also setting this clock: Quorvel leaves the rate to it and corrects by steps.");
  std::memset(text, 'x', sizeof text);
  formatRateKeeping(RATE_FREE, 78000, 0, text, sizeof text);
  EXPECT_STREQ(text, "");
}

}  // namespace
