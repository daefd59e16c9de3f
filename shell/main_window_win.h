// The main window: a modeless dialog that is the hub of the program.
#pragma once
#include <windows.h>
#include <cstdint>

extern HWND mainWindow;
extern HINSTANCE appInstance;
extern bool trayMenuOpen;

INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The window is there (or, with nullptr, gone): the queries' notifications
// go to it, and the shell hears of the runs.
void attachMainWindow(HWND window);
void teardownMainWindow();
// Sets the caption of button 1 ("Synchronize Time", "Stop Correcting...", ...).
void setSynchronizeCaption(const char* caption);
