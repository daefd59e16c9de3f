// The "Clock History" window (implements history_window_win.h): a modeless
// dialog beside the main window with the plot planned by history_plot, the
// drift and the error now in words, and the newest runs in a list. Its texts
// are UTF-8 ("±") and go to the controls through the wide calls.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "discipline/clock_history.h"
#include "discipline/history_plot.h"
#include "discipline/history_text.h"
#include "resources/resource.h"
#include "shell/main_window_win.h"
#include "shell/placement.h"
#include "timebase/clock.h"

HWND clockHistoryWindow;

namespace {

const UINT TICK_MS = 1000;
const int32_t GAP_TO_MAIN = 8;  // pixels between the main window and this one
const int TEXT_SIZE = 320;
const int TIME_TEXT_SIZE = 32;

// The plot's colours.
const COLORREF FRAME_COLOUR = RGB(160, 160, 160);
const COLORREF GRID_COLOUR = RGB(215, 215, 215);
const COLORREF LABEL_COLOUR = RGB(64, 64, 64);
const COLORREF BAR_COLOUR = RGB(150, 150, 150);
const COLORREF RUN_COLOUR = RGB(0, 0, 0);
const COLORREF STEP_COLOUR = RGB(214, 90, 20);
const COLORREF SLEW_COLOUR = RGB(140, 60, 170);
const COLORREF DRIFT_COLOUR = RGB(30, 110, 210);
const COLORREF BEYOND_COLOUR = RGB(190, 20, 20);
const COLORREF BREAK_COLOUR = RGB(120, 120, 120);
const int RUN_RADIUS = 3;

enum Column { COLUMN_WHEN, COLUMN_OFFSET, COLUMN_DONE, COLUMN_UNCERTAINTY, COLUMN_SERVERS, COLUMN_COUNT };
const wchar_t* const COLUMN_TITLES[COLUMN_COUNT] = {L"When", L"Offset", L"Done", L"Uncertainty", L"Servers"};

HFONT driftFont;  // the dialog's font in bold, for the drift sentence

// ---- texts --------------------------------------------------------------------

// The texts are UTF-8 ("±"); the controls and the plot take them wide. A
// text that does not convert shows empty.
void widen(const char* utf8, wchar_t wide[TEXT_SIZE]) {
  if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, TEXT_SIZE) == 0) wide[0] = L'\0';
}

// Sets a control's text, and only when it changed (the error estimate is
// rewritten every second and must not flicker); returns whether it changed.
bool setText(int id, const char* utf8) {
  wchar_t wide[TEXT_SIZE];
  widen(utf8, wide);
  wchar_t shown[TEXT_SIZE];
  GetDlgItemTextW(clockHistoryWindow, id, shown, TEXT_SIZE);
  if (std::wcscmp(shown, wide) == 0) return false;
  SetDlgItemTextW(clockHistoryWindow, id, wide);
  return true;
}

