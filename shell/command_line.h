// The one-letter command line.
#pragma once

// The argument text of a full command line: what follows the program name
// (quoted or not, by the usual Windows convention) and the blanks after it.
const char* argumentText(const char* commandLine);
// 's' or 'u' when the argument text starts with that lower-case letter, else 0.
char launchLetter(const char* arguments);
