// Who may replace the program file: the rule behind the log-on task, on the
// owners and access entries the system reports for the file and its folders.
//
// The task starts the program with the highest rights of whoever logs on, so
// anyone who can swap the file, or a folder on its way, gets those rights.
// Only the system, the administrators and the installer service may own those
// objects or hold rights that allow it; the account the program runs as may
// own them, but a grant to it counts like anyone else's: that account also
// runs code without elevation.
#pragma once
#include <cstddef>
#include <cstdint>

// Access rights as the system encodes them in an access entry's mask.
const uint32_t RIGHT_WRITE_DATA = 0x00000002;   // on a folder: add a file
const uint32_t RIGHT_APPEND_DATA = 0x00000004;  // on a folder: add a subfolder
const uint32_t RIGHT_DELETE_CHILD = 0x00000040;
const uint32_t RIGHT_DELETE = 0x00010000;
const uint32_t RIGHT_WRITE_DAC = 0x00040000;
const uint32_t RIGHT_WRITE_OWNER = 0x00080000;
const uint32_t RIGHT_GENERIC_ALL = 0x10000000;
const uint32_t RIGHT_GENERIC_WRITE = 0x40000000;

// Where an object stands on the way from the file to the root: which of its
// rights let someone replace the file.
enum TrustLevel { TRUST_FILE = 0, TRUST_FILE_FOLDER = 1, TRUST_FOLDER_ABOVE = 2 };

enum AccessEntryKind { ENTRY_ALLOW = 0, ENTRY_DENY = 1, ENTRY_OTHER = 2 };

struct AccessEntry {
  AccessEntryKind kind;
  bool inheritOnly;  // only handed down to new objects; grants nothing here
  const wchar_t* sid;  // "S-1-5-32-545"
  uint32_t mask;
};

struct ObjectSecurity {
  const wchar_t* ownerSid;  // null when it could not be read
  bool hasDacl;             // no list at all grants everyone everything
  const AccessEntry* entries;
  int entryCount;
};

// SYSTEM, Administrators, TrustedInstaller or the running account (ownSid).
bool isTrustedSid(const wchar_t* sid, const wchar_t* ownSid);

// The rights of mask that would let their holder replace the file, seen from
// an object at level; 0 when there are none.
uint32_t replacingRights(uint32_t mask, TrustLevel level);

// True when the object is owned by a trusted account or the running account
// (ownSid) and no entry grants anyone untrusted a replacing right on the
// object itself. ownGrantsTrusted also trusts grants to the running account:
// for a platform that reports every file as fully its own (Wine).
bool isObjectSafe(const ObjectSecurity& object, TrustLevel level, const wchar_t* ownSid,
                  bool ownGrantsTrusted);

// The length of the folder that holds path[0, length): "C:\A\b.exe" gives
// "C:\A", "C:\A" gives "C:\" (3). 0 at a root ("C:\", "\\server\share")
// or for a path without one.
size_t parentFolderLength(const wchar_t* path, size_t length);
