// The fatal exit the shell set at start-up (implements fatal_exit.h).
#include <windows.h>

#include "timebase/fatal_exit.h"

static FatalExitCall fatalExitCall;

void setFatalExit(FatalExitCall call) { fatalExitCall = call; }

void fatalExit(const char* text) {
  if (fatalExitCall != nullptr) {
    fatalExitCall(text);
    return;
  }
  // Before the shell is there: the same box, without an owner or a title.
  MessageBoxA(nullptr, text, nullptr, MB_OK | MB_SYSTEMMODAL | MB_ICONERROR);
  ExitProcess(0);
}
