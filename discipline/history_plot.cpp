// The geometry of the history plot (implements history_plot.h): the scales,
// the runs clamped to the area, the drift's path cut to it.
#include "discipline/history_plot.h"

#include <cmath>
#include <cstdio>

namespace {

// An empty plot still spans some time and some offsets.
const double EMPTY_SPAN_MS = 3600000.0;
const double LEAST_SPAN_MS = 1000.0;
const double LEAST_SCALE_US = 1000.0;
// Room between the outermost marks and the frame, as a share of the range.
const double SCALE_MARGIN = 0.04;
// Grid steps the scale is rounded to: 1, 2 or 5 times a power of ten.
const int SCALE_DIVISIONS = 4;

// The runs far beyond what the program moves the clock on its own (or what
// the user would not allow) would squash everything else into a line.
bool inScale(const HistoryEntry& entry) {
  return entry.action != ACTION_NO_SERVER && entry.action != ACTION_BEYOND_LIMIT &&
         entry.action != ACTION_DECLINED;
}

double niceStep(double raw) {
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double steps[] = {1.0, 2.0, 5.0, 10.0};
  for (double step : steps)
    if (step * magnitude >= raw) return step * magnitude;
  return 10.0 * magnitude;
}

// Pixel of a value between two edges; values beyond an edge land on it.
int toPixel(double value, double atLow, double atHigh, int low, int high) {
  double share = (value - atLow) / (atHigh - atLow);
  if (!(share > 0.0)) share = 0.0;  // NaN too
  if (share > 1.0) share = 1.0;
  return low + static_cast<int>(std::lround(share * (high - low)));
}

struct Scale {
  double firstAt, lastAt;  // ms
  double topUs, bottomUs;
  PlotArea area;

