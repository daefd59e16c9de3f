// Telling the program's own file from another put under its name: files
// compared by their identity on their volume, never by their names, and the
// volumes a program file must not be copied from.
#pragma once
#include <cstddef>
#include <cstdint>

// What the file system knows a file by: the volume's serial number and the
// file's id on it. A rename or a hard link keeps both; another file under the
// same name has another id. Systems before Windows 8 give a 64-bit id, kept in
// the first 8 bytes with the rest zero.
struct FileIdentity {
  uint64_t volume;
  uint8_t fileId[16];
};

// True when both records name the same file. A record without a volume, or
// whose id is all zeros or all ones (what a file system without ids reports),
// names no file and equals nothing, itself included.
bool isSameFileIdentity(const FileIdentity& a, const FileIdentity& b);

// The device type and characteristics of a volume as the system reports them.
const uint32_t DEVICE_TYPE_NETWORK_FILE_SYSTEM = 0x14;
const uint32_t DEVICE_REMOTE = 0x10;

// Whether a volume with that device type and characteristics is served over
// the network.
bool isRemoteDevice(uint32_t deviceType, uint32_t characteristics);

// The name the system gives the running image's mapping, "\Device\HarddiskVolume2\..."
// (Windows) or "\??\C:\..." (Wine), as a path CreateFileW opens:
// "\\?\GLOBALROOT\Device\..." or "\\?\C:\...". False, with out empty, for any
// other form or when it does not fit in size characters with its terminator.
bool openableMappedName(const wchar_t* mappedName, wchar_t* out, size_t size);
