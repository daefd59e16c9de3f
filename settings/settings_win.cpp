// Settings in the registry, one value per call; no handle outlives a call.
#include <windows.h>

#include <cstring>

#include "settings/command_text.h"
#include "settings/logon_task_win.h"
#include "settings/settings.h"
#include "shell/app.h"

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

bool readSetting(const char* name, void* dest, uint32_t size) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  // Read into a buffer of our own first: the caller's variable changes only
  // on success, and a longer value from outside never writes past it.
  BYTE stored[1024];
  DWORD storedSize = 0;
  bool ok = RegQueryValueExA(key, name, nullptr, nullptr, nullptr, &storedSize) == ERROR_SUCCESS &&
            storedSize <= sizeof stored &&
            RegQueryValueExA(key, name, nullptr, nullptr, stored, &storedSize) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (!ok) return false;
  std::memcpy(dest, stored, storedSize < size ? storedSize : size);
  return true;
}

static void setText(HKEY key, const char* name, const char* text) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>(std::strlen(text) + 1));
}

void updateRegistration(bool autostart) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) path[0] = '\0';
  char command[MAX_PATH + 8];
  buildCommandText(path, 's', command, sizeof command);

  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_KEY, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
    if (autostart) setText(key, PRODUCT_NAME, command);
    else RegDeleteValueA(key, PRODUCT_NAME);
    RegCloseKey(key);
  }
  // With UAC on, Windows skips the Run value of a program that asks for
  // elevation; the task starts it anyway.
  updateLogonTask(autostart);

  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS &&
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return;
  const size_t commandLength = std::strlen(command);
  if (commandLength > 0) command[commandLength - 1] = 'u';
  setText(key, "DisplayName", PRODUCT_NAME);
  setText(key, "UninstallString", command);
  RegCloseKey(key);
}
