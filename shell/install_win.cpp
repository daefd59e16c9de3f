// The copy to Program Files and the handover to it (implements install_win.h).
//
// The command is offered exactly where the program's folder is open to its
// user, so anything running as that user may rename the running file and put
// another under its name. The copy is therefore made from the file held open
// since the start, which no one can change, rename or replace meanwhile, and
// only once the system confirms that this file is the image that runs.
#include <windows.h>

#include <cwchar>

#include "resources/resource.h"
#include "settings/logon_task_win.h"
#include "settings/settings.h"
#include "shell/app.h"
#include "shell/install_text.h"
#include "shell/install_win.h"
#include "shell/main_window_win.h"
#include "shell/own_file_win.h"
#include "shell/single_instance_win.h"
#include "shell/status.h"

namespace {

const UINT HANDOVER_TICK_MS = 200;
const int HANDOVER_TICKS = 150;  // 30 s: a copy alive that long runs, idle or not

const DWORD COPY_CHUNK = 65536;

bool offered;
bool wasShown;
HANDLE copyProcess;
int handoverTicks;
// The program's own file, held without write or delete sharing; invalid when
// it could not be opened or is not the image this process runs from.
HANDLE ownFile = INVALID_HANDLE_VALUE;

// out has room for LONGEST_PATH characters.
bool join(wchar_t* out, const wchar_t* folder, const wchar_t* name) {
  const size_t folderLength = std::wcslen(folder);
  const size_t nameLength = std::wcslen(name);
  if (folderLength + 1 + nameLength >= LONGEST_PATH) return false;
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
  if (claimSingleInstance() == INSTANCE_OURS) publishInstanceWindow(mainWindow);
  else noteInstanceNameTaken();
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

// The folder, made when it is missing: a new folder takes the permissions of
// Program Files.
bool makeFolder(const wchar_t* folder) {
  return CreateDirectoryW(folder, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// Copies the held file to target as a new file, so that it takes the
// permissions of its new folder rather than keeping those of the old place.
bool copyOwnFile(const wchar_t* target) {
  if (!DeleteFileW(target) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  HANDLE copy = CreateFileW(target, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (copy == INVALID_HANDLE_VALUE) return false;
  static BYTE chunk[COPY_CHUNK];
  LARGE_INTEGER start = {};
  bool ok = SetFilePointerEx(ownFile, start, nullptr, FILE_BEGIN) != FALSE;
  DWORD read = 0;
  while (ok && (ok = ReadFile(ownFile, chunk, COPY_CHUNK, &read, nullptr) != FALSE) && read != 0) {
    DWORD written = 0;
    ok = WriteFile(copy, chunk, read, &written, nullptr) && written == read;
  }
  CloseHandle(copy);
  if (!ok) DeleteFileW(target);
  return ok;
}

void tell(const char* text) { MessageBoxA(mainWindow, text, WINDOW_TITLE, MB_OK | MB_ICONERROR); }

bool startCopy(const wchar_t* folder, const wchar_t* target) {
  static wchar_t commandLine[LONGEST_PATH + 2];
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

void holdOwnFile() {
  static wchar_t path[LONGEST_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, LONGEST_PATH);
  if (length == 0 || length >= LONGEST_PATH) return;
  // Read sharing only: while the handle lives the file can be neither
  // written, nor renamed, nor deleted. Another file may have been put under
  // the name before it was opened: that one is not held.
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  if (isRunningImage(file)) ownFile = file;
  else CloseHandle(file);
}

void offerInstall(bool logonStartWanted) {
  // A quiet log-on start shows nothing; the next start by the user will tell.
  if (offered || mainWindow == nullptr || !logonStartWanted || launchMode == 's' || programMayStartAtLogon())
    return;
  offered = true;
  const InstallOffer offer = installOffer(programMayStartFromRunValue());
  showTrayBalloon(offer.title, offer.text);
}

void installInProgramFiles() {
  // A handover already under way, or nothing to gain: the menu offers the
  // command only while the program could not start at log-on.
  if (copyProcess != nullptr || programMayStartAtLogon()) return;
  static wchar_t programFiles[LONGEST_PATH], folder[LONGEST_PATH], target[LONGEST_PATH], own[LONGEST_PATH];
  const DWORD ownLength = GetModuleFileNameW(nullptr, own, LONGEST_PATH);
  if (ownLength == 0 || ownLength >= LONGEST_PATH || !programFilesFolder(programFiles) ||
      !join(folder, programFiles, L"Quorvel") || !join(target, folder, L"quorvel.exe")) {
    tell("The Program Files folder could not be found.");
    return;
  }
  if (samePath(own, target)) {
    MessageBoxA(mainWindow,
                "Quorvel already runs from Program Files, but other users may change its file or "
                "folder there, so it does not start at log-on.",
                WINDOW_TITLE, MB_OK | MB_ICONWARNING);
    return;
  }
  if (ownFile == INVALID_HANDLE_VALUE) {
    tell("Quorvel cannot tell that its file is still the program that runs: another file may have "
         "been put under its name. Nothing was copied; start Quorvel again and retry.");
    return;
  }
  if (mayBeOnNetwork(ownFile)) {
    tell("Quorvel runs from a network folder, whose server may hand out another file than the "
         "program that runs. Nothing was copied; copy quorvel.exe to this PC and install from there.");
    return;
  }
  if (!makeFolder(folder)) {
    tell("Quorvel could not be copied to Program Files.");
    return;
  }
  if (!folderMayHoldProgram(folder)) {
    tell("The folder Quorvel in Program Files lets other users change its files, so a program "
         "there could not safely start at log-on. Nothing was copied.");
    return;
  }
  if (!copyOwnFile(target)) {
    tell("Quorvel could not be copied to Program Files.");
    return;
  }
  if (!fileMayStartAtLogon(target)) {
    DeleteFileW(target);
    tell("Other users could change the copy in Program Files, so it would not start at log-on. "
         "The copy was removed.");
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
