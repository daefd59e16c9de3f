// One instance per session, found through objects only administrators can
// make, so that no ordinary program can pose as it or keep it from starting.
#pragma once
#include <windows.h>

// True when this process is now the instance, and also when the name is held
// by an object no administrator made (a squatter must not keep us from
// starting). False when a real instance holds it.
bool claimSingleInstance();
// Tells later starts which window to talk to. Call once the main window exists.
void publishInstanceWindow(HWND window);
// The main window of the instance that holds the name, checked to belong to
// the process that published it; waits a few seconds for one still starting.
// nullptr when there is none; instanceClaimed() then tells whether the
// holder ended meanwhile and this process took its place.
HWND findPublishedInstance();
bool instanceClaimed();
