// The single-instance mutex and the record of the instance's main window.
//
// Both live where only administrators can create objects: a private namespace
// whose boundary is the Administrators group, or, where the system has no
// private namespaces (Wine), plain session-local names created with a DACL
// for Administrators and SYSTEM only, whose owner is checked when they exist
// already. A window title alone proves nothing: any program can make one.
// The names carry the session id: the private namespace is machine-wide, and
// a window handle only works in its own session.
#include "shell/single_instance_win.h"

#include <aclapi.h>

#include <cstdint>
#include <cstring>
#include <cwchar>

#include "resources/resource.h"
#include "shell/app.h"
#include "timebase/kernel_call_win.h"

namespace {

HANDLE ownNamespace;
HANDLE instanceMutex;
bool holdsMutex;
bool nameTaken;
HANDLE recordMapping;
void* recordView;

const int OBJECT_NAME_SIZE = 64;
wchar_t mutexName[OBJECT_NAME_SIZE];
wchar_t recordName[OBJECT_NAME_SIZE];
// The keeper of the clock's rate is one per machine: no session in its name.
wchar_t keeperName[OBJECT_NAME_SIZE];
HANDLE keeperMutex;
bool holdsKeeper;
bool keeperNameTaken;

// prefix: L"Quorvel\\" in the private namespace, L"Local\\Quorvel." outside it.
void nameObjects(const wchar_t* prefix) {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  // user32's formatter, not the runtime's wide printf and its 10 KB; the
  // longest name, 33 characters, fits.
  wsprintfW(mutexName, L"%sInstance.%lu", prefix, static_cast<unsigned long>(session));
  wsprintfW(recordName, L"%sWindow.%lu", prefix, static_cast<unsigned long>(session));
}

void nameKeeper(const wchar_t* name) { lstrcpynW(keeperName, name, OBJECT_NAME_SIZE); }

struct InstanceRecord {
  uint64_t window;
  uint32_t pid;
};

struct WellKnownSid {
  BYTE bytes[SECURITY_MAX_SID_SIZE];
  bool make(WELL_KNOWN_SID_TYPE type) {
    DWORD size = sizeof bytes;
    return CreateWellKnownSid(type, nullptr, bytes, &size) != FALSE;
  }
  PSID sid() { return bytes; }
};

WellKnownSid administrators, localSystem;
BYTE aclBytes[256];
SECURITY_DESCRIPTOR descriptor;
SECURITY_ATTRIBUTES attributes;

// Administrators and SYSTEM only: a process of the same user without
// elevation can neither open nor change these objects.
SECURITY_ATTRIBUTES* adminsOnly() {
  if (attributes.nLength != 0) return &attributes;
  PACL acl = reinterpret_cast<PACL>(aclBytes);
  if (!administrators.make(WinBuiltinAdministratorsSid) || !localSystem.make(WinLocalSystemSid) ||
      !InitializeAcl(acl, sizeof aclBytes, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, administrators.sid()) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, localSystem.sid()) ||
      !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE))
    return nullptr;
  attributes = {sizeof attributes, &descriptor, FALSE};
  return &attributes;
}

// Objects this process creates get its token's default owner: Administrators
// for an elevated administrator. A non-elevated process of the same user gets
// the user, so its objects do not pass.
bool trustedOwner(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR found = nullptr;
  if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &found) != ERROR_SUCCESS)
    return false;
  bool trusted = owner != nullptr && ((administrators.make(WinBuiltinAdministratorsSid) &&
                                       EqualSid(owner, administrators.sid())) ||
                                      (localSystem.make(WinLocalSystemSid) && EqualSid(owner, localSystem.sid())));
  HANDLE token = nullptr;
  if (!trusted && owner != nullptr && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    BYTE buffer[sizeof(TOKEN_OWNER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &size))
      trusted = EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner) != FALSE;
    CloseHandle(token);
  }
  LocalFree(found);
  return trusted;
}

// The private namespace "Quorvel" bounded by the Administrators group. Wine
// has the calls but returns no boundary descriptor, and ends the process in
// AddSIDToBoundaryDescriptor, so that one is called only with a descriptor.
bool openOwnNamespace() {
  using CreateBoundary = HANDLE(WINAPI*)(LPCWSTR, ULONG);
  using AddSid = BOOL(WINAPI*)(HANDLE*, PSID);
  using DeleteBoundary = VOID(WINAPI*)(HANDLE);
  using CreateNamespace = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPVOID, LPCWSTR);
  using OpenNamespace = HANDLE(WINAPI*)(LPVOID, LPCWSTR);
  const auto createBoundary = kernelCall<CreateBoundary>("CreateBoundaryDescriptorW");
  const auto addSid = kernelCall<AddSid>("AddSIDToBoundaryDescriptor");
  const auto deleteBoundary = kernelCall<DeleteBoundary>("DeleteBoundaryDescriptor");
  const auto createNamespace = kernelCall<CreateNamespace>("CreatePrivateNamespaceW");
  const auto openNamespace = kernelCall<OpenNamespace>("OpenPrivateNamespaceW");
  SECURITY_ATTRIBUTES* security = adminsOnly();
  if (!createBoundary || !addSid || !deleteBoundary || !createNamespace || !openNamespace || !security)
    return false;
  HANDLE boundary = createBoundary(L"Quorvel", 0);
  if (boundary == nullptr) return false;
  if (addSid(&boundary, administrators.sid())) {
    ownNamespace = createNamespace(security, boundary, L"Quorvel");
    if (ownNamespace == nullptr && GetLastError() == ERROR_ALREADY_EXISTS)
      ownNamespace = openNamespace(boundary, L"Quorvel");
  }
  deleteBoundary(boundary);
  if (ownNamespace == nullptr) return false;
  nameObjects(L"Quorvel\\");
  nameKeeper(L"Quorvel\\Keeper");
  return true;
}

