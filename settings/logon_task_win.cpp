// The log-on task through the Task Scheduler 2.0 COM interfaces.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>
#include <knownfolders.h>
#include <taskschd.h>

#include <string>
#include <vector>

#include "settings/logon_task.h"
#include "settings/logon_task_win.h"

namespace {

// The Program Files folders (all three views: a 64-bit program sees the 64-bit
// one as ProgramFiles, but the list costs nothing) and the Windows folder.
std::vector<std::wstring> secureFolders() {
  std::vector<std::wstring> folders;
  const KNOWNFOLDERID* ids[] = {&FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86,
                                &FOLDERID_ProgramFilesX64, &FOLDERID_Windows};
  for (const KNOWNFOLDERID* id : ids) {
    PWSTR path = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(*id, 0, nullptr, &path))) folders.push_back(path);
    CoTaskMemFree(path);
  }
  wchar_t windows[MAX_PATH];
  const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
  if (length > 0 && length < MAX_PATH) folders.push_back(windows);
  return folders;
}

// The program's own path in its long form: started through an 8.3 name it
// would not compare equal to the folder names. Empty when it does not fit.
std::wstring programPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  wchar_t longPath[MAX_PATH];
  const DWORD longLength = GetLongPathNameW(path, longPath, MAX_PATH);
  if (longLength == 0 || longLength >= MAX_PATH) return path;
  return longPath;
}

ITaskFolder* openRootFolder(ITaskService** service) {
  *service = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
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

void registerTask(ITaskFolder* folder, const std::wstring& path) {
  BSTR name = SysAllocString(LOGON_TASK_NAME);
  BSTR xml = SysAllocString(logonTaskXml(path).c_str());
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
  const std::wstring path = programPath();
  const bool make = wanted && isInSecureFolder(path, secureFolders());
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
