// The log-on task in the Task Scheduler, kept beside the Run value, and the
// rule on the program file behind it.
#pragma once
#include <windows.h>

// Registers (or updates) the task when wanted and no other user can replace
// the program: it lies in a folder under Program Files, and it and its folders
// belong to trusted accounts that alone may change them. Otherwise deletes any
// task left from before. Failures are ignored, like those of the other system
// entries.
void updateLogonTask(bool wanted);

// The same test on the program file as updateLogonTask makes.
bool programMayStartAtLogon();
// The test behind the Run value: no other user can replace the program file or
// a folder on its way, wherever it lies.
bool programMayStartFromRunValue();
// The program's own final path (room for LONGEST_PATH): junctions, links,
// short names and ".." resolved, in its plain form; empty when it cannot be had.
void programFinalPath(wchar_t* path);
// The same test on another file (a full path).
bool fileMayStartAtLogon(const wchar_t* path);
// Whether a folder may hold the program: its final path lies under Program
// Files, and no other user may add to it, delete from it or replace it.
bool folderMayHoldProgram(const wchar_t* folder);

// The 64-bit Program Files folder (room for LONGEST_PATH characters); false
// when the system does not say.
bool programFilesFolder(wchar_t* folder);
