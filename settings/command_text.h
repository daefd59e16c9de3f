// Command texts of the system entries: the program's path in double quotes,
// a blank and the one-letter argument. The quotes keep a path with blanks
// from being read as a shorter program name.
#pragma once
#include <cstddef>

// Writes "\"<path>\" <letter>" into out; false (out empty) if it does not fit.
bool buildCommandText(const char* programPath, char letter, char* out, size_t outSize);
