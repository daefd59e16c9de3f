// Texts of the status line and the tray tip.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "shell/status.h"
#include "shell/status_text.h"

namespace {

const char* const LOCAL_TIME = "3:04:05pm on 12/6/26 ";
const Millis1900 SOME_TIME = 3974108645000;

std::string statusText(int mode, Millis1900 lastTime, int64_t lastValue) {
  char text[STATUS_TEXT_SIZE];
  std::memset(text, 'x', sizeof text);
  buildStatusText(mode, lastTime, lastValue, LOCAL_TIME, text);
  return text;
}

TEST(StatusText, RunModesIgnoreTheLastCorrection) {
  EXPECT_EQ(statusText(SHOW_CHECKING, SOME_TIME, 1234), "Checking time servers...");
  EXPECT_EQ(statusText(SHOW_TESTING, SOME_TIME, 1234), "Testing time servers...");
  EXPECT_EQ(statusText(SHOW_CHECKING, 0, 0), "Checking time servers...");
  EXPECT_EQ(statusText(SHOW_TESTING, 0, 0), "Testing time servers...");
}

TEST(StatusText, LastCorrectionWithItsLocalTime) {
  // The local-time text brings its own trailing blank.
  EXPECT_EQ(statusText(SHOW_LAST_CORRECTION, SOME_TIME, 1234), "Corrected +1.2s at 3:04:05pm on 12/6/26 ");
  EXPECT_EQ(statusText(SHOW_LAST_CORRECTION, SOME_TIME, -1500), "Corrected -1.5s at 3:04:05pm on 12/6/26 ");
  EXPECT_EQ(statusText(SHOW_LAST_CORRECTION, SOME_TIME, -7200000), "Corrected -2.00h at 3:04:05pm on 12/6/26 ");
  EXPECT_EQ(statusText(SHOW_LAST_CORRECTION, SOME_TIME, 0), "Corrected  0.0s at 3:04:05pm on 12/6/26 ");
  // A correction made before 1900 still counts: only 0 means "never".
  EXPECT_EQ(statusText(SHOW_LAST_CORRECTION, -1, 20), "Corrected  0.0s at 3:04:05pm on 12/6/26 ");
}

TEST(StatusText, NeverCorrectedIsEmpty) {
  EXPECT_EQ(statusText(SHOW_LAST_CORRECTION, 0, 0), "");
  EXPECT_EQ(statusText(SHOW_LAST_CORRECTION, 0, 1234), "");
}

TEST(StatusText, UnknownModesShowTheLastCorrection) {
  EXPECT_EQ(statusText(3, SOME_TIME, 1234), statusText(SHOW_LAST_CORRECTION, SOME_TIME, 1234));
  EXPECT_EQ(statusText(-1, 0, 0), "");
}

TEST(StatusText, LongestOffsetStillFits) {
  const std::string text = statusText(SHOW_LAST_CORRECTION, SOME_TIME, INT64_MIN);
  EXPECT_LT(text.size(), static_cast<size_t>(STATUS_TEXT_SIZE));
  EXPECT_EQ(text.rfind("Corrected -", 0), 0u);
}

std::string trayTip(const char* status, const char* failure, bool nameTaken) {
  char tip[TRAY_TIP_SIZE];
  std::memset(tip, 'x', sizeof tip);
  buildTrayTip(status, failure, nameTaken, tip);
  return tip;
}

TEST(TrayTip, TheStatusOrTheFailureAndTheTakenInstanceName) {
  const char* corrected = "Corrected +0.250s at 3:04:05pm on 12/6/26 ";
  EXPECT_EQ(trayTip(corrected, nullptr, false), corrected);
  EXPECT_EQ(trayTip(corrected, TIP_TOTAL_BEYOND_LIMIT, false), TIP_TOTAL_BEYOND_LIMIT);
  EXPECT_EQ(trayTip(corrected, nullptr, true), std::string(corrected) + "\n" + TIP_INSTANCE_NAME_TAKEN);
  EXPECT_EQ(trayTip("", nullptr, true), TIP_INSTANCE_NAME_TAKEN);
  EXPECT_EQ(trayTip("", TIP_CORRECTION_FAILED, true),
            std::string(TIP_CORRECTION_FAILED) + "\n" + TIP_INSTANCE_NAME_TAKEN);
  // The longest status line and the notice are cut to the tray's size.
  const std::string longest(STATUS_TEXT_SIZE - 1, 'c');
  EXPECT_EQ(trayTip(longest.c_str(), nullptr, true).size(), static_cast<size_t>(TRAY_TIP_SIZE - 1));
  // What some trays show of a tip.
  for (const char* text : {TIP_STEP_BEYOND_LIMIT, TIP_TOTAL_BEYOND_LIMIT, TIP_INSTANCE_NAME_TAKEN})
    EXPECT_LE(std::strlen(text), 79u) << text;
}

}  // namespace
