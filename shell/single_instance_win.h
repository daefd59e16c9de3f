// One instance per session, found through objects only administrators can
// make, so that no ordinary program can pose as it or keep it from starting.
#pragma once
#include <windows.h>

enum InstanceClaim {
  INSTANCE_OURS = 0,   // this process is now the instance
  INSTANCE_HELD = 1,   // a trusted holder has the name: look for its window
  INSTANCE_TAKEN = 2,  // someone untrusted has the name: run, unpublished
};

// Makes or opens the instance mutex of this session and takes it when it is free.
InstanceClaim claimSingleInstance();
// Tells later starts which window to talk to. Call once the main window exists.
void publishInstanceWindow(HWND window);
// The main window of the instance that holds the name, checked to belong to
// the process that published it; waits a few seconds for one still starting.
// nullptr when there is none; instanceClaimed() then tells whether the
// holder ended meanwhile and this process took its place.
HWND findPublishedInstance();
bool instanceClaimed();
// This process runs without the name, which another program holds: later
// starts cannot find it.
void noteInstanceNameTaken();
bool instanceNameTaken();

// The machine-wide keeper of the clock's rate and of the automatic runs: true
// when this process holds it now (taking it when free or left by a keeper
// that ended), or when someone untrusted squats its name. Cheap to call again.
bool claimRateKeeper();
