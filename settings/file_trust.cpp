// The rule on owners and grants of the program file and its folders.
#include "settings/file_trust.h"

#include <cwchar>

namespace {

const wchar_t* const TRUSTED_SIDS[] = {
    L"S-1-5-18",      // SYSTEM
    L"S-1-5-32-544",  // Administrators
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",  // TrustedInstaller
};

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// "X:\\" or "\\\\server\\share\\": the part of the path no walk goes above.
size_t rootLength(const wchar_t* path, size_t length) {
  if (length >= 3 && path[1] == L':' && isSeparator(path[2])) return 3;
  if (length < 3 || !isSeparator(path[0]) || !isSeparator(path[1])) return 0;
  size_t i = 2;
  for (int parts = 0; parts < 2; ++parts) {
    while (i < length && !isSeparator(path[i])) ++i;
    if (parts == 0) ++i;
  }
  return i;
}

}  // namespace

bool isTrustedSid(const wchar_t* sid, const wchar_t* ownSid) {
  // The system writes SID texts in one form, so equal texts are equal SIDs.
  if (sid == nullptr) return false;
  for (const wchar_t* trusted : TRUSTED_SIDS) {
    if (std::wcscmp(sid, trusted) == 0) return true;
  }
  return ownSid != nullptr && ownSid[0] != L'\0' && std::wcscmp(sid, ownSid) == 0;
}

uint32_t replacingRights(uint32_t mask, TrustLevel level) {
  uint32_t dangerous = RIGHT_DELETE | RIGHT_WRITE_DAC | RIGHT_WRITE_OWNER | RIGHT_GENERIC_ALL;
  // Delete child on a folder above lets its holder remove a whole subfolder
  // and put another in its place.
  if (level == TRUST_FOLDER_ABOVE) return mask & (dangerous | RIGHT_DELETE_CHILD);
  // On the file these write its bytes; on its folder they add a file or a
  // subfolder, which a program's own DLL search or a rename would pick up.
  dangerous |= RIGHT_WRITE_DATA | RIGHT_APPEND_DATA | RIGHT_GENERIC_WRITE;
  if (level == TRUST_FILE_FOLDER) dangerous |= RIGHT_DELETE_CHILD;
  return mask & dangerous;
}

bool isObjectSafe(const ObjectSecurity& object, TrustLevel level, const wchar_t* ownSid,
                  bool ownGrantsTrusted) {
  const wchar_t* trustedGrantee = ownGrantsTrusted ? ownSid : nullptr;
  if (!isTrustedSid(object.ownerSid, ownSid) || !object.hasDacl) return false;
  if (object.entryCount < 0 || (object.entryCount > 0 && object.entries == nullptr)) return false;
  for (int i = 0; i < object.entryCount; ++i) {
    const AccessEntry& entry = object.entries[i];
    // A deny entry only takes rights away; it never makes a grant safe,
    // because the order of entries decides which one the system meets first.
    if (entry.kind == ENTRY_DENY || entry.inheritOnly) continue;
    // An entry of a kind the reader does not know is taken as a grant of
    // everything to someone unknown. CREATOR OWNER (S-1-3-0) is no trusted
    // account either: on the object itself it names nobody in particular.
    if (entry.kind != ENTRY_ALLOW) return false;
    if (replacingRights(entry.mask, level) != 0 && !isTrustedSid(entry.sid, trustedGrantee)) return false;
  }
  return true;
}

size_t parentFolderLength(const wchar_t* path, size_t length) {
  const size_t root = rootLength(path, length);
  if (root == 0) return 0;
  while (length > root && isSeparator(path[length - 1])) --length;
  if (length <= root) return 0;
  while (length > root && !isSeparator(path[length - 1])) --length;
  // Back over the separator(s), but keep the root's own.
  while (length > root && isSeparator(path[length - 1])) --length;
  return length;
}