  int x(double t) const { return toPixel(t, firstAt, lastAt, area.left, area.right); }
  int y(double us) const { return toPixel(us, bottomUs, topUs, area.bottom, area.top); }
};

void chooseTimes(const HistoryLog& log, int count, Millis1900 now, HistoryPlot& plot) {
  Millis1900 first = now, last = now;
  for (int i = 0; i < count; ++i) {
    if (log.entries[i].measuredAt < first) first = log.entries[i].measuredAt;
    if (log.entries[i].measuredAt > last) last = log.entries[i].measuredAt;
  }
  if (count == 0) first = now - static_cast<Millis1900>(EMPTY_SPAN_MS);
  plot.firstAt = first;
  plot.lastAt = last;
}

// The offsets' range: every run in scale with its uncertainty and what its
// correction left, and zero; widened a little and rounded to grid steps.
void chooseOffsets(const HistoryLog& log, int count, int64_t slewLeftUs, HistoryPlot& plot) {
  double low = 0.0, high = 0.0;
  bool anyInScale = false;
  for (int i = 0; i < count; ++i) anyInScale = anyInScale || inScale(log.entries[i]);
  plot.empty = true;
  for (int i = 0; i < count; ++i) {
    const HistoryEntry& entry = log.entries[i];
    if (entry.action == ACTION_NO_SERVER) continue;
    plot.empty = false;
    if (anyInScale && !inScale(entry)) continue;
    const double offset = static_cast<double>(entry.offsetUs);
    const double uncertainty = static_cast<double>(entry.uncertaintyUs);
    const HistoryEntry* next = i + 1 < count ? &log.entries[i + 1] : nullptr;
    const double left = offset - static_cast<double>(appliedByRun(entry, next, slewLeftUs));
    low = std::fmin(low, std::fmin(offset - uncertainty, left));
    high = std::fmax(high, std::fmax(offset + uncertainty, left));
  }
  if (high - low < LEAST_SCALE_US) {
    const double middle = (high + low) / 2.0;
    low = middle - LEAST_SCALE_US / 2.0;
    high = middle + LEAST_SCALE_US / 2.0;
  }
  const double margin = (high - low) * SCALE_MARGIN;
  low -= margin;
  high += margin;
  const double step = niceStep((high - low) / SCALE_DIVISIONS);
  plot.gridUs = step;
  plot.bottomUs = std::floor(low / step) * step;
  plot.topUs = std::ceil(high / step) * step;
}

void placeRuns(const HistoryLog& log, int count, int64_t slewLeftUs, const Scale& scale, HistoryPlot& plot) {
  for (int i = 0; i < count; ++i) {
    const HistoryEntry& entry = log.entries[i];
    PlotRun& run = plot.runs[plot.runCount++];
    run = PlotRun();
    run.x = scale.x(static_cast<double>(entry.measuredAt));
    run.hasOffset = entry.action != ACTION_NO_SERVER;
    if (!run.hasOffset) {
      run.y = run.barTop = run.barBottom = run.leftY = scale.area.bottom;
      continue;
    }
    const double offset = static_cast<double>(entry.offsetUs);
    const double uncertainty = static_cast<double>(entry.uncertaintyUs);
    const HistoryEntry* next = i + 1 < count ? &log.entries[i + 1] : nullptr;
    const int64_t applied = appliedByRun(entry, next, slewLeftUs);
    run.clamped = offset > scale.topUs ? 1 : offset < scale.bottomUs ? -1 : 0;
    run.y = scale.y(offset);
    run.barTop = scale.y(offset + uncertainty);
    run.barBottom = scale.y(offset - uncertainty);
    run.mark = entry.action == ACTION_STEPPED ? MARK_STEP : entry.action == ACTION_SLEWED ? MARK_SLEW : MARK_NONE;
    run.leftY = scale.y(offset - static_cast<double>(applied));
  }
}

// Whether a label at y keeps labelHeight clear of every label placed so far.
bool labelFits(const HistoryPlot& plot, int y, int labelHeight) {
  for (int i = 0; i < plot.gridCount; ++i) {
    const int apart = plot.grid[i].y > y ? plot.grid[i].y - y : y - plot.grid[i].y;
    if (plot.grid[i].labelled && apart < labelHeight) return false;
  }
  return true;
}

// A line at every step of the scale. Zero is labelled, then the two edges,
// then the steps between, each where it leaves room for the labels before.
void placeGrid(const Scale& scale, double step, int labelHeight, HistoryPlot& plot) {
  const long steps = std::lround((scale.topUs - scale.bottomUs) / step);
  if (steps < 1 || steps >= PLOT_GRID_LIMIT) return;
  for (long k = 0; k <= steps; ++k) {
    PlotGridLine& line = plot.grid[plot.gridCount++];
    line.valueUs = scale.bottomUs + static_cast<double>(k) * step;
    line.y = scale.y(line.valueUs);
    line.labelled = false;
  }
  const long zeroStep = std::lround(-scale.bottomUs / step);
  long order[PLOT_GRID_LIMIT + 3];
  int count = 0;
  if (zeroStep >= 0 && zeroStep <= steps) order[count++] = zeroStep;
  order[count++] = steps;
  order[count++] = 0;
  for (long k = 1; k < steps; ++k) order[count++] = k;
  for (int i = 0; i < count; ++i) {
    PlotGridLine& line = plot.grid[order[i]];
    if (!line.labelled && labelFits(plot, line.y, labelHeight)) line.labelled = true;
  }
}

// The piece of the line from (t0, v0) to (t1, v1) that lies between the
// area's top and bottom offsets, if any.
void addSegment(double t0, double v0, double t1, double v1, const Scale& scale, HistoryPlot& plot) {
  double from = 0.0, to = 1.0;
  const double dv = v1 - v0;
  const double edges[2] = {scale.bottomUs, scale.topUs};
  if (dv == 0.0) {
    if (v0 < scale.bottomUs || v0 > scale.topUs) return;
  } else {
    double s0 = (edges[0] - v0) / dv, s1 = (edges[1] - v0) / dv;
    if (s0 > s1) {
      const double swap = s0;
      s0 = s1;
      s1 = swap;
    }
    from = std::fmax(from, s0);
    to = std::fmin(to, s1);
    if (!(from <= to)) return;
  }
  PlotSegment& segment = plot.segments[plot.segmentCount++];
  segment.x0 = scale.x(t0 + (t1 - t0) * from);
  segment.y0 = scale.y(v0 + dv * from);
  segment.x1 = scale.x(t0 + (t1 - t0) * to);
  segment.y1 = scale.y(v0 + dv * to);
}

// Between runs the offset grows at the rate in force less the drift, from
// what the run before left; a run without a server changes nothing, and a
// break ends the path until the next run with an offset.
void tracePrediction(const HistoryLog& log, int count, const DriftEstimate& drift, int64_t slewLeftUs,
                     int64_t ratePpb, Millis1900 now, const Scale& scale, HistoryPlot& plot) {
  bool tracing = false;
  double value = 0.0;
  const double driftPpb = static_cast<double>(drift.ppb);
  for (int i = 0; i < count; ++i) {
    const HistoryEntry& entry = log.entries[i];
    if (startsSpan(log, i)) {
      tracing = false;
    } else if (tracing) {
      const double t0 = static_cast<double>(log.entries[i - 1].measuredAt);
      const double t1 = static_cast<double>(entry.measuredAt);
      const double end = value + (static_cast<double>(entry.rateBeforePpb) - driftPpb) * (t1 - t0) / 1e6;
      addSegment(t0, value, t1, end, scale, plot);
      value = end;
    }
    if (entry.action == ACTION_NO_SERVER) continue;
    const HistoryEntry* next = i + 1 < count ? &log.entries[i + 1] : nullptr;
    value = static_cast<double>(entry.offsetUs) - static_cast<double>(appliedByRun(entry, next, slewLeftUs));
    tracing = true;
  }
  if (!tracing || now <= log.entries[count - 1].measuredAt) return;
  const double t0 = static_cast<double>(log.entries[count - 1].measuredAt);
  const double t1 = static_cast<double>(now);
  addSegment(t0, value, t1, value + (static_cast<double>(ratePpb) - driftPpb) * (t1 - t0) / 1e6, scale, plot);
}

}  // namespace

