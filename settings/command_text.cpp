// Command texts of the log-on and uninstall entries.
#include "settings/command_text.h"

#include <cstring>

bool buildCommandText(const char* programPath, char letter, char* out, size_t outSize) {
  const size_t pathLength = std::strlen(programPath);
  // Quotes, blank, letter and terminator.
  if (outSize == 0 || pathLength + 5 > outSize) {
    if (outSize != 0) out[0] = '\0';
    return false;
  }
  char* p = out;
  *p++ = '"';
  std::memcpy(p, programPath, pathLength);
  p += pathLength;
  *p++ = '"';
  *p++ = ' ';
  *p++ = letter;
  *p = '\0';
  return true;
}
