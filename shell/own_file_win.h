// The program's own file as the system knows it: whether a held file is the
// image the process runs from, and whether it lies on a network volume.
#pragma once
#include <windows.h>

// True when file (opened with read access) is the very file the process's
// image was loaded from: the system says the image and a view of the file
// map the same file, and both have the same volume and file id. A copy, or
// another file put under the image's name, is not; a hard link to it is.
// False whenever that cannot be told.
bool isRunningImage(HANDLE file);

// True when file lies on a volume served over the network, or when that
// cannot be told: such a server may hand a reader other bytes than it gave
// the loader.
bool mayBeOnNetwork(HANDLE file);
