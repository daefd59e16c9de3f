// The history plot's geometry: scales, clamping, the drift's path and breaks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "discipline/history_plot.h"

namespace {

const Millis1900 START = 3990000000000ll;  // late 2026
const Millis1900 HOUR = 3600000;
const PlotArea AREA = {40, 10, 440, 210};

HistoryEntry run(Millis1900 at, int64_t offsetUs, HistoryAction action, uint32_t uncertaintyUs = 500) {
  HistoryEntry e = {};
  e.measuredAt = at;
  e.offsetUs = offsetUs;
  e.uncertaintyUs = uncertaintyUs;
  e.action = static_cast<uint8_t>(action);
  return e;
}

DriftEstimate driftOf(int64_t ppb) {
  DriftEstimate d = {};
  d.fitted = d.known = true;
  d.ppb = ppb;
  return d;
}

// A clock losing 78 ppm, stepped every hour: a sawtooth from about 0 to 280.8 ms.
HistoryLog sawtooth(int runs) {
  HistoryLog log = {};
  for (int i = 0; i < runs; ++i) appendHistory(log, run(START + i * HOUR, i == 0 ? 1500 : 280800 + 300, ACTION_STEPPED));
  return log;
}

HistoryPlot plan(const HistoryLog& log, const DriftEstimate& drift, Millis1900 now) {
  static HistoryPlot plot;
  std::memset(&plot, 0xAB, sizeof plot);
  planHistoryPlot(log, drift, 0, 0, now, AREA, 14, plot);
  return plot;
}

TEST(HistoryPlot, ScaleHoldsEveryRunZeroAndTheirUncertaintyOnGridSteps) {
  HistoryLog log = sawtooth(5);
  log.entries[2].uncertaintyUs = 40000;  // its bar reaches 320.8 ms
  const HistoryPlot plot = plan(log, driftOf(-78000), START + 4 * HOUR + 60000);
  EXPECT_FALSE(plot.empty);
  EXPECT_EQ(plot.bottomUs, -100000.0);
  EXPECT_EQ(plot.topUs, 400000.0);
  EXPECT_EQ(plot.gridUs, 100000.0);
  EXPECT_EQ(plot.firstAt, START);
  EXPECT_EQ(plot.lastAt, START + 4 * HOUR + 60000);
  EXPECT_EQ(plot.zeroY, 170);  // 400 of 500 ms down a 200 px area
  EXPECT_EQ(plot.runCount, 5);
  EXPECT_EQ(plot.runs[0].x, AREA.left);
  EXPECT_LT(plot.runs[4].x, AREA.right);
  EXPECT_EQ(plot.runs[2].barTop, 10 + 32);  // 320.8 ms
  EXPECT_EQ(plot.runs[2].barBottom, 10 + 64);  // 240.8 ms
  for (int i = 0; i < plot.runCount; ++i) {
    EXPECT_TRUE(plot.runs[i].hasOffset);
    EXPECT_EQ(plot.runs[i].clamped, 0);
    EXPECT_EQ(plot.runs[i].mark, MARK_STEP);
    // The step took the whole milliseconds: about nothing is left.
    EXPECT_EQ(plot.runs[i].leftY, plot.zeroY);
  }

  // Steps the system refused, all 1.5 s off: zero stays on the scale.
  HistoryLog refused = {};
  for (int i = 0; i < 3; ++i) appendHistory(refused, run(START + i * HOUR, 1500000, ACTION_STEP_REFUSED));
  const HistoryPlot far = plan(refused, DriftEstimate(), START + 3 * HOUR);
  EXPECT_EQ(far.bottomUs, -500000.0);
  EXPECT_EQ(far.topUs, 2000000.0);
  EXPECT_EQ(far.runs[0].leftY, far.runs[0].y);
}

TEST(HistoryPlot, GridLinesAtEveryStepLabelledAsRoomAllows) {
  const HistoryLog log = sawtooth(5);
  HistoryPlot plot = plan(log, driftOf(-78000), START + 5 * HOUR);  // -100..300 ms, 50 px a step
  ASSERT_EQ(plot.gridCount, 5);
  EXPECT_EQ(plot.grid[0].y, AREA.bottom);
  EXPECT_EQ(plot.grid[1].y, plot.zeroY);
  EXPECT_EQ(plot.grid[1].valueUs, 0.0);
  EXPECT_EQ(plot.grid[4].y, AREA.top);
  for (int i = 0; i < plot.gridCount; ++i) EXPECT_TRUE(plot.grid[i].labelled) << i;

  // Labels exactly as high as a step: every one still fits.
  planHistoryPlot(log, driftOf(-78000), 0, 0, START + 5 * HOUR, AREA, 50, plot);
  for (int i = 0; i < plot.gridCount; ++i) EXPECT_TRUE(plot.grid[i].labelled) << i;
  planHistoryPlot(log, driftOf(-78000), 0, 0, START + 5 * HOUR, AREA, 51, plot);
  EXPECT_FALSE(plot.grid[0].labelled);

  // Labels 90 px high: zero's, the top edge's, none between or too close.
  planHistoryPlot(log, driftOf(-78000), 0, 0, START + 5 * HOUR, AREA, 90, plot);
  const bool labelled[5] = {false, true, false, false, true};
  for (int i = 0; i < plot.gridCount; ++i) EXPECT_EQ(plot.grid[i].labelled, labelled[i]) << i;
}

TEST(HistoryPlot, RunsBeyondTheLimitAreClampedNotScaled) {
  HistoryLog log = sawtooth(4);
  log.entries[1] = run(START + HOUR, 20ll * 3600 * 1000000, ACTION_BEYOND_LIMIT);
  log.entries[2] = run(START + 2 * HOUR, -3600ll * 1000000, ACTION_DECLINED);
  const HistoryPlot plot = plan(log, driftOf(-78000), START + 4 * HOUR);
  EXPECT_EQ(plot.topUs, 300000.0);
  EXPECT_EQ(plot.runs[1].clamped, 1);
  EXPECT_EQ(plot.runs[1].y, AREA.top);
  EXPECT_EQ(plot.runs[1].mark, MARK_NONE);
  EXPECT_EQ(plot.runs[2].clamped, -1);
  EXPECT_EQ(plot.runs[2].y, AREA.bottom);
  // No path from them: it never comes into the area.
  ASSERT_EQ(plot.segmentCount, 2);
  EXPECT_EQ(plot.segments[0].x1, plot.runs[1].x);
  EXPECT_EQ(plot.segments[1].x0, plot.runs[3].x);
  for (int i = 0; i < plot.segmentCount; ++i) {
    const PlotSegment& s = plot.segments[i];
    for (int y : {s.y0, s.y1}) {
      EXPECT_GE(y, AREA.top);
      EXPECT_LE(y, AREA.bottom);
    }
  }

  // A path from a declined run above the scale, falling into it (a clock
  // that gains 100 ppm): drawn from where it comes in.
  HistoryLog entering = {};
  appendHistory(entering, run(START, 50000, ACTION_STEPPED));
  appendHistory(entering, run(START + HOUR, 400000, ACTION_DECLINED));
  appendHistory(entering, run(START + 2 * HOUR, 50000, ACTION_STEPPED));
  const HistoryPlot in = plan(entering, driftOf(100000), START + 2 * HOUR);
  EXPECT_EQ(in.topUs, 60000.0);
  ASSERT_EQ(in.segmentCount, 2);
  EXPECT_EQ(in.segments[1].y0, AREA.top);
  EXPECT_GT(in.segments[1].x0, in.runs[1].x + 100);  // 340 of the 360 ms fall lie above
  EXPECT_EQ(in.segments[1].x1, in.runs[2].x);

  // Only such runs: then they make the scale.
  HistoryLog alone = {};
  appendHistory(alone, run(START, 20ll * 3600 * 1000000, ACTION_BEYOND_LIMIT));
  const HistoryPlot own = plan(alone, DriftEstimate(), START + HOUR);
  EXPECT_EQ(own.runs[0].clamped, 0);
  EXPECT_GT(own.topUs, 20.0 * 3600 * 1e6);
}

TEST(HistoryPlot, TheDriftsPathRunsFromWhatEachStepLeftToTheNextOffset) {
  const HistoryLog log = sawtooth(4);
  const HistoryPlot plot = plan(log, driftOf(-78000), START + 3 * HOUR + HOUR / 2);
  ASSERT_EQ(plot.segmentCount, 4);  // three stretches between runs, one to now
  for (int i = 0; i < 3; ++i) {
    const PlotSegment& s = plot.segments[i];
    EXPECT_EQ(s.x0, plot.runs[i].x);
    EXPECT_EQ(s.y0, plot.runs[i].leftY);
    EXPECT_EQ(s.x1, plot.runs[i + 1].x);
    EXPECT_LE(std::abs(s.y1 - plot.runs[i + 1].y), 1);
  }
  EXPECT_EQ(plot.segments[3].x1, AREA.right);
  EXPECT_LE(std::abs(plot.segments[3].y1 - (plot.zeroY + plot.runs[1].y) / 2), 1);  // half an hour's drift

  // A clock that gains runs the other way: the path falls below zero.
  const HistoryPlot gaining = plan(log, driftOf(78000), START + 3 * HOUR);
  EXPECT_GT(gaining.segments[0].y1, gaining.zeroY);

  // No fitted drift, no path.
  EXPECT_EQ(plan(log, DriftEstimate(), START + 4 * HOUR).segmentCount, 0);
}

TEST(HistoryPlot, BreaksEndThePathButRunsWithoutServerDoNot) {
  HistoryLog log = sawtooth(5);
  log.entries[2] = run(START + 2 * HOUR, 0, ACTION_NO_SERVER, 0);
  log.entries[4].flags = HISTORY_BREAK;
  const HistoryPlot plot = plan(log, driftOf(-78000), START + 4 * HOUR);
  EXPECT_FALSE(plot.runs[2].hasOffset);
  EXPECT_EQ(plot.runs[2].y, AREA.bottom);
  ASSERT_EQ(plot.breakCount, 1);
  EXPECT_EQ(plot.breakX[0], (plot.runs[3].x + plot.runs[4].x) / 2);
  // 0-1, then on through the serverless run 1-2-3 (two hours' drift), and
  // nothing across the break or after now.
  ASSERT_EQ(plot.segmentCount, 3);
  EXPECT_EQ(plot.segments[1].x0, plot.runs[1].x);
  EXPECT_EQ(plot.segments[2].x0, plot.runs[2].x);
  EXPECT_EQ(plot.segments[2].y1, AREA.top);  // on to 561.6 ms: cut where it leaves the area
  EXPECT_LT(plot.segments[2].x1, plot.runs[3].x);
  for (int i = 0; i < plot.segmentCount; ++i) EXPECT_LT(plot.segments[i].x1, plot.runs[4].x);

  // A break found by a run without a server: no path across it either.
  HistoryLog resumed = sawtooth(5);
  resumed.entries[2] = run(START + 2 * HOUR, 0, ACTION_NO_SERVER, 0);
  resumed.entries[2].flags = HISTORY_BREAK;
  const HistoryPlot after = plan(resumed, driftOf(-78000), START + 4 * HOUR);
  ASSERT_EQ(after.segmentCount, 2);
  EXPECT_EQ(after.segments[1].x0, after.runs[3].x);

  // A clock set back past the run before is a break too.
  HistoryLog back = sawtooth(3);
  back.entries[2].measuredAt = START - HOUR;
  const HistoryPlot behind = plan(back, driftOf(-78000), START + HOUR);
  EXPECT_EQ(behind.breakCount, 1);
  EXPECT_EQ(behind.segmentCount, 2);  // 0-1, and from the newest run on to now
  EXPECT_EQ(behind.firstAt, START - HOUR);
}

TEST(HistoryPlot, EmptyAndDegenerateLogsStayInsideTheArea) {
  HistoryLog log = {};
  HistoryPlot plot = plan(log, DriftEstimate(), START);
  EXPECT_TRUE(plot.empty);
  EXPECT_EQ(plot.runCount, 0);
  EXPECT_GT(plot.zeroY, AREA.top);
  EXPECT_LT(plot.zeroY, AREA.bottom);
  EXPECT_LT(plot.firstAt, plot.lastAt);

  appendHistory(log, run(START, 0, ACTION_NO_SERVER, 0));
  plot = plan(log, driftOf(1000), START);
  EXPECT_TRUE(plot.empty);
  EXPECT_EQ(plot.runs[0].x, AREA.left);

  // A stored value from nowhere: extreme times and offsets.
  log.count = 0;
  appendHistory(log, run(INT64_MIN, INT64_MIN, ACTION_STEP_REFUSED, UINT32_MAX));
  appendHistory(log, run(INT64_MAX, INT64_MAX, ACTION_STEPPED, UINT32_MAX));
  plot = plan(log, driftOf(INT64_MAX), START);
  for (int i = 0; i < plot.runCount; ++i) {
    EXPECT_GE(plot.runs[i].x, AREA.left);
    EXPECT_LE(plot.runs[i].x, AREA.right);
    for (int y : {plot.runs[i].y, plot.runs[i].barTop, plot.runs[i].barBottom, plot.runs[i].leftY}) {
      EXPECT_GE(y, AREA.top);
      EXPECT_LE(y, AREA.bottom);
    }
  }
}

TEST(HistoryPlot, AxisLabels) {
  const struct {
    double us;
    const char* text;
  } cases[] = {{0, "0 ms"}, {300000, "+300 ms"}, {-500, "-0.5 ms"}, {1500000, "+1.5 s"},
               {-2000000, "-2 s"}, {72000000000.0, "+72000 s"}, {1000000, "+1 s"}, {-1000000, "-1 s"},
               {999500, "+999.5 ms"}};
  for (const auto& c : cases) {
    char text[32];
    formatAxisOffset(c.us, text, sizeof text);
    EXPECT_STREQ(text, c.text) << c.us;
  }
}

TEST(HistoryPlot, WhatASlewLeftStaysInsideTheScale) {
  // A stored slew remainder of the other sign (a value written by someone
  // else): the mark of what the slew left is scaled, not cut off.
  HistoryLog log = {};
  appendHistory(log, run(START, 100000, ACTION_SLEWED, 1000));
  HistoryEntry next = run(START + HOUR, 2000, ACTION_STEP_REFUSED, 1000);
  next.slewLeftUs = -300000;
  appendHistory(log, next);
  const HistoryPlot plot = plan(log, driftOf(0), START + HOUR);
  EXPECT_LE(plot.bottomUs, -300000.0);
  EXPECT_GT(plot.runs[0].leftY, plot.zeroY);
  EXPECT_LT(plot.runs[0].leftY, AREA.bottom);
}

TEST(HistoryPlot, RunsLessThanASecondApartSpreadOverASecond) {
  HistoryLog log = {};
  appendHistory(log, run(START, 1000, ACTION_STEP_REFUSED));
  appendHistory(log, run(START + 400, 1000, ACTION_STEP_REFUSED));
  const HistoryPlot plot = plan(log, driftOf(0), START + 400);
  EXPECT_EQ(plot.runs[0].x, AREA.left);
  EXPECT_EQ(plot.runs[1].x, AREA.left + 160);  // 0.4 of 400 px
}

}  // namespace
