// The identity of the held file and of the running image, and the kind of
// volume a file lies on (implements own_file_win.h).
#include <windows.h>
#include <psapi.h>

#include <cstring>

#include "settings/logon_task.h"
#include "settings/settings.h"
#include "shell/own_file.h"
#include "shell/own_file_win.h"
#include "timebase/byte_order.h"

namespace {

// ntdll's calls, looked up at run time: the SDK's import library for them
// does not come with every compiler.
typedef LONG(WINAPI* AreMappedFilesTheSame)(PVOID image, PVOID view);
typedef LONG(WINAPI* QueryVolumeInformationFile)(HANDLE file, PVOID status, PVOID info, ULONG size,
                                                 int infoClass);

const int FS_DEVICE_INFORMATION = 4;  // FileFsDeviceInformation
// FileIdInfo, declared by the SDK for Windows 8 and later only; before that
// the call fails and the 64-bit index serves.
const FILE_INFO_BY_HANDLE_CLASS FILE_ID_INFO_CLASS = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);
const DWORD FILE_ID_INFO_SIZE = 24;  // the volume's 64-bit serial, then the 128-bit id

// ntdll is loaded into every process and always the system's own.
template <typename Call>
Call ntdllCall(const char* name) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  FARPROC found = ntdll != nullptr ? GetProcAddress(ntdll, name) : nullptr;
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(found));
}

bool wideIdentity(HANDLE file, FileIdentity& identity) {
  BYTE info[FILE_ID_INFO_SIZE];
  if (!GetFileInformationByHandleEx(file, FILE_ID_INFO_CLASS, info, sizeof info)) return false;
  identity.volume = getLittleEndian(info, 8);
  std::memcpy(identity.fileId, info + 8, sizeof identity.fileId);
  return true;
}

bool indexIdentity(HANDLE file, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  identity.volume = info.dwVolumeSerialNumber;
  std::memset(identity.fileId, 0, sizeof identity.fileId);
  putLittleEndian(identity.fileId, uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow, 8);
  return true;
}

// Both identities read the same way: the 128-bit ids where the system has
// them for both, else the volume serial and 64-bit index of both.
bool sameIdentity(HANDLE a, HANDLE b) {
  FileIdentity first = {}, second = {};
  if (!wideIdentity(a, first) || !wideIdentity(b, second)) {
    first = FileIdentity();
    second = FileIdentity();
    if (!indexIdentity(a, first) || !indexIdentity(b, second)) return false;
  }
  return isSameFileIdentity(first, second);
}

// The file the image's mapping belongs to, opened by the name the system
// gives the mapping, which follows the file through renames; invalid when it
// cannot be opened.
HANDLE openImageFile() {
  static wchar_t mapped[LONGEST_PATH], path[LONGEST_PATH];
  const DWORD length = GetMappedFileNameW(GetCurrentProcess(), GetModuleHandleW(nullptr), mapped, LONGEST_PATH);
  if (length == 0 || length >= LONGEST_PATH || !openableMappedName(mapped, path, LONGEST_PATH))
    return INVALID_HANDLE_VALUE;
  return CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

// The system's own answer, by the file objects and not by any name: whether
// a view of file maps the file the image was loaded from. Where the call is
// missing, the identity alone decides.
bool systemSaysSameFile(HANDLE file) {
  const auto same = ntdllCall<AreMappedFilesTheSame>("NtAreMappedFilesTheSame");
  if (same == nullptr) return true;
  const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return false;
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  // The image first: the call takes an image's view there and any view second.
  const bool answer = view != nullptr && same(GetModuleHandleW(nullptr), view) == 0;
  if (view != nullptr) UnmapViewOfFile(view);
  CloseHandle(mapping);
  return answer;
}

// The device behind the file's volume: what the file system driver says.
bool deviceSaysNetwork(HANDLE file, bool& remote) {
  const auto query = ntdllCall<QueryVolumeInformationFile>("NtQueryVolumeInformationFile");
  if (query == nullptr) return false;
  ULONG_PTR status[2] = {};  // the status block: a status (or pointer), then a count
  ULONG device[2] = {};      // the device type, then its characteristics
  if (query(file, status, device, sizeof device, FS_DEVICE_INFORMATION) < 0) return false;
  remote = isRemoteDevice(device[0], device[1]);
  return true;
}

// The drive the file's final path names: a share ("\\server\share\...") or a
// drive the system takes for a network one ("N:\..."). Nothing to say when
// the volume has no such path.
bool pathSaysNetwork(HANDLE file) {
  static wchar_t reported[LONGEST_PATH + 8], plain[LONGEST_PATH];
  const DWORD length = GetFinalPathNameByHandleW(file, reported, LONGEST_PATH + 8,
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= LONGEST_PATH + 8 || !plainFinalPath(reported, plain, LONGEST_PATH))
    return false;
  if (plain[0] == L'\\' && plain[1] == L'\\') return true;
  if (plain[0] == L'\0' || plain[1] != L':' || plain[2] != L'\\') return false;
  const wchar_t root[4] = {plain[0], L':', L'\\', L'\0'};
  return GetDriveTypeW(root) == DRIVE_REMOTE;
}

}  // namespace

bool isRunningImage(HANDLE file) {
  const HANDLE image = openImageFile();
  if (image == INVALID_HANDLE_VALUE) return false;
  const bool same = sameIdentity(file, image);
  CloseHandle(image);
  return same && systemSaysSameFile(file);
}

bool mayBeOnNetwork(HANDLE file) {
  bool remote = true;
  if (!deviceSaysNetwork(file, remote)) return true;
  return remote || pathSaysNetwork(file);
}
