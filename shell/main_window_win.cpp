// The main window: a modeless dialog that is the hub of the program. Its one
// dialog procedure hands every message to the module that owns the behaviour;
// the window itself keeps only its placement, the user's offset, the tray
// menu and its teardown (implements main_window_win.h).
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstring>

#include "correction/clock_moves_win.h"
#include "correction/correction.h"
#include "discipline/clock_history.h"
#include "discipline/rate_keeping_win.h"
#include "query/query.h"
#include "query/query_run.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "settings/logon_task_win.h"
#include "settings/settings.h"
#include "shell/app.h"
#include "shell/history_window_win.h"
#include "shell/install_win.h"
#include "shell/main_window_win.h"
#include "shell/placement.h"
#include "shell/run_watch.h"
#include "shell/schedule.h"
#include "shell/server_list.h"
#include "shell/server_list_win.h"
#include "shell/single_instance_win.h"
#include "shell/status.h"
#include "timebase/clock.h"
#include "timebase/offset_text.h"

HWND mainWindow;
HINSTANCE appInstance;
bool trayMenuOpen;

namespace {

const int CONTROL_TEXT_SIZE = 100;  // display texts, at most 99 characters
const UINT CLOCK_SHOWN_MS = 100;
const UINT CLOCK_HIDDEN_MS = 10000;
// How often an instance that does not keep the clock reads what the keeper wrote.
const uint64_t KEEPER_LOOK_MS = 10000;

// Sent to every top-level window when the shell (and its tray) starts again.
UINT taskbarCreatedMessage;

bool torndown;

bool runActive() { return pendingCount > 0; }

// ---- placement ----------------------------------------------------------------

Placement fromPlatform(const WINDOWPLACEMENT& wp) {
  const Placement p = {static_cast<int32_t>(wp.length),  static_cast<int32_t>(wp.flags),
                       static_cast<int32_t>(wp.showCmd), wp.ptMinPosition.x,
                       wp.ptMinPosition.y,               wp.ptMaxPosition.x,
                       wp.ptMaxPosition.y,               wp.rcNormalPosition.left,
                       wp.rcNormalPosition.top,          wp.rcNormalPosition.right,
                       wp.rcNormalPosition.bottom};
  return p;
}

WINDOWPLACEMENT toPlatform(const Placement& p) {
  WINDOWPLACEMENT wp;
  wp.length = static_cast<UINT>(p.length);
  wp.flags = static_cast<UINT>(p.flags);
  wp.showCmd = static_cast<UINT>(p.showCmd);
  wp.ptMinPosition.x = p.minX;
  wp.ptMinPosition.y = p.minY;
  wp.ptMaxPosition.x = p.maxX;
  wp.ptMaxPosition.y = p.maxY;
  wp.rcNormalPosition.left = p.left;
  wp.rcNormalPosition.top = p.top;
  wp.rcNormalPosition.right = p.right;
  wp.rcNormalPosition.bottom = p.bottom;
  return wp;
}

Placement currentPlacement(HWND window) {
  WINDOWPLACEMENT wp;
  ZeroMemory(&wp, sizeof wp);
  wp.length = sizeof wp;
  GetWindowPlacement(window, &wp);
  return fromPlatform(wp);
}

// The stored placement when it is still on this screen, else the current one
// centred; in both cases the dialog's own size.
Placement restoredPlacement(HWND window) {
  uint8_t image[PLACEMENT_IMAGE_SIZE] = {};
  const bool read = readSetting("WindowPlacement", image, sizeof image);
  Placement stored;
  unpackPlacement(image, stored);
  const Placement current = currentPlacement(window);
  const int32_t screenWidth = GetSystemMetrics(SM_CXFULLSCREEN);
  const int32_t screenHeight = GetSystemMetrics(SM_CYFULLSCREEN);
  if (read && placementIsUsable(stored, screenWidth, screenHeight))
    return placementFromStored(stored, current);
  return placementCentred(current, screenWidth, screenHeight);
}

void savePlacement(HWND window) {
  uint8_t image[PLACEMENT_IMAGE_SIZE];
  packPlacement(currentPlacement(window), image);
  writeSetting("WindowPlacement", image, sizeof image);
}

// ---- the offset box -------------------------------------------------------------

void showUserOffset() {
  char text[CONTROL_TEXT_SIZE];
  formatOffset(userOffset, text);
  SetDlgItemTextA(mainWindow, IDC_OFFSET_EDIT, text);
}

void onOffsetEdited() {
  char text[CONTROL_TEXT_SIZE];
  GetDlgItemTextA(mainWindow, IDC_OFFSET_EDIT, text, sizeof text);
  const int64_t edited = parseOffset(text);
  // Offsets measured with another user offset do not connect to the next ones.
  if (edited != userOffset) noteClockBreak();
  userOffset = edited;
  writeSetting("Offset", &userOffset, sizeof userOffset);
  showUserOffset();
}

// ---- tray menu --------------------------------------------------------------------

// Item 1 shows what button 1 would do now, with its first letter as access key.
void labelSynchronizeItem(HMENU popup) {
  char label[CONTROL_TEXT_SIZE + 1] = "&";
  GetDlgItemTextA(mainWindow, IDC_SYNCHRONIZE, label + 1, CONTROL_TEXT_SIZE);
  MENUITEMINFOA item;
  ZeroMemory(&item, sizeof item);
  item.cbSize = sizeof item;
  item.fMask = MIIM_STRING;
  item.dwTypeData = label;
  SetMenuItemInfoA(popup, IDC_SYNCHRONIZE, FALSE, &item);
}

void showTrayMenu() {
  // A click while the menu is tracked arrives through the menu's own loop.
  if (trayMenuOpen) return;
  HMENU menu = LoadMenuA(appInstance, MAKEINTRESOURCEA(IDR_TRAY_MENU));
  if (menu == nullptr) return;
  // The user is here: a start-up run must not end the program behind their back.
  exitAfterCorrection = false;
  POINT cursor;
  GetCursorPos(&cursor);
  // Without the foreground the menu would not close when the user clicks elsewhere.
  SetForegroundWindow(mainWindow);
  trayMenuOpen = true;

  HMENU popup = GetSubMenu(menu, 0);
  SetMenuDefaultItem(popup, 0, TRUE);
  labelSynchronizeItem(popup);
  if (programMayStartAtLogon()) DeleteMenu(popup, IDM_INSTALL, MF_BYCOMMAND);
  TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_TOPALIGN, cursor.x, cursor.y, 0, mainWindow, nullptr);
  // The documented companion of the foreground switch: a message to the owner
  // lets a second click on the icon open the menu again rather than dismiss it.
  PostMessageA(mainWindow, WM_NULL, 0, 0);