RECT controlRect(HWND control) {
  RECT rect = {};
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, clockHistoryWindow, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

void moveControl(HWND control, int left, int top, int width, int height) {
  const RECT now = controlRect(control);
  if (now.left == left && now.top == top && now.right - now.left == width && now.bottom - now.top == height) return;
  SetWindowPos(control, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// The texts stand one under another below the plot, each as high as its
// lines and an empty one taking no room; the list fills the rest.
void layoutWords() {
  const int ids[] = {IDC_DRIFT_TEXT, IDC_DRIFT_CERTAINTY, IDC_LAST_RUN_TEXT, IDC_ERROR_NOW_TEXT, IDC_RATE_TEXT};
  RECT gaps = {4, 4, 1, 4};  // dialog units: margin, after the plot, between lines, before the list
  MapDialogRect(clockHistoryWindow, &gaps);
  const RECT plot = controlRect(GetDlgItem(clockHistoryWindow, IDC_HISTORY_PLOT));
  const int width = plot.right - plot.left;
  int top = plot.bottom + gaps.top;
  HDC dc = GetDC(clockHistoryWindow);
  for (int id : ids) {
    HWND control = GetDlgItem(clockHistoryWindow, id);
    wchar_t text[TEXT_SIZE];
    GetWindowTextW(control, text, TEXT_SIZE);
    if (text[0] == L'\0') {
      ShowWindow(control, SW_HIDE);
      continue;
    }
    const HGDIOBJ before = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT needed = {0, 0, width, 0};
    DrawTextW(dc, text, -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    SelectObject(dc, before);
    moveControl(control, plot.left, top, width, needed.bottom);
    ShowWindow(control, SW_SHOWNA);
    top += needed.bottom + gaps.right;
  }
  ReleaseDC(clockHistoryWindow, dc);
  RECT client;
  GetClientRect(clockHistoryWindow, &client);
  top += gaps.bottom;
  moveControl(GetDlgItem(clockHistoryWindow, IDC_HISTORY_LIST), plot.left, top, width,
              client.bottom - gaps.left - top);
}

// "3:04:05pm on 12/8/26", without the clock text's final blank.
void formatRunTime(Millis1900 at, char* text) {
  formatLocalTime(at, text);
  size_t length = std::strlen(text);
  while (length > 0 && text[length - 1] == ' ') text[--length] = '\0';
}

bool showLastRun() {
  const HistoryEntry* newest = newestEntry(clockHistory);
  char text[TEXT_SIZE];
  if (newest == nullptr) return setText(IDC_LAST_RUN_TEXT, "No correcting run yet.");
  char when[TIME_TEXT_SIZE];
  formatRunTime(newest->measuredAt, when);
  if (newest->action == ACTION_NO_SERVER) {
    std::snprintf(text, sizeof text, "Last run: %s, %s", when, historyActionText(newest->action));
  } else {
    char offset[HISTORY_TEXT_SIZE];
    formatOffsetUs(newest->offsetUs, offset, sizeof offset);
    std::snprintf(text, sizeof text, "Last run: %s, %s, %s", when, offset, historyActionText(newest->action));
  }
  return setText(IDC_LAST_RUN_TEXT, text);
}

bool showErrorNow() {
  const ClockErrorNow error =
      estimateErrorNow(clockHistory, clockDrift, slewLeftNowUs(), rateInForcePpb(), readClock());
  char text[TEXT_SIZE];
  if (!error.known) {
    std::snprintf(text, sizeof text, "Estimated error now: not known until a run finds the time");
  } else {
    char bound[HISTORY_TEXT_SIZE];
    formatErrorBound(error.boundUs, bound, sizeof bound);
    std::snprintf(text, sizeof text, "Estimated error now: %s", bound);
  }
  return setText(IDC_ERROR_NOW_TEXT, text);
}

void showWords() {
  char text[TEXT_SIZE];
  formatDriftText(clockDrift, text, sizeof text);
  bool changed = setText(IDC_DRIFT_TEXT, text);
  formatDriftCertainty(clockDrift, text, sizeof text);
  changed = setText(IDC_DRIFT_CERTAINTY, text) || changed;
  changed = showLastRun() || changed;
  changed = showErrorNow() || changed;
  describeRateKeeping(text, sizeof text);
  text[sizeof text - 1] = '\0';
  changed = setText(IDC_RATE_TEXT, text) || changed;
  if (changed) layoutWords();
}

// ---- the list -----------------------------------------------------------------

void setCell(HWND list, int row, int column, const char* utf8) {
  wchar_t wide[TEXT_SIZE];
  widen(utf8, wide);
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = wide;
  SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

void addListRow(HWND list, int row, int index, const HistoryEntry& entry) {
  LVITEMW item = {};
  item.mask = LVIF_TEXT | LVIF_PARAM;
  item.iItem = row;
  item.pszText = const_cast<wchar_t*>(L"");
  item.lParam = index;
  SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));

  char text[HISTORY_TEXT_SIZE];
  formatRunTime(entry.measuredAt, text);
  setCell(list, row, COLUMN_WHEN, text);
  setCell(list, row, COLUMN_DONE, historyActionText(entry.action));
  if (entry.action != ACTION_NO_SERVER) {
    formatOffsetUs(entry.offsetUs, text, sizeof text);
    setCell(list, row, COLUMN_OFFSET, text);
    // The offset's form without its sign, after "± ".
    char magnitude[HISTORY_TEXT_SIZE];
    formatOffsetUs(static_cast<int64_t>(entry.uncertaintyUs), magnitude, sizeof magnitude);
    std::snprintf(text, sizeof text, "\xC2\xB1 %s", magnitude + 1);
    setCell(list, row, COLUMN_UNCERTAINTY, text);
  }
  if (entry.usable == 0) std::snprintf(text, sizeof text, "none");
  else std::snprintf(text, sizeof text, "%d of %d", entry.agreeing, entry.usable);
  setCell(list, row, COLUMN_SERVERS, text);
}

// Each column as wide as its widest text, its title included.
void fitColumns(HWND list) {
  const int padding = 16;
  for (int column = 0; column < COLUMN_COUNT; ++column) {
    SendMessageW(list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column), LVSCW_AUTOSIZE);
    LRESULT width = SendMessageW(list, LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(column), 0);
    const LRESULT title =
        SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(COLUMN_TITLES[column])) + padding;
    if (title > width) width = title;
    SendMessageW(list, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column), MAKELPARAM(width, 0));
  }
}

