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

#include "settings/logon_task.h"
#include "settings/logon_task_win.h"

namespace {

const int SECURE_FOLDER_COUNT = 5;

// The Program Files folders (all three views: a 64-bit program sees the 64-bit
// one as ProgramFiles, but the list costs nothing) and the Windows folder.
// Folders that cannot be had stay empty and match nothing.
void secureFolders(wchar_t folders[SECURE_FOLDER_COUNT][MAX_PATH]) {
  const KNOWNFOLDERID* ids[] = {&FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86,
                                &FOLDERID_ProgramFilesX64, &FOLDERID_Windows};
  int n = 0;
  for (const KNOWNFOLDERID* id : ids) {
    PWSTR path = nullptr;
    folders[n][0] = L'\0';
    if (SUCCEEDED(SHGetKnownFolderPath(*id, 0, nullptr, &path)) && std::wcslen(path) < MAX_PATH)
      std::wcscpy(folders[n], path);
    CoTaskMemFree(path);
    ++n;
  }
  const UINT length = GetWindowsDirectoryW(folders[n], MAX_PATH);
  if (length == 0 || length >= MAX_PATH) folders[n][0] = L'\0';
}

// The program's own path in its long form: started through an 8.3 name it
// would not compare equal to the folder names. Empty when it does not fit.
void programPath(wchar_t path[MAX_PATH]) {
  wchar_t given[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, given, MAX_PATH);
  path[0] = L'\0';
  if (length == 0 || length >= MAX_PATH) return;
  const DWORD longLength = GetLongPathNameW(given, path, MAX_PATH);
  if (longLength == 0 || longLength >= MAX_PATH) std::wcscpy(path, given);
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

void updateLogonTask(bool wanted) {
  wchar_t path[MAX_PATH];
  programPath(path);
  wchar_t folders[SECURE_FOLDER_COUNT][MAX_PATH];
  secureFolders(folders);
  const wchar_t* const secure[SECURE_FOLDER_COUNT] = {folders[0], folders[1], folders[2], folders[3], folders[4]};
  const bool make = wanted && isInSecureFolder(path, secure, SECURE_FOLDER_COUNT);
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
