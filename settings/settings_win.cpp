// Settings in the registry, one value per call; no handle outlives a call.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "settings/command_text.h"
#include "settings/file_trust_win.h"
#include "settings/logon_task_win.h"
#include "settings/settings.h"
#include "timebase/fatal_exit.h"

void writeSetting(const char* name, const void* data, uint32_t size) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS &&
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    fatalExit("Registry Problem");
    return;
  }
  LONG result;
  if (data != nullptr && size != 0) {
    result = RegSetValueExA(key, name, 0, size == 4 ? REG_DWORD : REG_BINARY,
                            static_cast<const BYTE*>(data), size);
  } else {
    result = RegDeleteValueA(key, name);
    if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) fatalExit("Registry Problem");
}

int32_t readSettingBytes(const char* name, void* dest, uint32_t size) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return -1;
  // Read into a buffer of our own first: the caller's variable changes only
  // on success, and a longer value from outside never writes past it.
  static BYTE stored[SETTING_SIZE_LIMIT];
  DWORD storedSize = 0;
  bool ok = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &storedSize) == ERROR_SUCCESS &&
            storedSize <= sizeof stored &&
            RegQueryValueExA(key, name, nullptr, nullptr, stored, &storedSize) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) return -1;
  std::memcpy(dest, stored, storedSize < size ? storedSize : size);
  return static_cast<int32_t>(storedSize);
}

bool readSetting(const char* name, void* dest, uint32_t size) { return readSettingBytes(name, dest, size) >= 0; }

// Wide, so the path survives whatever the ANSI code page can hold.
static void setText(HKEY key, const wchar_t* name, const wchar_t* text) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>((std::wcslen(text) + 1) * sizeof *text));
}

bool updateRunValue(const wchar_t* programPath, bool wanted) {
  static wchar_t command[LONGEST_PATH + 8];
  // With UAC off the value starts the program elevated at the next
  // administrator's log-on: a file that anyone else could swap for their own
  // gets no value, and loses one it had.
  const bool write = wanted && programPath[0] != L'\0' &&
                     buildCommandText(programPath, L's', command, LONGEST_PATH + 8) &&
                     noOtherUserCanReplace(programPath);
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
  if (write) setText(key, L"" PRODUCT_NAME, command);
  else RegDeleteValueA(key, PRODUCT_NAME);
  RegCloseKey(key);
  return write;
}

void updateRegistration(bool autostart) {
  // The final path, which the permission rule checks and the entries name:
  // a junction or link on the way could otherwise be pointed elsewhere later.
  static wchar_t path[LONGEST_PATH];
  static wchar_t command[LONGEST_PATH + 8];
  programFinalPath(path);
  updateRunValue(path, autostart);
  // With UAC on, Windows skips the Run value of a program that asks for
  // elevation; the task starts it anyway.
  updateLogonTask(autostart);

  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS &&
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  setText(key, L"DisplayName", L"" PRODUCT_NAME);
  // A cut-off path would name another file: then no command is written at all.
  if (path[0] != L'\0' && buildCommandText(path, L'u', command, LONGEST_PATH + 8))
    setText(key, L"UninstallString", command);
  RegCloseKey(key);
}
