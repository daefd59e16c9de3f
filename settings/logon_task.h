// The log-on task: its Task Scheduler definition, and where the program must
// live before it may be started elevated without a prompt.
//
// Windows skips programs that ask for elevation in the Run key when UAC is on,
// so the log-on start also goes through a task that runs with the highest
// rights the user has. Whoever can replace the program file would get those
// rights too, so the task is only made for a program in a folder that
// standard users cannot write.
#pragma once
#include <string>
#include <vector>

#define LOGON_TASK_NAME L"Quorvel"

// The task's XML: at any user's log-on, for the built-in Users group with the
// highest available rights, start programPath with the argument "s"; no time
// limit, also on batteries, and no second copy while one runs.
std::wstring logonTaskXml(const std::wstring& programPath);

// text with & < > " and ' replaced by their XML entities.
std::wstring xmlEscaped(const std::wstring& text);

// True when programPath is an absolute path (drive or UNC) naming something
// inside one of secureFolders, compared without regard to ASCII case and by
// whole folder names. A path with "." or ".." parts is never inside: those
// could lead back out of the folder.
bool isInSecureFolder(const std::wstring& programPath, const std::vector<std::wstring>& secureFolders);
