// The program's one fatal exit, for the layers below the shell that meet a
// failure they cannot go on from (a registry write, a clock that will not be
// set). The shell says at start-up how the program ends (its window down, a
// system-modal box, the sockets closed), so nothing down here knows a window.
#pragma once

using FatalExitCall = void (*)(const char* text);

// At start-up, before anything that may fail.
void setFatalExit(FatalExitCall call);

// Shows text and ends the process with exit code 0. Returns only when a fatal
// exit is already in progress.
void fatalExit(const char* text);