void showList() {
  HWND list = GetDlgItem(clockHistoryWindow, IDC_HISTORY_LIST);
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
  for (int i = historySize(clockHistory) - 1, row = 0; i >= 0; --i, ++row) addListRow(list, row, i, clockHistory.entries[i]);
  fitColumns(list);
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(list, nullptr, TRUE);
}

void addColumns(HWND list) {
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
  for (int column = 0; column < COLUMN_COUNT; ++column) {
    LVCOLUMNW title = {};
    title.mask = LVCF_TEXT | LVCF_SUBITEM | LVCF_FMT;
    title.fmt = column == COLUMN_OFFSET || column == COLUMN_UNCERTAINTY ? LVCFMT_RIGHT : LVCFMT_LEFT;
    title.pszText = const_cast<wchar_t*>(COLUMN_TITLES[column]);
    title.iSubItem = column;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&title));
  }
}

// ---- the plot -------------------------------------------------------------------

void drawLine(HDC dc, int x0, int y0, int x1, int y1) {
  MoveToEx(dc, x0, y0, nullptr);
  LineTo(dc, x1, y1);
}

// Draws with a pen of its own and puts the one before back.
struct PenScope {
  HDC dc;
  HPEN pen;
  HGDIOBJ before;
  PenScope(HDC target, int style, int width, COLORREF colour)
      : dc(target), pen(CreatePen(style, width, colour)), before(SelectObject(target, pen)) {}
  ~PenScope() {
    SelectObject(dc, before);
    DeleteObject(pen);
  }
  PenScope(const PenScope&) = delete;
  PenScope& operator=(const PenScope&) = delete;
};

void drawLabel(HDC dc, const char* utf8, int x, int y, UINT align) {
  wchar_t wide[TEXT_SIZE];
  widen(utf8, wide);
  SetTextAlign(dc, align);
  TextOutW(dc, x, y, wide, static_cast<int>(std::wcslen(wide)));
}

int labelWidth(HDC dc, const char* text) {
  SIZE size = {};
  GetTextExtentPoint32A(dc, text, static_cast<int>(std::strlen(text)), &size);
  return size.cx;
}

void drawAxes(HDC dc, const HistoryPlot& plot, const PlotArea& area, int textHeight) {
  SetTextColor(dc, LABEL_COLOUR);
  SetBkMode(dc, TRANSPARENT);
  char text[HISTORY_TEXT_SIZE];
  for (int i = 0; i < plot.gridCount; ++i) {
    const PlotGridLine& line = plot.grid[i];
    if (line.y > area.top && line.y < area.bottom) {
      PenScope grid(dc, PS_DOT, 1, line.valueUs == 0.0 ? FRAME_COLOUR : GRID_COLOUR);
      drawLine(dc, area.left + 1, line.y, area.right, line.y);
    }
    if (!line.labelled) continue;
    formatAxisOffset(line.valueUs, text, sizeof text);
    drawLabel(dc, text, area.left - 4, line.y - textHeight / 2, TA_RIGHT | TA_TOP);
  }
  {
    PenScope frame(dc, PS_SOLID, 1, FRAME_COLOUR);
    SelectObject(dc, GetStockObject(NULL_BRUSH));
    Rectangle(dc, area.left, area.top, area.right + 1, area.bottom + 1);
  }
  formatRunTime(plot.firstAt, text);
  drawLabel(dc, text, area.left, area.bottom + 3, TA_LEFT | TA_TOP);
  drawLabel(dc, "now", area.right, area.bottom + 3, TA_RIGHT | TA_TOP);
}

