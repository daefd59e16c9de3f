// The log-on task in the Task Scheduler, kept beside the Run value.
#pragma once
#include <windows.h>

// Registers (or updates) the task when wanted and no other user can replace
// the program: it lies in a folder under Program Files, and it and its folders
// belong to trusted accounts that alone may change them. Otherwise deletes any
// task left from before and, when wanted, offers the copy to Program Files.
// Failures are ignored, like those of the other system entries.
void updateLogonTask(bool wanted);

// The same test on the program file as updateLogonTask makes.
bool programMayStartAtLogon();

// The 64-bit Program Files folder; false when the system does not say.
bool programFilesFolder(wchar_t folder[MAX_PATH]);
