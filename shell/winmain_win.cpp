// Program entry.
#include <windows.h>

#include "shell/app.h"
#include "shell/install_win.h"
#include "timebase/kernel_call_win.h"

// From here on, DLLs loaded by name (also those the system loads for us) come
// from the system folder only, never from the program's folder, where a
// downloaded DLL may lie. Reached through GetProcAddress: older systems
// without the update lack the call.
static void loadDllsFromSystemFolderOnly() {
  using SetDirectoriesCall = BOOL(WINAPI*)(DWORD);
  const auto setDirectories = kernelCall<SetDirectoriesCall>("SetDefaultDllDirectories");
  if (setDirectories != nullptr) setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Before anything else: the sooner the file is held, the less time anyone
  // has to put another under its name.
  holdOwnFile();
  loadDllsFromSystemFolderOnly();
  // The full command line, so a quoted program path is split the same way
  // under every runtime.
  runQuorvel(GetCommandLineA());
  return 0;
}
