// The main window (minimal until the full window lands).
#include <windows.h>

#include "resources/resource.h"
#include "shell/app.h"
#include "shell/main_window_win.h"

HWND mainWindow;
HINSTANCE appInstance;
int64_t userOffset;
bool trayMenuOpen;

void teardownMainWindow() {}

void setSynchronizeCaption(const char* caption) { SetDlgItemTextA(mainWindow, IDC_SYNCHRONIZE, caption); }

INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      mainWindow = window;
      SetWindowTextA(window, WINDOW_TITLE);
      ShowWindow(window, SW_HIDE);
      return TRUE;
    case WM_DESTROY:
      teardownMainWindow();
      mainWindow = nullptr;
      PostQuitMessage(0);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDM_QUIT || LOWORD(wParam) == IDC_MINIMIZE) DestroyWindow(window);
      else if (LOWORD(wParam) == IDM_OPEN) ShowWindow(window, SW_SHOWNORMAL);
      return TRUE;
    default:
      return FALSE;
  }
}
