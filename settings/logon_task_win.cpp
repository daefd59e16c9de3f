// The log-on task through the Task Scheduler 2.0 COM interfaces.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
// The folder ids are defined here, not taken from a library that brings every
// id the system knows along with them.
#include <initguid.h>
#include <knownfolders.h>
#include <taskschd.h>

#include <cwchar>

#include "settings/file_trust_win.h"
#include "settings/logon_task.h"
#include "settings/logon_task_win.h"
#include "settings/settings.h"

namespace {

const int SECURE_FOLDER_COUNT = 2;

// The path the system ends at for path, in its plain form: junctions,
// symbolic links, 8.3 names and ".." resolved, so that no name can lead the
// place rule somewhere else than the file itself. Empty when it cannot be had.
// out has room for LONGEST_PATH characters.
void finalPath(const wchar_t* path, wchar_t* out) {
  out[0] = L'\0';
  // Backup semantics let a folder be opened too; no right beyond reading its
  // attributes is asked for.
  HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  static wchar_t reported[LONGEST_PATH + 8];
  const DWORD length = GetFinalPathNameByHandleW(file, reported, LONGEST_PATH + 8,
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(file);
  if (length == 0 || length >= LONGEST_PATH + 8) return;
  plainFinalPath(reported, out, LONGEST_PATH);
}

// The 64-bit and the 32-bit Program Files folders. The Windows folder does not
// count: standard users may write to several folders in it. Folders that
// cannot be had stay empty and match nothing.
void secureFolders(wchar_t folders[SECURE_FOLDER_COUNT][LONGEST_PATH]) {
  const KNOWNFOLDERID* ids[SECURE_FOLDER_COUNT] = {&FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86};
  for (int n = 0; n < SECURE_FOLDER_COUNT; ++n) {
    PWSTR path = nullptr;
    folders[n][0] = L'\0';
    if (SUCCEEDED(SHGetKnownFolderPath(*ids[n], 0, nullptr, &path))) finalPath(path, folders[n]);
    CoTaskMemFree(path);
  }
}

// path: a final path. isFolder: a folder to hold the program, not the file.
bool isTrustedPlace(const wchar_t* path, bool isFolder) {
  static wchar_t folders[SECURE_FOLDER_COUNT][LONGEST_PATH];
  secureFolders(folders);
  const wchar_t* const secure[SECURE_FOLDER_COUNT] = {folders[0], folders[1]};
  if (!isInSecureFolder(path, secure, SECURE_FOLDER_COUNT)) return false;
  return isFolder ? noOtherUserCanChangeFolder(path) : noOtherUserCanReplace(path);
}

ITaskFolder* openRootFolder(ITaskService** service) {
  *service = nullptr;
  if (FAILED(CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskService),
                              reinterpret_cast<void**>(service))))
    return nullptr;
  VARIANT none;
  VariantInit(&none);
  ITaskFolder* folder = nullptr;
  BSTR root = SysAllocString(L"\\");
  if (root == nullptr || FAILED((*service)->Connect(none, none, none, none)) ||
      FAILED((*service)->GetFolder(root, &folder)))
    folder = nullptr;
  SysFreeString(root);
  return folder;
}

void registerTask(ITaskFolder* folder, const wchar_t* path) {
  static wchar_t definition[LOGON_TASK_XML_SIZE];
  if (!buildLogonTaskXml(path, definition, LOGON_TASK_XML_SIZE)) return;
  BSTR name = SysAllocString(LOGON_TASK_NAME);
  BSTR xml = SysAllocString(definition);
  VARIANT group, none;
  VariantInit(&group);
  VariantInit(&none);
  group.vt = VT_BSTR;
  group.bstrVal = SysAllocString(L"S-1-5-32-545");  // the built-in Users group
  IRegisteredTask* task = nullptr;
  if (name != nullptr && xml != nullptr && group.bstrVal != nullptr &&
      SUCCEEDED(folder->RegisterTask(name, xml, TASK_CREATE_OR_UPDATE, group, none, TASK_LOGON_GROUP,
                                     none, &task)) &&
      task != nullptr)
    task->Release();
  VariantClear(&group);
  SysFreeString(xml);
  SysFreeString(name);
}

void deleteTask(ITaskFolder* folder) {
  BSTR name = SysAllocString(LOGON_TASK_NAME);
  if (name != nullptr) folder->DeleteTask(name, 0);  // a missing task is no fault
  SysFreeString(name);
}

}  // namespace

void programFinalPath(wchar_t* path) {
  static wchar_t given[LONGEST_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, given, LONGEST_PATH);
  path[0] = L'\0';
  if (length == 0 || length >= LONGEST_PATH) return;
  finalPath(given, path);
}

bool programFilesFolder(wchar_t* folder) {
  PWSTR path = nullptr;
  folder[0] = L'\0';
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &path)) &&
      std::wcslen(path) < LONGEST_PATH)
    std::wcscpy(folder, path);
  CoTaskMemFree(path);
  return folder[0] != L'\0';
}

bool programMayStartAtLogon() {
  static wchar_t path[LONGEST_PATH];
  programFinalPath(path);
  return isTrustedPlace(path, false);
}

bool programMayStartFromRunValue() {
  static wchar_t path[LONGEST_PATH];
  programFinalPath(path);
  return noOtherUserCanReplace(path);
}

bool fileMayStartAtLogon(const wchar_t* path) {
  static wchar_t resolved[LONGEST_PATH];
  finalPath(path, resolved);
  return isTrustedPlace(resolved, false);
}

bool folderMayHoldProgram(const wchar_t* folder) {
  static wchar_t resolved[LONGEST_PATH];
  finalPath(folder, resolved);
  return isTrustedPlace(resolved, true);
}

void updateLogonTask(bool wanted) {
  static wchar_t path[LONGEST_PATH];
  programFinalPath(path);
  // Checked again at every start: a file moved out, or a folder opened up to
  // others since, loses its task.
  const bool make = wanted && isTrustedPlace(path, false);
  // S_FALSE: COM was already set up on this thread; it still takes its own
  // CoUninitialize. RPC_E_CHANGED_MODE: set up in another model, usable as
  // it is, and not ours to undo.
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(com) && com != RPC_E_CHANGED_MODE) return;
  ITaskService* service = nullptr;
  ITaskFolder* folder = openRootFolder(&service);
  if (folder != nullptr) {
    if (make) registerTask(folder, path);
    else deleteTask(folder);
    folder->Release();
  }
  if (service != nullptr) service->Release();
  if (SUCCEEDED(com)) CoUninitialize();
}