  DestroyMenu(menu);
  trayMenuOpen = false;
}

void onTrayCallback(LPARAM mouseMessage) {
  switch (mouseMessage) {
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
      showTrayMenu();
      break;
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDBLCLK:
      SendMessageA(mainWindow, WM_COMMAND, IDM_OPEN, 0);
      break;
    default:
      break;
  }
}

// ---- initialisation -----------------------------------------------------------------

void loadLastCorrection() {
  readSetting("LastCorrectionTime", &lastCorrectionTime, sizeof lastCorrectionTime);
  readSetting("LastCorrectionValue", &lastCorrectionValue, sizeof lastCorrectionValue);
  scheduleBase = lastCorrectionTime;
}

void loadServers() {
  for (int slot = 0; slot < SERVER_SLOTS; ++slot) serverQueries[slot] = ServerQuery();
  loadServerTable();
  sortServerRows();
}

void loadSchedule(HWND window) {
  SendDlgItemMessageA(window, IDC_SCHEDULE_SLIDER, TBM_SETRANGE, TRUE, MAKELPARAM(0, 9));
  schedulePosition = 4;
  readSetting("Schedule", &schedulePosition, sizeof schedulePosition);
  SendDlgItemMessageA(window, IDC_SCHEDULE_SLIDER, TBM_SETPOS, TRUE, schedulePosition);
  applySchedule();
}

void loadUserOffset() {
  userOffset = 0;
  readSetting("Offset", &userOffset, sizeof userOffset);
  showUserOffset();
}

