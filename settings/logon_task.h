// The log-on task: its Task Scheduler definition, and where the program must
// live before it may be started elevated without a prompt.
//
// Windows skips programs that ask for elevation in the Run key when UAC is on,
// so the log-on start also goes through a task that runs with the highest
// rights the user has. Whoever can replace the program file would get those
// rights too, so the task is only made for a program in a folder that
// standard users cannot write.
#pragma once
#include <cstddef>
#include "settings/settings.h"

#define LOGON_TASK_NAME L"Quorvel"

// Room for the task's XML with the longest path, each character escaped at its
// longest ("&quot;").
const size_t LOGON_TASK_XML_SIZE = 6 * size_t{LONGEST_PATH} + 2048;

// The task's XML: at any user's log-on, for the built-in Users group with the
// highest available rights, start programPath with the argument "s"; no time
// limit, also on batteries, and no second copy while one runs. The path has
// & < > " and ' escaped. False, with xml empty, when it does not fit.
bool buildLogonTaskXml(const wchar_t* programPath, wchar_t* xml, size_t size);

// True when programPath is an absolute path (drive or UNC) naming something
// inside one of the count secureFolders, compared without regard to ASCII case
// and by whole folder names. A path with "." or ".." parts is never inside:
// those could lead back out of the folder. Nor is one with a ':' after the
// drive's: that names an alternate data stream ("C:\Windows\Tasks:q.exe"),
// a file hidden inside a folder or file with rights of its own.
bool isInSecureFolder(const wchar_t* programPath, const wchar_t* const secureFolders[], int count);

// A final path as the system reports it for an open file ("\\?\C:\..." or
// "\\?\UNC\server\...") in its usual form ("C:\..." or "\\server\...");
// other paths are copied as they are. False, with out empty, when it does not
// fit in size characters with its terminator.
bool plainFinalPath(const wchar_t* finalPath, wchar_t* out, size_t size);
