// Splitting the argument text from the program name on a command line, the way
// the Windows C runtime does for WinMain: quotes group blanks into the name.
#include "shell/command_line.h"

const char* argumentText(const char* commandLine) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
  bool inQuotes = false;
  while (*p > ' ' || (*p != '\0' && inQuotes)) {
    if (*p == '"') inQuotes = !inQuotes;
    ++p;
  }
  while (*p != '\0' && *p <= ' ') ++p;
  return reinterpret_cast<const char*>(p);
}

char launchLetter(const char* arguments) {
  if (arguments[0] == 's' || arguments[0] == 'u') return arguments[0];
  return 0;
}
