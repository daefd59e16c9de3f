// Comparing file identities and reading volume and mapping names (implements
// own_file.h).
#include "shell/own_file.h"

#include <cwchar>

namespace {

bool startsWith(const wchar_t* text, const wchar_t* lead) {
  return std::wcsncmp(text, lead, std::wcslen(lead)) == 0;
}

bool namesAFile(const FileIdentity& identity) {
  if (identity.volume == 0) return false;
  bool allZero = true, allOnes = true;
  for (const uint8_t byte : identity.fileId) {
    allZero = allZero && byte == 0;
    allOnes = allOnes && byte == 0xFF;
  }
  // A 64-bit "no id" comes as eight bytes of ones followed by zeros.
  bool shortOnes = true;
  for (size_t i = 0; i < sizeof identity.fileId; ++i) {
    shortOnes = shortOnes && identity.fileId[i] == (i < 8 ? 0xFF : 0);
  }
  return !allZero && !allOnes && !shortOnes;
}

// lead + text[skip..] into out.
bool compose(const wchar_t* lead, const wchar_t* text, size_t skip, wchar_t* out, size_t size) {
  const size_t leadLength = std::wcslen(lead);
  const size_t restLength = std::wcslen(text + skip);
  if (leadLength + restLength >= size) return false;
  std::wmemcpy(out, lead, leadLength);
  std::wmemcpy(out + leadLength, text + skip, restLength + 1);
  return true;
}

}  // namespace

bool isSameFileIdentity(const FileIdentity& a, const FileIdentity& b) {
  if (!namesAFile(a) || !namesAFile(b) || a.volume != b.volume) return false;
  for (size_t i = 0; i < sizeof a.fileId; ++i) {
    if (a.fileId[i] != b.fileId[i]) return false;
  }
  return true;
}

bool isRemoteDevice(uint32_t deviceType, uint32_t characteristics) {
  return deviceType == DEVICE_TYPE_NETWORK_FILE_SYSTEM || (characteristics & DEVICE_REMOTE) != 0;
}

bool openableMappedName(const wchar_t* mappedName, wchar_t* out, size_t size) {
  if (size == 0) return false;
  out[0] = L'\0';
  if (mappedName == nullptr) return false;
  // compose writes nothing when the name does not fit: out stays empty.
  if (startsWith(mappedName, L"\\??\\") && mappedName[4] != L'\0')
    return compose(L"\\\\?\\", mappedName, 4, out, size);
  if (startsWith(mappedName, L"\\Device\\") && mappedName[8] != L'\0')
    return compose(L"\\\\?\\GLOBALROOT", mappedName, 0, out, size);
  return false;
}