void planHistoryPlot(const HistoryLog& log, const DriftEstimate& drift, int64_t slewLeftUs, int64_t ratePpb,
                     Millis1900 now, const PlotArea& area, int labelHeight, HistoryPlot& plot) {
  const int count = historySize(log);
  plot.runCount = plot.segmentCount = plot.breakCount = plot.gridCount = 0;
  chooseTimes(log, count, now, plot);
  chooseOffsets(log, count, slewLeftUs, plot);

  Scale scale;
  scale.firstAt = static_cast<double>(plot.firstAt);
  scale.lastAt = static_cast<double>(plot.lastAt);
  if (scale.lastAt - scale.firstAt < LEAST_SPAN_MS) scale.lastAt = scale.firstAt + LEAST_SPAN_MS;
  scale.topUs = plot.topUs;
  scale.bottomUs = plot.bottomUs;
  scale.area = area;
  plot.zeroY = scale.y(0.0);
  placeGrid(scale, plot.gridUs, labelHeight, plot);

  placeRuns(log, count, slewLeftUs, scale, plot);
  for (int i = 1; i < count; ++i)
    if (startsSpan(log, i)) plot.breakX[plot.breakCount++] = (plot.runs[i - 1].x + plot.runs[i].x) / 2;
  if (drift.fitted && count > 0) tracePrediction(log, count, drift, slewLeftUs, ratePpb, now, scale, plot);
}

void formatAxisOffset(double us, char* text, size_t size) {
  // The scale's steps are multiples of half a millisecond below a second and
  // of a tenth of a second above it: one decimal at most says them exactly.
  const bool seconds = std::fabs(us) >= 1e6;
  const double value = seconds ? us / 1e6 : us / 1000.0;
  const char* unit = seconds ? "s" : "ms";
  if (std::fabs(us) < 0.5) std::snprintf(text, size, "0 ms");
  else if (std::fabs(value - std::round(value)) < 1e-6) std::snprintf(text, size, "%+.0f %s", value, unit);
  else std::snprintf(text, size, "%+.1f %s", value, unit);
}
