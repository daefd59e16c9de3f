// The settings store and the system entries, on the real (Wine) registry.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "settings/file_trust_win.h"
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

// Lets Everyone change path. Wine keeps no descriptor but turns the grant
// into the file's Unix mode, and reports that mode back as a grant to
// Everyone; Windows keeps the list itself.
bool openToEveryone(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;FA;;;SY)(A;;FA;;;WD)", SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  const bool ok = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
                  SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                        DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl,
                                        nullptr) == ERROR_SUCCESS;
  LocalFree(descriptor);
  return ok;
}

std::string narrow(const std::wstring& text) {
  std::string out;
  for (const wchar_t c : text) out += static_cast<char>(c);  // the test's paths are ASCII
  return out;
}

// A program file of the test's own in a folder of its own under the
// temporary folder, which only the running account may change.
class RunValue : public SystemEntries {
 protected:
  void SetUp() override {
    SystemEntries::SetUp();
    if (IsSkipped()) return;
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    folder = std::wstring(temp) + L"qv-run-" + std::to_wstring(GetCurrentProcessId());
    program = folder + L"\\quorvel.exe";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    const HANDLE file = CreateFileW(program.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    // Otherwise the tests below would pass for the wrong reason.
    ASSERT_TRUE(noOtherUserCanReplace(program.c_str()));
  }
  void TearDown() override {
    if (IsSkipped()) return;
    DeleteFileW(program.c_str());
    RemoveDirectoryW(folder.c_str());
    SystemEntries::TearDown();
  }
  std::string runValue() {
    DWORD type = 0;
    std::string start;
    return rawValue(RUN_KEY, PRODUCT_NAME, &type, &start) ? start : "none";
  }
  std::string command() { return "\"" + narrow(program) + "\" s" + std::string(1, '\0'); }
  std::wstring folder, program;
};

TEST_F(RunValue, WrittenForAFileNoOtherUserCanReplace) {
  EXPECT_TRUE(updateRunValue(program.c_str(), true));
  EXPECT_EQ(runValue(), command());
  EXPECT_FALSE(updateRunValue(program.c_str(), false));
  EXPECT_EQ(runValue(), "none");
  EXPECT_FALSE(updateRunValue(L"", true));  // no path, no value
  EXPECT_EQ(runValue(), "none");
  const std::wstring missing = folder + L"\\gone.exe";  // nothing to check, no value
  EXPECT_FALSE(updateRunValue(missing.c_str(), true));
  EXPECT_EQ(runValue(), "none");
}

TEST_F(RunValue, AFileOthersMayChangeLosesTheValue) {
  ASSERT_TRUE(updateRunValue(program.c_str(), true));
  ASSERT_TRUE(openToEveryone(program));
  EXPECT_FALSE(updateRunValue(program.c_str(), true));
  EXPECT_EQ(runValue(), "none");
}

TEST_F(RunValue, AFolderOthersMayChangeLosesTheValue) {
  ASSERT_TRUE(updateRunValue(program.c_str(), true));
  ASSERT_TRUE(openToEveryone(folder));
  EXPECT_FALSE(updateRunValue(program.c_str(), true));
  EXPECT_EQ(runValue(), "none");
}

}  // namespace