// The offset a run found: a filled dot, its edge in the current pen.
void drawDot(HDC dc, int x, int y) {
  HBRUSH fill = CreateSolidBrush(RUN_COLOUR);
  const HGDIOBJ before = SelectObject(dc, fill);
  Ellipse(dc, x - RUN_RADIUS, y - RUN_RADIUS, x + RUN_RADIUS + 1, y + RUN_RADIUS + 1);
  SelectObject(dc, before);
  DeleteObject(fill);
}

// A run without a server: a small cross standing on y.
void drawCross(HDC dc, int x, int y) {
  drawLine(dc, x - 3, y - 6, x + 4, y + 1);
  drawLine(dc, x + 3, y - 6, x - 4, y + 1);
}

// What the marks mean, on a line of their own under the time labels.
void drawLegend(HDC dc, const PlotArea& area, int textHeight) {
  enum Shape { DOT, UPRIGHT, SLANTED, CROSS };
  struct Key {
    const char* text;
    COLORREF colour;
    int style, width;
    Shape shape;
  };
  const Key keys[] = {{"offset found", RUN_COLOUR, PS_SOLID, 1, DOT},
                      {"step", STEP_COLOUR, PS_SOLID, 2, UPRIGHT},
                      {"drift", DRIFT_COLOUR, PS_SOLID, 1, SLANTED},
                      {"break", BREAK_COLOUR, PS_DASH, 1, UPRIGHT},
                      {"no server", BEYOND_COLOUR, PS_SOLID, 1, CROSS}};
  const int sample = textHeight;  // a key's mark is as wide as the text is high
  int width = 0;
  for (const Key& key : keys) width += sample + 4 + labelWidth(dc, key.text) + 12;
  int x = (area.left + area.right - width) / 2;
  const int top = area.bottom + textHeight + 5;
  for (const Key& key : keys) {
    {
      PenScope pen(dc, key.style, key.width, key.colour);
      if (key.shape == DOT) drawDot(dc, x + sample / 2, top + textHeight / 2);
      else if (key.shape == CROSS) drawCross(dc, x + sample / 2, top + textHeight - 3);
      else if (key.shape == UPRIGHT) drawLine(dc, x + sample / 2, top + 1, x + sample / 2, top + textHeight - 1);
      else drawLine(dc, x, top + textHeight - 3, x + sample, top + 2);
    }
    x += sample + 4;
    drawLabel(dc, key.text, x, top, TA_LEFT | TA_TOP);
    x += labelWidth(dc, key.text) + 12;
  }
}

void drawBreaks(HDC dc, const HistoryPlot& plot, const PlotArea& area) {
  PenScope dashed(dc, PS_DASH, 1, BREAK_COLOUR);
  for (int i = 0; i < plot.breakCount; ++i) drawLine(dc, plot.breakX[i], area.top + 1, plot.breakX[i], area.bottom);
}

void drawPrediction(HDC dc, const HistoryPlot& plot) {
  PenScope line(dc, PS_SOLID, 1, DRIFT_COLOUR);
  for (int i = 0; i < plot.segmentCount; ++i) {
    const PlotSegment& s = plot.segments[i];
    drawLine(dc, s.x0, s.y0, s.x1, s.y1);
    SetPixel(dc, s.x1, s.y1, DRIFT_COLOUR);  // LineTo leaves the last pixel out
  }
}

// A run beyond the scale: a triangle on the edge, pointing the way it lies.
void drawBeyond(HDC dc, const PlotRun& run) {
  const int base = run.clamped > 0 ? run.y + 2 * RUN_RADIUS + 1 : run.y - 2 * RUN_RADIUS - 1;
  const POINT corners[3] = {{run.x, run.y}, {run.x - RUN_RADIUS - 1, base}, {run.x + RUN_RADIUS + 1, base}};
  HBRUSH fill = CreateSolidBrush(BEYOND_COLOUR);
  PenScope edge(dc, PS_SOLID, 1, BEYOND_COLOUR);
  HGDIOBJ before = SelectObject(dc, fill);
  Polygon(dc, corners, 3);
  SelectObject(dc, before);
  DeleteObject(fill);
}

