// Command texts of the system entries: the program's path in double quotes,
// a blank and the one-letter argument. The quotes keep a path with blanks
// from being read as a shorter program name. Wide, so that every path the
// file system can hold survives, whatever the ANSI code page.
#pragma once
#include <cstddef>

// Writes L"\"<path>\" <letter>" into out (sizes in characters); false (out
// empty) if it does not fit.
bool buildCommandText(const wchar_t* programPath, wchar_t letter, wchar_t* out, size_t outSize);
