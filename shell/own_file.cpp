// Comparing the running image's name with a held file's (implements own_file.h).
#include "shell/own_file.h"

#include <cwchar>

namespace {

wchar_t asciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

bool sameText(const wchar_t* a, const wchar_t* b) {
  for (; *a != L'\0' && *b != L'\0'; ++a, ++b) {
    if (asciiLower(*a) != asciiLower(*b)) return false;
  }
  return *a == *b;
}

bool startsWith(const wchar_t* text, const wchar_t* lead) {
  return std::wcsncmp(text, lead, std::wcslen(lead)) == 0;
}

}  // namespace

bool isSameFileName(const wchar_t* mappedName, const wchar_t* ntPath, const wchar_t* dosPath) {
  if (mappedName == nullptr || mappedName[0] == L'\0') return false;
  // "\??\C:\..." and "\\?\C:\..." (or "\??\UNC\..." and "\\?\UNC\...") differ
  // only in the lead.
  if (startsWith(mappedName, L"\\??\\")) {
    return dosPath != nullptr && startsWith(dosPath, L"\\\\?\\") && sameText(mappedName + 4, dosPath + 4);
  }
  return ntPath != nullptr && sameText(mappedName, ntPath);
}