void drawRuns(HDC dc, const HistoryPlot& plot) {
  for (int i = 0; i < plot.runCount; ++i) {
    const PlotRun& run = plot.runs[i];
    if (!run.hasOffset) {
      PenScope cross(dc, PS_SOLID, 1, BEYOND_COLOUR);
      drawCross(dc, run.x, run.y - 1);
      continue;
    }
    if (run.clamped != 0) {
      drawBeyond(dc, run);
      continue;
    }
    if (run.barBottom - run.barTop > 2) {
      PenScope bar(dc, PS_SOLID, 1, BAR_COLOUR);
      drawLine(dc, run.x, run.barTop, run.x, run.barBottom + 1);
      drawLine(dc, run.x - 2, run.barTop, run.x + 3, run.barTop);
      drawLine(dc, run.x - 2, run.barBottom, run.x + 3, run.barBottom);
    }
    if (run.mark != MARK_NONE) {
      PenScope tick(dc, PS_SOLID, 2, run.mark == MARK_STEP ? STEP_COLOUR : SLEW_COLOUR);
      drawLine(dc, run.x, run.y, run.x, run.leftY);
    }
    PenScope edge(dc, PS_SOLID, 1, RUN_COLOUR);
    drawDot(dc, run.x, run.y);
  }
}

void drawPlot(HDC dc, const RECT& bounds) {
  const int saved = SaveDC(dc);
  FillRect(dc, &bounds, GetSysColorBrush(COLOR_WINDOW));
  SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(clockHistoryWindow, WM_GETFONT, 0, 0)));
  TEXTMETRICW metrics = {};
  GetTextMetricsW(dc, &metrics);
  const int textHeight = metrics.tmHeight;

  // The labels' room decides the data area: the widest label left of it,
  // the time labels and the legend below it.
  static HistoryPlot plot;
  PlotArea area = {bounds.left + 4, bounds.top + textHeight / 2 + 2, bounds.right - 6,
                   bounds.bottom - 2 * textHeight - 7};
  const Millis1900 now = readClock();
  planHistoryPlot(clockHistory, clockDrift, slewLeftNowUs(), rateInForcePpb(), now, area, textHeight, plot);
  char text[HISTORY_TEXT_SIZE];
  int widest = 0;
  for (int i = 0; i < plot.gridCount; ++i) {
    formatAxisOffset(plot.grid[i].valueUs, text, sizeof text);
    if (plot.grid[i].labelled && labelWidth(dc, text) > widest) widest = labelWidth(dc, text);
  }
  area.left = bounds.left + widest + 8;
  planHistoryPlot(clockHistory, clockDrift, slewLeftNowUs(), rateInForcePpb(), now, area, textHeight, plot);

  drawAxes(dc, plot, area, textHeight);
  drawLegend(dc, area, textHeight);
  if (plot.empty) {
    SetTextColor(dc, LABEL_COLOUR);
    drawLabel(dc, "No run has found the time yet.", (area.left + area.right) / 2,
              (area.top + area.bottom) / 2 - textHeight / 2, TA_CENTER | TA_TOP);
  }
  drawBreaks(dc, plot, area);
  drawPrediction(dc, plot);
  drawRuns(dc, plot);
  RestoreDC(dc, saved);
}

// Drawn off screen and copied in one go: the plot is redrawn every second.
void onDrawItem(const DRAWITEMSTRUCT* item) {
  if (item->CtlID != IDC_HISTORY_PLOT) return;
  const RECT& target = item->rcItem;
  const int width = target.right - target.left;
  const int height = target.bottom - target.top;
  if (width <= 0 || height <= 0) return;
  HDC memory = CreateCompatibleDC(item->hDC);
  HBITMAP bitmap = CreateCompatibleBitmap(item->hDC, width, height);
  if (memory == nullptr || bitmap == nullptr) {
    if (bitmap != nullptr) DeleteObject(bitmap);
    if (memory != nullptr) DeleteDC(memory);
    drawPlot(item->hDC, target);
    return;
  }
  const HGDIOBJ bitmapBefore = SelectObject(memory, bitmap);
  const RECT local = {0, 0, width, height};
  drawPlot(memory, local);
  BitBlt(item->hDC, target.left, target.top, width, height, memory, 0, 0, SRCCOPY);
  SelectObject(memory, bitmapBefore);
  DeleteObject(bitmap);
  DeleteDC(memory);
}

