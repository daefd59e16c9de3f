// The settings store and the system entries, on the real (Wine) registry.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/settings.h"
#include "tests/win/wine_only.h"

namespace {

bool keyExists(const char* path) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// Type and bytes of a value, straight from the registry.
bool rawValue(const char* path, const char* name, DWORD* type, std::string* bytes) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  char buffer[1024];
  DWORD size = sizeof buffer;
  const bool ok = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &size) ==
                  ERROR_SUCCESS;
  RegCloseKey(key);
  if (ok) bytes->assign(buffer, size);
  return ok;
}

void storeRaw(const char* name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            &key, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
}

// Wine keeps registered tasks as files in the system folder's "tasks".
bool logonTaskExists() {
  char folder[MAX_PATH];
  const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  return GetFileAttributesA((std::string(folder) + "\\tasks\\Quorvel").c_str()) !=
         INVALID_FILE_ATTRIBUTES;
}

std::string programPath() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, sizeof path);
  return path;
}

class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_UNLESS_UNDER_WINE();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
  }
  void TearDown() override {
    if (IsSkipped()) return;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
  }
};

TEST_F(SettingsStore, TypeFollowsTheSize) {
  ASSERT_FALSE(keyExists(SETTINGS_KEY));
  const uint32_t schedule = 7;
  writeSetting("Schedule", &schedule, 4);  // creates the key on the way
  const int64_t offset = -2000;
  writeSetting("Offset", &offset, 8);
  unsigned char record[152] = {'a', 'b'};
  writeSetting("Server000", record, sizeof record);

  DWORD type;
  std::string bytes;
  ASSERT_TRUE(rawValue(SETTINGS_KEY, "Schedule", &type, &bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(bytes, std::string("\x07\0\0\0", 4));
  ASSERT_TRUE(rawValue(SETTINGS_KEY, "Offset", &type, &bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(bytes, std::string("\x30\xf8\xff\xff\xff\xff\xff\xff", 8));
  ASSERT_TRUE(rawValue(SETTINGS_KEY, "Server000", &type, &bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(bytes.size(), 152u);
}

TEST_F(SettingsStore, DeletingIsQuietAndSizeZeroDeletes) {
  writeSetting("Offset", nullptr, 0);  // neither key nor value: no fault
  const int64_t offset = 5;
  writeSetting("Offset", &offset, 8);
  writeSetting("Offset", &offset, 0);  // data given, size 0: still a deletion
  int64_t read = 99;
  EXPECT_FALSE(readSetting("Offset", &read, 8));
  EXPECT_EQ(read, 99);
  writeSetting("Offset", nullptr, 0);
}

TEST_F(SettingsStore, ReadingNeverCreatesAndLeavesDefaults) {
  int32_t schedule = 4;
  EXPECT_FALSE(readSetting("Schedule", &schedule, 4));
  EXPECT_EQ(schedule, 4);
  EXPECT_FALSE(keyExists(SETTINGS_KEY));
  const int64_t offset = 1;
  writeSetting("Offset", &offset, 8);
  EXPECT_FALSE(readSetting("Schedule", &schedule, 4));
  EXPECT_EQ(schedule, 4);
}

TEST_F(SettingsStore, ShortAndLongStoredValues) {
  // Another type than ours still reads as its bytes.
  const unsigned char four[4] = {9, 0, 0, 0};
  storeRaw("Schedule", REG_BINARY, four, 4);
  int32_t schedule = 0;
  EXPECT_TRUE(readSetting("Schedule", &schedule, 4));
  EXPECT_EQ(schedule, 9);

  // Shorter: only the first bytes change.
  const unsigned char two[2] = {0x34, 0x12};
  storeRaw("Offset", REG_BINARY, two, 2);
  int64_t offset = -1;
  EXPECT_TRUE(readSetting("Offset", &offset, 8));
  EXPECT_EQ(offset, static_cast<int64_t>(0xffffffffffff1234ull));

  // Longer: cut to the destination, nothing written past it.
  const DWORD on = 0x01020301;
  storeRaw("CorrectOnLaunch", REG_DWORD, &on, 4);
  unsigned char flag[2] = {0, 0xAA};
  EXPECT_TRUE(readSetting("CorrectOnLaunch", flag, 1));
  EXPECT_EQ(flag[0], 1);
  EXPECT_EQ(flag[1], 0xAA);
  const DWORD off = 0x100;  // first byte 0: off, whatever follows
  storeRaw("CorrectOnLaunch", REG_DWORD, &off, 4);
  EXPECT_TRUE(readSetting("CorrectOnLaunch", flag, 1));
  EXPECT_EQ(flag[0], 0);
}

class SystemEntries : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_UNLESS_UNDER_WINE(); }
  void TearDown() override {
    if (IsSkipped()) return;
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, UNINSTALL_KEY);
    HKEY run;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, RUN_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &run,
                        nullptr) == ERROR_SUCCESS) {
      RegDeleteValueA(run, PRODUCT_NAME);
      RegCloseKey(run);
    }
  }
};

TEST_F(SystemEntries, QuotedCommandsFollowTheFlag) {
  const std::string path = programPath();
  updateRegistration(true);
  DWORD type;
  std::string start, uninstall, name;
  ASSERT_TRUE(rawValue(RUN_KEY, PRODUCT_NAME, &type, &start));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(start, std::string("\"") + path + "\" s" + std::string(1, '\0'));
  ASSERT_TRUE(rawValue(UNINSTALL_KEY, "UninstallString", &type, &uninstall));
  EXPECT_EQ(uninstall, std::string("\"") + path + "\" u" + std::string(1, '\0'));
  ASSERT_TRUE(rawValue(UNINSTALL_KEY, "DisplayName", &type, &name));
  EXPECT_EQ(name, std::string("Quorvel\0", 8));
  // The test program runs from the build folder, which users may write.
  EXPECT_FALSE(logonTaskExists());

  updateRegistration(false);
  EXPECT_FALSE(rawValue(RUN_KEY, PRODUCT_NAME, &type, &start));
  EXPECT_TRUE(rawValue(UNINSTALL_KEY, "UninstallString", &type, &uninstall));
}

TEST_F(SystemEntries, MissingRunKeyIsLeftAlone) {
  ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, RUN_KEY), ERROR_SUCCESS);
  updateRegistration(true);
  EXPECT_FALSE(keyExists(RUN_KEY));
  DWORD type;
  std::string uninstall;
  EXPECT_TRUE(rawValue(UNINSTALL_KEY, "UninstallString", &type, &uninstall));
}

}  // namespace
