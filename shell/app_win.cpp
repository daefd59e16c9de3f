// Start-up, single instance, uninstall, the message loop and how a fatal
// exit ends the program (the one that timebase/fatal_exit.h offers below).
#include <winsock.h>
#include <windows.h>
#include <commctrl.h>

#include "discipline/clock_history.h"
#include "discipline/rate_keeping_win.h"
#include "resources/resource.h"
#include "servers/server_table.h"
#include "settings/settings.h"
#include "shell/app.h"
#include "shell/command_line.h"
#include "shell/history_window_win.h"
#include "shell/main_window_win.h"
#include "shell/server_list_win.h"
#include "shell/single_instance_win.h"
#include "timebase/clock.h"
#include "timebase/fatal_exit.h"

char launchMode;
uint8_t correctOnLaunch;
static bool socketsStarted;
static bool fatalInProgress;

static void endWithFatalBox(const char* text) {
  if (fatalInProgress) return;
  fatalInProgress = true;
  if (mainWindow != nullptr) teardownMainWindow();
  // Before the box: the process may be ended while it waits for an answer.
  rateAtCrash();
  MessageBoxA(mainWindow, text, WINDOW_TITLE, MB_OK | MB_SYSTEMMODAL | MB_ICONERROR);
  if (socketsStarted) WSACleanup();
  ExitProcess(0);
}

// False when the user declines to erase the settings of another version.
static bool checkSettingsVersion() {
  uint32_t version = 0;
  if (!readSetting("Version", &version, sizeof version)) return true;
  if (version == SETTINGS_VERSION) {
    loadDefaultServers = false;
    return true;
  }
  if (MessageBoxA(nullptr,
                  "Registry settings of other versions of Quorvel will be erased if you run this version.",
                  WINDOW_TITLE, MB_OKCANCEL | MB_ICONERROR) != IDOK)
    return false;
  if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY) != ERROR_SUCCESS)
    fatalExit("Cannot erase old Registry key");
  return true;
}

// Commands to the running instance wait at most this long, so that a hung
// instance cannot hang a start or an uninstall.
const UINT HANDOVER_TIMEOUT_MS = 5000;

// The running instance's main window: the one a trusted holder of the
// instance mutex published, never just any window with our title, and only
// when it answers. nullptr when this process is to run as the instance: it
// holds the name, or someone who cannot be reached or trusted does, and then
// later starts cannot find this one.
static HWND findRunningInstance() {
  switch (claimSingleInstance()) {
    case INSTANCE_OURS: return nullptr;
    case INSTANCE_TAKEN: noteInstanceNameTaken(); return nullptr;
    case INSTANCE_HELD: break;
  }
  const HWND running = findPublishedInstance();
  DWORD_PTR result = 0;
  if (running != nullptr &&
      SendMessageTimeoutA(running, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, HANDOVER_TIMEOUT_MS, &result) != 0)
    return running;
  // Unless the holder ended meanwhile and this process took its place.
  if (!instanceClaimed()) noteInstanceNameTaken();
  return nullptr;
}

static bool sendToRunningInstance(HWND running, WPARAM command) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutA(running, WM_COMMAND, command, 0, SMTO_ABORTIFHUNG, HANDOVER_TIMEOUT_MS,
                             &result) != 0;
}

// Hands the start over to a running instance; false when there is none or
// when uninstalling, which goes on after the running instance has quit.
static bool handOverToRunningInstance() {
  HWND running = findRunningInstance();
  if (running == nullptr) return false;
  if (correctOnLaunch != 0) {
    sendToRunningInstance(running, CMD_CORRECT_IF_IDLE);
    return true;
  }
  // At log-on both the Run value and the log-on task may start the program;
  // the second of them must leave the running window as it is.
  if (launchMode == 's') return true;
  if (launchMode != 'u') {
    // Asynchronous: showing another process's window must not wait on it.
    ShowWindowAsync(running, SW_SHOW);
    SetForegroundWindow(running);
    return true;
  }
  sendToRunningInstance(running, IDM_QUIT);
  return false;
}

static void uninstall() {
  updateRegistration(false);
  giveRateBack();
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY);
  fatalExit("Uninstall complete.  Now delete Quorvel files.");
}

// Enter in the server list opens the server menu. The dialog manager would
// turn it into command 1 and start a correcting run, and not every list view
// reports Enter to its parent, so the loop opens the menu itself.
static bool isEnterForServerList(const MSG& message) {
  return message.message == WM_KEYDOWN && message.wParam == VK_RETURN && serverList != nullptr &&
         message.hwnd == serverList;
}

static int runMessageLoop() {
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (isEnterForServerList(message)) {
      showServerMenu(MENU_AT_LIST_CORNER);
      continue;
    }
    if (mainWindow != nullptr && IsWindow(mainWindow) && IsDialogMessageA(mainWindow, &message))
      continue;
    if (clockHistoryWindow != nullptr && IsDialogMessageW(clockHistoryWindow, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

// A crash in any thread: the compensation alone stays in force, not a slew
// at up to 500 ppm beyond it, until someone sets the rate again.
static LONG WINAPI onUnhandledException(EXCEPTION_POINTERS*) {
  rateAtCrash();
  return EXCEPTION_CONTINUE_SEARCH;
}

int runQuorvel(const char* commandLine) {
  SetUnhandledExceptionFilter(onUnhandledException);
  setFatalExit(endWithFatalBox);
  if (!checkSettingsVersion()) return 0;
  readSetting("CorrectOnLaunch", &correctOnLaunch, sizeof correctOnLaunch);
  launchMode = launchLetter(argumentText(commandLine));

  if (handOverToRunningInstance()) return 0;
  // Before anything else sets the rate: who keeps it, and what a keeper
  // that died left in force.
  const bool keeper = claimRateKeeper();
  setRateKeeper(keeper);
  setHistoryWriter(keeper);
  if (launchMode == 'u') uninstall();
  healRateAtStart();

  // Setting the clock to its own reading proves the right to set it.
  if (shiftClock(0) == 0) {
    if (launchMode == 's') return 0;
    fatalExit("You do not have privileges to set the system time.\n\nLog on as an Administrator instead.");
  }

  WSADATA winsock;
  if (WSAStartup(0x0101, &winsock) != 0) fatalExit("Could not open windows sockets.");
  socketsStarted = true;

  appInstance = GetModuleHandleA(nullptr);
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);

  const uint32_t version = SETTINGS_VERSION;
  writeSetting("Version", &version, sizeof version);

  if (CreateDialogParamA(appInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, mainDialogProc, 0) == nullptr)
    fatalExit("Cannot create the main window.");
  publishInstanceWindow(mainWindow);

  const int exitCode = runMessageLoop();
  if (socketsStarted) WSACleanup();
  return exitCode;
}