// An elevated process does not hear the shell's restart unless it asks to.
void listenForShellRestart(HWND window) {
  taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
  if (taskbarCreatedMessage != 0)
    ChangeWindowMessageFilterEx(window, taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
}

void onInitDialog(HWND window) {
  attachMainWindow(window);
  serverList = GetDlgItem(window, IDC_SERVER_LIST);
  SetWindowTextA(window, WINDOW_TITLE);
  HICON appIcon = LoadIconA(appInstance, MAKEINTRESOURCEA(IDI_APP));  // shared: never destroyed
  loadLastCorrection();
  loadClockHistory();
  addTrayIcon();
  showStatus(SHOW_LAST_CORRECTION);
  listenForShellRestart(window);
  SetClassLongPtrA(window, GCLP_HICON, reinterpret_cast<LONG_PTR>(appIcon));
  initServerList();
  loadServers();
  startRateKeeping();
  loadSchedule(window);
  loadUserOffset();
  if (!runActive()) applyLaunchRule();

  Placement placement = restoredPlacement(window);
  placement.showCmd = (launchMode != 0 || correctOnLaunch != 0) ? SW_HIDE : SW_SHOW;
  SetTimer(window, TIMER_CLOCK, CLOCK_HIDDEN_MS, nullptr);
  const WINDOWPLACEMENT wp = toPlatform(placement);
  SetWindowPlacement(window, &wp);
  ShowWindow(window, SW_HIDE);
}

// ---- commands -------------------------------------------------------------------------

void onSynchronize() {
  if (runActive()) {
    endAllQueries(STATUS_INTERRUPTED);
    return;
  }
  // Only a user who can see the window is asked about a large step.
  if (IsWindowVisible(mainWindow)) userRunNumber = runNumber + 1;
  manualRunNumber = runNumber + 1;
  startCorrectingRun();
}

void onMinimize() {
  ShowWindow(mainWindow, SW_HIDE);
  // With nothing scheduled there is no reason to stay in the tray.
  if (scheduleInterval == 0) DestroyWindow(mainWindow);
}

void onOpen() {
  correctionFailed = 0;
  if (!runActive()) showStatus(SHOW_LAST_CORRECTION);
  ShowWindow(mainWindow, SW_SHOWNORMAL);
}

INT_PTR onCommand(WPARAM wParam) {
  // Enter and Escape in the label editor must not reach the buttons, nor may
  // anything else change the list under the open editor.
  if (serverLabelEditOpen()) return FALSE;
  switch (LOWORD(wParam)) {
    case IDC_SYNCHRONIZE: onSynchronize(); return TRUE;
    case IDC_MINIMIZE: onMinimize(); return TRUE;
    case IDC_RESTORE_LIST:
    case IDM_RESTORE_LIST: restoreListCommand(); return TRUE;
    case IDC_ADD_SERVER:
    case IDM_ADD_SERVER: addServerCommand(); return TRUE;
    case CMD_CORRECT_IF_IDLE:
      if (!runActive() && rateKeeper()) startCorrectingRun();
      return TRUE;
    case IDM_DELETE_SERVER: deleteSelectedServers(); return TRUE;
    case IDM_TEST_SERVER: startTestRun(); return TRUE;
    case IDM_ENABLE_DISABLE: toggleSelectedServers(); return TRUE;
    case IDM_EDIT_SERVER: editServerCommand(); return TRUE;
    case IDM_OPEN: onOpen(); return TRUE;
    case IDM_QUIT: DestroyWindow(mainWindow); return TRUE;
    case IDM_INSTALL: installInProgramFiles(); return TRUE;
    case IDM_CLOCK_HISTORY: openClockHistory(); return TRUE;
    case IDC_OFFSET_EDIT:
      if (HIWORD(wParam) == EN_KILLFOCUS) onOffsetEdited();
      return TRUE;
    default: return FALSE;
  }
}

// ---- timers and the rest ----------------------------------------------------------------

void refreshClockText() {
  char now[CONTROL_TEXT_SIZE];
  formatLocalTime(readClock(), now);
  char shown[CONTROL_TEXT_SIZE];
  GetDlgItemTextA(mainWindow, IDC_CLOCK_TEXT, shown, sizeof shown);
  // Rewriting an unchanged text ten times a second would only flicker.
  if (std::strcmp(now, shown) != 0) SetDlgItemTextA(mainWindow, IDC_CLOCK_TEXT, now);
}

// The keeper of another session ended: this instance keeps the clock from
// now on, as a start would.
void becomeKeeper() {
  setRateKeeper(true);
  setHistoryWriter(true);
  healRateAtStart();
  reloadClockMoves();
  loadLastCorrection();
  loadClockHistory();
  startRateKeeping();
  rateFollowsSchedule(scheduleChosenAt(schedulePosition));
}

// While another session's instance keeps the clock, this one shows what the
// keeper wrote, and takes over once it ends.
void followKeeper() {
  if (rateKeeper()) return;
  if (claimRateKeeper()) {
    becomeKeeper();
    return;
  }
  static uint64_t lastLook;
  const uint64_t now = readCounterMs();
  if (now - lastLook < KEEPER_LOOK_MS) return;
  lastLook = now;
  loadLastCorrection();
  loadClockHistory();
  if (!runActive()) showStatus(SHOW_LAST_CORRECTION);
  refreshClockHistory();
}

void onTimer(WPARAM id) {
  switch (id) {
    case TIMER_CLOCK:
      followKeeper();
      refreshClockText();
      watchClock();
      keepClockRate(IsWindowVisible(mainWindow) ? CLOCK_SHOWN_MS : CLOCK_HIDDEN_MS);
      checkScheduleDue();
      break;
    case TIMER_EXIT:
      KillTimer(mainWindow, TIMER_EXIT);
      if (exitAfterCorrection) DestroyWindow(mainWindow);
      break;
    case TIMER_SAMPLE:
      startDueSamples();
      break;
    case TIMER_RETRY:
      onRetryTimer();
      break;
    case TIMER_RESUME:
      onResumeTimer();
      break;
    case TIMER_BUSY:
      blinkTrayIcon();
      checkRunDeadline();
      refreshDirtyRows();
      break;
    default:
      break;
  }
}

INT_PTR onNotify(const NMHDR* header) {
  if (header->idFrom != IDC_SERVER_LIST) return FALSE;
  return onServerListNotify(header);
}

void onShowWindow(HWND window, bool shown) {
  // The clock text needs the fast tick only while someone can see it.
  KillTimer(window, TIMER_CLOCK);
  SetTimer(window, TIMER_CLOCK, shown ? CLOCK_SHOWN_MS : CLOCK_HIDDEN_MS, nullptr);
}

void onMove(HWND window) {
  // Moves during creation come before the stored placement has been read.
  if (mainWindow == window) savePlacement(window);
}

void onDestroy() {
  teardownMainWindow();
  attachMainWindow(nullptr);
  PostQuitMessage(0);
}

}  // namespace

