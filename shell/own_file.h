// Telling the program's own file from another put under its name: the names
// the system reports for the image the process runs from and for a file held
// open, compared.
#pragma once

// mappedName: the running image's file as the system names its mapping,
// "\Device\HarddiskVolume2\..." (Windows) or "\??\C:\..." (Wine). ntPath and
// dosPath: the held file's final path in NT form ("\Device\...") and in DOS
// form ("\\?\C:\..."). True when the two name the same path, compared without
// regard to ASCII case; false when a name is missing or empty.
bool isSameFileName(const wchar_t* mappedName, const wchar_t* ntPath, const wchar_t* dosPath);
