// Where the marks of the "Clock History" plot go: the offsets the runs found
// against time, their uncertainty, what the corrections left, the breaks,
// and the path the drift predicts between runs. Pixels in, pixels out; the
// window only draws what this plans.
#pragma once
#include <cstddef>
#include <cstdint>
#include "discipline/drift.h"
#include "discipline/history.h"

struct PlotArea {
  int left, top, right, bottom;  // pixels of the data area, right and bottom inclusive
};

enum PlotMark {
  MARK_NONE = 0,   // nothing was done to the clock
  MARK_STEP = 1,   // a step: a tick from the offset to what it left
  MARK_SLEW = 2,   // a slew: the same tick in its own colour
};

struct PlotRun {
  bool hasOffset;    // false for a run without a usable server: drawn on the bottom edge
  int x, y;          // the offset found
  int clamped;       // 0, or +1 / -1: beyond the top / bottom edge, drawn on it
  int barTop, barBottom;  // the uncertainty
  int mark;          // a PlotMark
  int leftY;         // what the correction left
};

struct PlotSegment {
  int x0, y0, x1, y1;
};

// A line across the plot at a step of the scale, labelled where the labels
// have room: zero always, the edges unless zero's label is in the way.
const int PLOT_GRID_LIMIT = 8;
struct PlotGridLine {
  int y;
  double valueUs;
  bool labelled;
};

struct HistoryPlot {
  bool empty;           // no run found an offset: only the frame and the axes
  double topUs, bottomUs;  // the offsets at the area's top and bottom edges
  double gridUs;        // the scale's step: both edges and zero lie on it
  int zeroY;            // where offset 0 lies (always inside the area)
  Millis1900 firstAt, lastAt;  // the times at the left and right edges
  int gridCount;
  PlotGridLine grid[PLOT_GRID_LIMIT];  // bottom to top, the edges included
  int runCount;
  PlotRun runs[HISTORY_CAPACITY];
  // The drift's prediction, one piece for each stretch between runs and one
  // from the newest run to now, cut to the area.
  int segmentCount;
  PlotSegment segments[HISTORY_CAPACITY + 1];
  int breakCount;
  int breakX[HISTORY_CAPACITY];
};

// The plot of the log in area. slewLeftUs and ratePpb are what the newest
// run's slew still has to go and the rate correction in force now; the
// prediction is drawn only once the drift has been fitted. Grid labels stand
// at least labelHeight pixels apart.
void planHistoryPlot(const HistoryLog& log, const DriftEstimate& drift, int64_t slewLeftUs, int64_t ratePpb,
                     Millis1900 now, const PlotArea& area, int labelHeight, HistoryPlot& plot);

// An axis label: "+300 ms", "-1.5 s", "0 ms", "+0.2 ms".
void formatAxisOffset(double us, char* text, size_t size);
