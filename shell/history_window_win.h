// The "Clock History" window: the offsets the runs found, the drift learnt
// from them and how good the clock is now.
#pragma once
#include <windows.h>

// The window while it is open, for the message loop's keyboard handling.
extern HWND clockHistoryWindow;

// Tray command "Clock History": opens the window beside the main one, or
// brings it forward when it is open.
void openClockHistory();
// A run has ended: the open window shows it, without taking the focus.
void refreshClockHistory();
// The main window's teardown.
void closeClockHistory();
