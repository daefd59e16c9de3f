// The copy to Program Files and the handover to it (implements install_win.h).
#include <windows.h>

#include <cwchar>

#include "resources/resource.h"
#include "settings/logon_task_win.h"
#include "shell/app.h"
#include "shell/install_win.h"
#include "shell/main_window_win.h"
#include "shell/single_instance_win.h"
#include "shell/status.h"

namespace {

const UINT HANDOVER_TICK_MS = 200;
const int HANDOVER_TICKS = 150;  // 30 s: a copy alive that long runs, idle or not

bool offered;
bool wasShown;
HANDLE copyProcess;
int handoverTicks;

bool join(wchar_t out[MAX_PATH], const wchar_t* folder, const wchar_t* name) {
  const size_t folderLength = std::wcslen(folder);
  const size_t nameLength = std::wcslen(name);
  if (folderLength + 1 + nameLength >= MAX_PATH) return false;
  std::wmemcpy(out, folder, folderLength);
  out[folderLength] = L'\\';
  std::wmemcpy(out + folderLength + 1, name, nameLength + 1);
  return true;
}

bool samePath(const wchar_t* a, const wchar_t* b) {
  return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// Makes this instance unfindable for the copy's single-instance check, which
// would otherwise hand the copy's start over to this one.
void retireRunningInstance() {
  ShowWindow(mainWindow, SW_HIDE);
  SetWindowTextA(mainWindow, "");
  releaseSingleInstance();
}

void comeBack(const char* text) {
  SetWindowTextA(mainWindow, WINDOW_TITLE);
  // The copy is gone: this process is the instance again.
  if (claimSingleInstance()) publishInstanceWindow(mainWindow);
  if (wasShown) ShowWindow(mainWindow, SW_SHOW);
  MessageBoxA(mainWindow, text, WINDOW_TITLE, MB_OK | MB_ICONERROR);
}

void endHandover() {
  KillTimer(mainWindow, TIMER_HANDOVER);
  CloseHandle(copyProcess);
  copyProcess = nullptr;
}

// Waits for the copy's window without blocking this instance's messages.
void CALLBACK onHandoverTick(HWND, UINT, UINT_PTR, DWORD) {
  if (copyProcess == nullptr) return;
  if (WaitForSingleObject(copyProcess, 0) == WAIT_OBJECT_0) {
    endHandover();
    comeBack("The copy in Program Files ended at once. Quorvel goes on from here.");
    return;
  }
  // Idle means the copy's start-up is over and its window waits for input.
  if (WaitForInputIdle(copyProcess, 0) == WAIT_TIMEOUT && ++handoverTicks < HANDOVER_TICKS) return;
  endHandover();
  DestroyWindow(mainWindow);
}

// Copies the running program to target as a new file, so that it takes the
// permissions of its new folder rather than keeping those of the old place.
bool copyProgram(const wchar_t* source, const wchar_t* folder, const wchar_t* target) {
  if (!CreateDirectoryW(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  if (!DeleteFileW(target) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  return CopyFileW(source, target, TRUE) != FALSE;
}

bool startCopy(const wchar_t* folder, const wchar_t* target) {
  wchar_t commandLine[MAX_PATH + 2];
  commandLine[0] = L'"';
  std::wcscpy(commandLine + 1, target);
  std::wcscat(commandLine, L"\"");
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(target, commandLine, nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &process))
    return false;
  CloseHandle(process.hThread);
  copyProcess = process.hProcess;
  return true;
}

}  // namespace

void offerInstall() {
  if (offered || mainWindow == nullptr) return;
  offered = true;
  showTrayBalloon("Quorvel may not start at log-on",
                  "Windows starts it elevated at log-on only from a folder under Program Files that "
                  "other users cannot change. Choose \"Install in Program Files\" in the tray menu "
                  "to copy it there.");
}

void installInProgramFiles() {
  // A handover already under way, or nothing to gain: the menu offers the
  // command only while the program could not start at log-on.
  if (copyProcess != nullptr || programMayStartAtLogon()) return;
  wchar_t programFiles[MAX_PATH], folder[MAX_PATH], target[MAX_PATH], own[MAX_PATH];
  const DWORD ownLength = GetModuleFileNameW(nullptr, own, MAX_PATH);
  if (ownLength == 0 || ownLength >= MAX_PATH || !programFilesFolder(programFiles) ||
      !join(folder, programFiles, L"Quorvel") || !join(target, folder, L"quorvel.exe")) {
    MessageBoxA(mainWindow, "The Program Files folder could not be found.", WINDOW_TITLE, MB_OK | MB_ICONERROR);
    return;
  }
  if (samePath(own, target)) {
    MessageBoxA(mainWindow,
                "Quorvel already runs from Program Files, but other users may change its file or "
                "folder there, so it does not start at log-on.",
                WINDOW_TITLE, MB_OK | MB_ICONWARNING);
    return;
  }
  if (!copyProgram(own, folder, target)) {
    MessageBoxA(mainWindow, "Quorvel could not be copied to Program Files.", WINDOW_TITLE, MB_OK | MB_ICONERROR);
    return;
  }
  wasShown = IsWindowVisible(mainWindow) != FALSE;
  retireRunningInstance();
  if (!startCopy(folder, target)) {
    comeBack("The copy in Program Files could not be started.");
    return;
  }
  handoverTicks = 0;
  SetTimer(mainWindow, TIMER_HANDOVER, HANDOVER_TICK_MS, onHandoverTick);
}
