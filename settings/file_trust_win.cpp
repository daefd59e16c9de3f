// The security descriptors of the program file and its folders, translated
// for the rule in file_trust.h.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

#include "settings/file_trust.h"
#include "settings/file_trust_win.h"
#include "settings/settings.h"

namespace {

const int MAX_ENTRIES = 64;
const int SID_TEXT_SIZE = 192;  // "S-1-" and 15 sub-authorities of 10 digits fit

struct ReadEntries {
  AccessEntry entries[MAX_ENTRIES];
  wchar_t sids[MAX_ENTRIES][SID_TEXT_SIZE];
};

bool sidText(PSID sid, wchar_t text[SID_TEXT_SIZE]) {
  text[0] = L'\0';
  LPWSTR converted = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidW(sid, &converted)) return false;
  const bool fits = std::wcslen(converted) < static_cast<size_t>(SID_TEXT_SIZE);
  if (fits) std::wcscpy(text, converted);
  LocalFree(converted);
  return fits;
}

// The account this process runs as: files it made itself are its own.
bool ownSidText(wchar_t text[SID_TEXT_SIZE]) {
  text[0] = L'\0';
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD size = 0;
  const bool ok = GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
                  sidText(info.user.User.Sid, text);
  CloseHandle(token);
  return ok;
}

// Wine reports every file as owned by the running account, with full control
// for it: there a grant to it says nothing about who may change the file.
bool everyFileIsOurs() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

AccessEntryKind entryKind(BYTE type) {
  switch (type) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: return ENTRY_ALLOW;
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE: return ENTRY_DENY;
    default: return ENTRY_OTHER;
  }
}

// The allowed and denied entries (plain and callback) share one layout: the
// mask, then the SID.
bool readEntries(PACL dacl, ReadEntries& read, int& count) {
  count = 0;
  ACL_SIZE_INFORMATION info;
  if (!GetAclInformation(dacl, &info, sizeof info, AclSizeInformation)) return false;
  if (info.AceCount > static_cast<DWORD>(MAX_ENTRIES)) return false;
  for (DWORD i = 0; i < info.AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) return false;
    const ACE_HEADER* header = static_cast<const ACE_HEADER*>(raw);
    AccessEntry& entry = read.entries[count];
    entry.kind = entryKind(header->AceType);
    entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    entry.mask = 0;
    entry.sid = read.sids[count];
    read.sids[count][0] = L'\0';
    if (entry.kind != ENTRY_OTHER) {
      ACCESS_ALLOWED_ACE* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
      entry.mask = ace->Mask;
      if (!sidText(&ace->SidStart, read.sids[count])) return false;
    }
    ++count;
  }
  return true;
}

bool objectIsSafe(const wchar_t* path, TrustLevel level, const wchar_t* ownSid) {
  static ReadEntries read;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  wchar_t ownerText[SID_TEXT_SIZE];
  int count = 0;
  bool safe = sidText(owner, ownerText) && (dacl == nullptr || readEntries(dacl, read, count));
  if (safe) {
    const ObjectSecurity object = {ownerText, dacl != nullptr, read.entries, count};
    safe = isObjectSafe(object, level, ownSid, everyFileIsOurs());
  }
  LocalFree(descriptor);
  return safe;
}

// path at level first, then every folder above it up to the root.
bool walkIsSafe(const wchar_t* path, TrustLevel first) {
  wchar_t ownSid[SID_TEXT_SIZE];
  if (!ownSidText(ownSid)) return false;
  static wchar_t object[LONGEST_PATH];
  size_t length = std::wcslen(path);
  if (length == 0 || length >= LONGEST_PATH) return false;
  std::wcscpy(object, path);
  if (!objectIsSafe(object, first, ownSid)) return false;
  TrustLevel level = first == TRUST_FILE ? TRUST_FILE_FOLDER : TRUST_FOLDER_ABOVE;
  bool inFolder = false;
  while ((length = parentFolderLength(object, length)) != 0) {
    object[length] = L'\0';
    if (!objectIsSafe(object, level, ownSid)) return false;
    level = TRUST_FOLDER_ABOVE;
    inFolder = true;
  }
  // Something that is in no folder says nothing about where it lies.
  return inFolder;
}

}  // namespace

bool noOtherUserCanReplace(const wchar_t* path) { return walkIsSafe(path, TRUST_FILE); }

bool noOtherUserCanChangeFolder(const wchar_t* folder) { return walkIsSafe(folder, TRUST_FILE_FOLDER); }
