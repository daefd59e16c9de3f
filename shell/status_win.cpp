// Status line, tray icon and tray tip (implements status.h): what the user
// sees of a run in progress, the last correction and a failed correction.
#include <windows.h>
#include <shellapi.h>

#include "correction/correction.h"
#include "resources/resource.h"
#include "shell/main_window_win.h"
#include "shell/single_instance_win.h"
#include "shell/status.h"
#include "shell/status_text.h"
#include "timebase/clock.h"

bool blinkPhase;

namespace {

// What the tray shows now, so that a restarted shell gets the same icon back.
int shownIcon;  // resource id; 0 until the first showStatus
char shownTip[TRAY_TIP_SIZE];

// The three tray pictures at the small-icon size, loaded once and kept for the
// life of the process: loading per tick would leak a handle every 200 ms.
HICON trayIcons[3];

HICON trayIcon(int id) {
  const int index = id - IDI_TRAY;
  if (index < 0 || index >= 3) return nullptr;
  if (trayIcons[index] == nullptr) {
    trayIcons[index] = static_cast<HICON>(LoadImageA(appInstance, MAKEINTRESOURCEA(id), IMAGE_ICON,
                                                     GetSystemMetrics(SM_CXSMICON),
                                                     GetSystemMetrics(SM_CYSMICON), 0));
  }
  return trayIcons[index];
}

// The tray record in its version-2 size: the form with a 128-character tip,
// which every shell since Windows 2000 accepts.
NOTIFYICONDATAA trayRecord(UINT flags) {
  NOTIFYICONDATAA data;
  ZeroMemory(&data, sizeof data);
  data.cbSize = static_cast<DWORD>(NOTIFYICONDATAA_V2_SIZE);
  data.hWnd = mainWindow;
  data.uID = 0;
  data.uFlags = flags;
  return data;
}

void modifyTrayIcon(UINT flags) {
  NOTIFYICONDATAA data = trayRecord(flags);
  if (flags & NIF_ICON) data.hIcon = trayIcon(shownIcon);
  if (flags & NIF_TIP) lstrcpynA(data.szTip, shownTip, sizeof data.szTip);
  Shell_NotifyIconA(NIM_MODIFY, &data);
}

// What went wrong in the last correcting run; nullptr when nothing did.
const char* failureTip() {
  if (correctionFailed == 0) return nullptr;
  if (stepBeyondLimit) return TIP_STEP_BEYOND_LIMIT;
  if (totalBeyondLimit) return TIP_TOTAL_BEYOND_LIMIT;
  return TIP_CORRECTION_FAILED;
}

}  // namespace

void addTrayIcon() {
  // At start the icon comes without a picture; showStatus gives it one. After
  // a shell restart it comes back with what it showed before.
  UINT flags = NIF_MESSAGE;
  if (shownIcon != 0) flags |= NIF_ICON | NIF_TIP;
  NOTIFYICONDATAA data = trayRecord(flags);
  data.uCallbackMessage = WM_TRAY_CALLBACK;
  if (shownIcon != 0) {
    data.hIcon = trayIcon(shownIcon);
    lstrcpynA(data.szTip, shownTip, sizeof data.szTip);
  }
  Shell_NotifyIconA(NIM_ADD, &data);
}

void showTrayBalloon(const char* title, const char* text) {
  NOTIFYICONDATAA data = trayRecord(NIF_INFO);
  data.dwInfoFlags = NIIF_INFO;
  lstrcpynA(data.szInfoTitle, title, sizeof data.szInfoTitle);
  lstrcpynA(data.szInfo, text, sizeof data.szInfo);
  Shell_NotifyIconA(NIM_MODIFY, &data);
}

void removeTrayIcon() {
  NOTIFYICONDATAA data = trayRecord(0);
  Shell_NotifyIconA(NIM_DELETE, &data);
}

void showStatus(int mode) {
  if (mainWindow != nullptr) KillTimer(mainWindow, TIMER_BUSY);
  if (mode == SHOW_CHECKING || mode == SHOW_TESTING) {
    correctionFailed = 0;
    // Without a window SetTimer would make a thread timer nobody handles.
    if (mainWindow != nullptr) SetTimer(mainWindow, TIMER_BUSY, 200, nullptr);
  }

  char localTime[100] = "";
  if (mode != SHOW_CHECKING && mode != SHOW_TESTING && lastCorrectionTime != 0)
    formatLocalTime(lastCorrectionTime, localTime);
  char text[STATUS_TEXT_SIZE];
  buildStatusText(mode, lastCorrectionTime, lastCorrectionValue, localTime, text);
  if (mainWindow != nullptr) SetDlgItemTextA(mainWindow, IDC_STATUS_TEXT, text);

  buildTrayTip(text, failureTip(), instanceNameTaken(), shownTip);
  shownIcon = correctionFailed != 0 ? IDI_TRAY_FAILED : IDI_TRAY;
  modifyTrayIcon(NIF_ICON | NIF_TIP);
}

void blinkTrayIcon() {
  blinkPhase = !blinkPhase;
  shownIcon = blinkPhase ? IDI_TRAY : IDI_APP;
  modifyTrayIcon(NIF_ICON);
}
