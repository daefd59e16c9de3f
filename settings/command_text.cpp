// Command texts of the log-on and uninstall entries.
#include "settings/command_text.h"

#include <cstring>
#include <cwchar>

bool buildCommandText(const wchar_t* programPath, wchar_t letter, wchar_t* out, size_t outSize) {
  const size_t pathLength = std::wcslen(programPath);
  // Quotes, blank, letter and terminator.
  if (outSize == 0 || pathLength + 5 > outSize) {
    if (outSize != 0) out[0] = L'\0';
    return false;
  }
  wchar_t* p = out;
  *p++ = L'"';
  std::memcpy(p, programPath, pathLength * sizeof *p);
  p += pathLength;
  *p++ = L'"';
  *p++ = L' ';
  *p++ = letter;
  *p = L'\0';
  return true;
}
