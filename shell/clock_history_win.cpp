// The "Clock History" window (implements clock_history_win.h).
#include "shell/clock_history_win.h"

HWND clockHistoryWindow;

void openClockHistory() {}
void refreshClockHistory() {}
void closeClockHistory() {}