void teardownMainWindow() {
  // Runs once: fatalExit may call it while WM_DESTROY is already tearing down.
  if (torndown) return;
  torndown = true;
  removeTrayIcon();
  KillTimer(mainWindow, TIMER_CLOCK);
  // A correcting run cut short still corrects from the servers that answered.
  if (runActive()) endAllQueries(STATUS_INTERRUPTED);
  KillTimer(mainWindow, TIMER_EXIT);
  KillTimer(mainWindow, TIMER_BUSY);
  KillTimer(mainWindow, TIMER_SAMPLE);
  stopScheduleTimers();
  closeClockHistory();
  // The crystal keeps its rate after the program ends: the compensation stays.
  leaveRateAtExit();
}

void attachMainWindow(HWND window) {
  mainWindow = window;
  plugInProtocols();
  setQueryWindow(window);
  setBootCorrectedCheck(bootFirstCorrectionTaken);
  watchRuns();
}

void setSynchronizeCaption(const char* caption) { SetDlgItemTextA(mainWindow, IDC_SYNCHRONIZE, caption); }

INT_PTR CALLBACK mainDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: onInitDialog(window); return TRUE;
    case WM_DESTROY: onDestroy(); return TRUE;
    case WM_MOVE: onMove(window); return TRUE;
    case WM_CLOSE:
      // The close box is button 2, ignored like it while a name is being edited.
      onCommand(IDC_MINIMIZE);
      return TRUE;
    case WM_SYSCOLORCHANGE: setServerListBackground(); return FALSE;
    case WM_ENDSESSION: DestroyWindow(window); return TRUE;
    case WM_SHOWWINDOW: onShowWindow(window, wParam != 0); return TRUE;
    case WM_NOTIFY: return onNotify(reinterpret_cast<const NMHDR*>(lParam));
    case WM_COMMAND: return onCommand(wParam);
    case WM_TIMER: onTimer(wParam); return TRUE;
    case WM_HSCROLL: onScheduleSlider(); return TRUE;
    case WM_TRAY_CALLBACK: onTrayCallback(lParam); return FALSE;
    case WM_DNS_DONE: onHostLookupDone(wParam, HIWORD(lParam)); return TRUE;
    case WM_SOCKET_EVENT: onSocketEvent(wParam, LOWORD(lParam), HIWORD(lParam)); return TRUE;
    case WM_POWERBROADCAST: onPowerBroadcast(wParam); return TRUE;
    case WM_CONFIRM_STEP: onConfirmStep(); return TRUE;
    case WM_TIMECHANGE: onTimeChange(); return FALSE;
    default:
      if (message == taskbarCreatedMessage && message != 0) {
        addTrayIcon();
        return TRUE;
      }
      return FALSE;
  }
}
