// The way to Program Files: the hint that the log-on start needs it, and the
// command that copies the program there and hands over to the copy.
#pragma once

// Opens the program's own file for the life of the process, so that the
// install copies the program that runs and not whatever is put under its name
// later. Call first thing at start.
void holdOwnFile();

// Tells the user, in a balloon on the tray icon, why the program will not start
// at log-on from where it is and what to do: when the log-on start is wanted
// and the file may not start elevated, and not on a quiet log-on start; at
// most once per process.
void offerInstall(bool logonStartWanted);

// Command IDM_INSTALL: copies the program to %ProgramFiles%\Quorvel\quorvel.exe,
// starts the copy and ends this instance once the copy runs. A failure is
// told in a message box and leaves this instance as it was.
void installInProgramFiles();
