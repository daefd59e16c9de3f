// The program's own file told by its identity, on the real (Wine) file system.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/own_file_win.h"

namespace {

std::wstring ownPath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return length != 0 && length < MAX_PATH ? path : L"";
}

std::wstring nameOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

// Opened as holdOwnFile opens the program's file.
HANDLE hold(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}

// A folder of the test's own under the temporary folder, gone afterwards.
class OwnFile : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, temp), 0u);
    folder = std::wstring(temp) + L"qv-own-file-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  }
  void TearDown() override {
    for (const std::wstring& file : made) DeleteFileW(file.c_str());
    RemoveDirectoryW(folder.c_str());
  }
  std::wstring folder;
  std::vector<std::wstring> made;
};

TEST_F(OwnFile, TheHeldFileIsTheRunningImage) {
  const std::wstring own = ownPath();
  HANDLE file = hold(own);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(isRunningImage(file));
  EXPECT_FALSE(mayBeOnNetwork(file));
  CloseHandle(file);
}

TEST_F(OwnFile, ACopyUnderTheSameNameIsNot) {
  const std::wstring own = ownPath();
  const std::wstring copy = folder + L"\\" + nameOf(own);
  ASSERT_TRUE(CopyFileW(own.c_str(), copy.c_str(), TRUE));
  made.push_back(copy);
  HANDLE file = hold(copy);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(isRunningImage(file));
  CloseHandle(file);

  // Nor is a file of another kind, nor no file at all.
  const std::wstring text = folder + L"\\notes.txt";
  file = CreateFileW(text.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  made.push_back(text);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "MZ", 2, &written, nullptr));
  EXPECT_FALSE(isRunningImage(file));
  CloseHandle(file);
  EXPECT_FALSE(isRunningImage(INVALID_HANDLE_VALUE));
}

}  // namespace
