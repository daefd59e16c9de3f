// Program entry.
#include <windows.h>

#include "shell/app.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The full command line, so a quoted program path is split the same way
  // under every runtime.
  runQuorvel(GetCommandLineA());
  return 0;
}