// The record's window, if it is the main window of the process that wrote it.
HWND publishedWindow() {
  const HANDLE mapping = OpenFileMappingW(FILE_MAP_READ | READ_CONTROL, FALSE, recordName);
  if (mapping == nullptr) return nullptr;
  InstanceRecord record = {};
  if (trustedOwner(mapping)) {
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof record);
    if (view != nullptr) {
      std::memcpy(&record, view, sizeof record);
      UnmapViewOfFile(view);
    }
  }
  CloseHandle(mapping);
  const HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(record.window));
  DWORD pid = 0;
  if (window == nullptr || !IsWindow(window) || GetWindowThreadProcessId(window, &pid) == 0 ||
      pid != record.pid || GetDlgItem(window, IDC_SERVER_LIST) == nullptr)
    return nullptr;
  // The caption as the system keeps it: reading it sends nothing to the window.
  char title[sizeof WINDOW_TITLE + 1];
  if (GetWindowTextA(window, title, sizeof title) != static_cast<int>(sizeof WINDOW_TITLE - 1) ||
      std::strcmp(title, WINDOW_TITLE) != 0)
    return nullptr;
  return window;
}

bool takeMutex() {
  const DWORD waited = WaitForSingleObject(instanceMutex, 0);
  holdsMutex = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  return holdsMutex;
}

}  // namespace

void nameAllObjects() {
  if (ownNamespace != nullptr || keeperName[0] != L'\0') return;
  if (!openOwnNamespace()) {
    nameObjects(L"Local\\Quorvel.");
    nameKeeper(L"Global\\Quorvel.Keeper");
  }
}

InstanceClaim claimSingleInstance() {
  nameAllObjects();
  instanceMutex = CreateMutexW(adminsOnly(), FALSE, mutexName);
  if (instanceMutex == nullptr) return INSTANCE_TAKEN;  // not ours to open: someone else's
  if (GetLastError() == ERROR_ALREADY_EXISTS && !trustedOwner(instanceMutex)) {
    CloseHandle(instanceMutex);
    instanceMutex = nullptr;
    return INSTANCE_TAKEN;
  }
  return takeMutex() ? INSTANCE_OURS : INSTANCE_HELD;
}

bool instanceClaimed() { return holdsMutex; }

void noteInstanceNameTaken() { nameTaken = true; }

bool instanceNameTaken() { return nameTaken; }

HWND findPublishedInstance() {
  // An instance publishes its window once the window is made, a few seconds
  // after it took the mutex under a slow start.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const HWND window = publishedWindow();
    if (window != nullptr) return window;
    if (instanceMutex == nullptr || takeMutex()) return nullptr;
    Sleep(100);
  }
  return nullptr;
}

void publishInstanceWindow(HWND window) {
  if (!holdsMutex || recordMapping != nullptr) return;
  InstanceRecord record = {reinterpret_cast<uintptr_t>(window), GetCurrentProcessId()};
  recordMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, adminsOnly(), PAGE_READWRITE, 0,
                                     sizeof record, recordName);
  if (recordMapping == nullptr) return;
  if (GetLastError() == ERROR_ALREADY_EXISTS && !trustedOwner(recordMapping)) {
    CloseHandle(recordMapping);
    recordMapping = nullptr;
    return;
  }
  recordView = MapViewOfFile(recordMapping, FILE_MAP_WRITE, 0, 0, sizeof record);
  if (recordView != nullptr) std::memcpy(recordView, &record, sizeof record);
}

void releaseSingleInstance() {
  if (recordView != nullptr) UnmapViewOfFile(recordView);
  recordView = nullptr;
  if (recordMapping != nullptr) CloseHandle(recordMapping);
  recordMapping = nullptr;
  if (holdsMutex) ReleaseMutex(instanceMutex);
  holdsMutex = false;
  if (instanceMutex != nullptr) CloseHandle(instanceMutex);
  instanceMutex = nullptr;
  if (holdsKeeper) ReleaseMutex(keeperMutex);
  holdsKeeper = false;
  if (keeperMutex != nullptr) CloseHandle(keeperMutex);
  keeperMutex = nullptr;
}

bool claimRateKeeper() {
  if (holdsKeeper || keeperNameTaken) return true;
  nameAllObjects();
  if (keeperMutex == nullptr) {
    keeperMutex = CreateMutexW(adminsOnly(), FALSE, keeperName);
    // A name someone untrusted made stops nothing: this instance keeps, as
    // it would on a machine without other sessions.
    if (keeperMutex == nullptr) return keeperNameTaken = true;
    if (GetLastError() == ERROR_ALREADY_EXISTS && !trustedOwner(keeperMutex)) {
      CloseHandle(keeperMutex);
      keeperMutex = nullptr;
      return keeperNameTaken = true;
    }
  }
  // Abandoned: the keeper ended without giving it up, and this one takes over.
  const DWORD waited = WaitForSingleObject(keeperMutex, 0);
  holdsKeeper = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  return holdsKeeper;
}
