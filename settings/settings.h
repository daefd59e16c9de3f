// Persistent settings under HKLM\SOFTWARE\Quorvel, and the system entries that
// start the program at log-on and list it among installed programs.
#pragma once
#include <cstdint>

#define SETTINGS_KEY "SOFTWARE\\Quorvel"
#define RUN_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define UNINSTALL_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quorvel"
#define PRODUCT_NAME "Quorvel"

const uint32_t SETTINGS_VERSION = 0x4000;

// The longest path Windows can hand out, terminator included.
const uint32_t LONGEST_PATH = 32768;

// Stores size bytes (REG_DWORD when size is 4, else REG_BINARY); no data or a
// size of 0 deletes the value. Any failure ends the program ("Registry Problem").
void writeSetting(const char* name, const void* data, uint32_t size);
// Copies the stored bytes into dest: a shorter value fills only its first
// bytes, a longer one is cut to size. False, with dest untouched, when the
// key or value is missing or unreadable. Never creates the key.
bool readSetting(const char* name, void* dest, uint32_t size);
// The same for values whose size varies: the stored size (which may exceed
// size; only size bytes are copied), or -1 when nothing was read. Values
// larger than SETTING_SIZE_LIMIT are not read.
const uint32_t SETTING_SIZE_LIMIT = 4096;
int32_t readSettingBytes(const char* name, void* dest, uint32_t size);
// The 8-byte little-endian image of a signed 64-bit setting
// ("LastCorrectionTime", "LastCorrectionValue", "DriftPpb").
void packInt64(int64_t value, uint8_t image[8]);
// Writes or removes the log-on start command and (re)writes the uninstall entry.
void updateRegistration(bool autostart);
// The Run value for programPath (a final path): written when wanted and no
// other user can replace the file or a folder on its way, else removed. True
// when it was written.
bool updateRunValue(const wchar_t* programPath, bool wanted);