// ---- the window ---------------------------------------------------------------------

// Texts, list and plot; nothing here shows, raises or focuses the window.
void showHistory() {
  showWords();
  showList();
  InvalidateRect(GetDlgItem(clockHistoryWindow, IDC_HISTORY_PLOT), nullptr, FALSE);
}

void makeDriftFont(HWND window) {
  const HFONT dialogFont = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
  LOGFONTW face = {};
  if (dialogFont == nullptr || GetObjectW(dialogFont, sizeof face, &face) == 0) return;
  face.lfWeight = FW_BOLD;
  driftFont = CreateFontIndirectW(&face);
  if (driftFont != nullptr) SendDlgItemMessageW(window, IDC_DRIFT_TEXT, WM_SETFONT, reinterpret_cast<WPARAM>(driftFont), FALSE);
}

// Beside the main window on its screen: right of it, or left when there is
// no room on the right.
void placeBesideMainWindow(HWND window) {
  RECT mainRect, ownRect;
  if (mainWindow == nullptr || !GetWindowRect(mainWindow, &mainRect) || !GetWindowRect(window, &ownRect)) return;
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof monitor;
  if (!GetMonitorInfoW(MonitorFromRect(&mainRect, MONITOR_DEFAULTTONEAREST), &monitor)) return;
  const ScreenRect anchor = {mainRect.left, mainRect.top, mainRect.right, mainRect.bottom};
  const ScreenRect work = {monitor.rcWork.left, monitor.rcWork.top, monitor.rcWork.right, monitor.rcWork.bottom};
  const ScreenRect placed =
      placeBeside(anchor, ownRect.right - ownRect.left, ownRect.bottom - ownRect.top, GAP_TO_MAIN, work);
  SetWindowPos(window, nullptr, placed.left, placed.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void onInitDialog(HWND window) {
  clockHistoryWindow = window;
  makeDriftFont(window);
  addColumns(GetDlgItem(window, IDC_HISTORY_LIST));
  placeBesideMainWindow(window);
  showHistory();
  SetTimer(window, TIMER_HISTORY_TICK, TICK_MS, nullptr);
}

// Every change of the history comes with refreshClockHistory(); the tick
// moves "now" on, and shows a change of who keeps the rate.
void onTick() {
  showWords();
  // "now" moves on, and the drift's path with it.
  InvalidateRect(GetDlgItem(clockHistoryWindow, IDC_HISTORY_PLOT), nullptr, FALSE);
}

INT_PTR onCommand(HWND window, WPARAM wParam) {
  switch (LOWORD(wParam)) {
    case IDCANCEL: DestroyWindow(window); return TRUE;
    case IDOK: return TRUE;  // Enter has no button to press here
    default: return FALSE;
  }
}

void onDestroy(HWND window) {
  KillTimer(window, TIMER_HISTORY_TICK);
  clockHistoryWindow = nullptr;
  if (driftFont != nullptr) DeleteObject(driftFont);
  driftFont = nullptr;
}

INT_PTR CALLBACK clockHistoryProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: onInitDialog(window); return TRUE;
    case WM_COMMAND: return onCommand(window, wParam);
    case WM_CLOSE: DestroyWindow(window); return TRUE;
    case WM_DESTROY: onDestroy(window); return TRUE;
    case WM_TIMER: onTick(); return TRUE;
    case WM_DRAWITEM: onDrawItem(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)); return TRUE;
    default: return FALSE;
  }
}

}  // namespace

void openClockHistory() {
  // The user asked for it: it comes forward, whether new or already open.
  if (clockHistoryWindow == nullptr &&
      CreateDialogParamW(appInstance, MAKEINTRESOURCEW(IDD_CLOCK_HISTORY), nullptr, clockHistoryProc, 0) == nullptr)
    return;
  ShowWindow(clockHistoryWindow, SW_SHOWNORMAL);
  SetForegroundWindow(clockHistoryWindow);
}

void refreshClockHistory() {
  if (clockHistoryWindow != nullptr) showHistory();
}

void closeClockHistory() {
  if (clockHistoryWindow != nullptr) DestroyWindow(clockHistoryWindow);
}
