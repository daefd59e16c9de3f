// The words of the clock's history.
#include <gtest/gtest.h>

#include <string>

#include "discipline/history_text.h"

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

}  // namespace
