// Reads the owners and access entries of the program file and its folders.
#pragma once

// True when the file at path (a full path without the "\\?\" form) and every
// folder up to its drive's root are owned by trusted accounts and grant no one
// else a right that would replace the file. False when anything on the way
// cannot be read.
bool noOtherUserCanReplace(const wchar_t* path);
// The same for a folder that is to hold the program: no one else may add to
// it or delete from it, nor replace it or a folder above.
bool noOtherUserCanChangeFolder(const wchar_t* folder);
