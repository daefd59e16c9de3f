// Telling the running image's file by the names the system reports.
#include <gtest/gtest.h>

#include "shell/own_file.h"

namespace {

TEST(OwnFile, TheImageAndTheHeldFileNameTheSamePath) {
  // Windows names the mapping by device, Wine by drive.
  EXPECT_TRUE(isSameFileName(L"\\Device\\HarddiskVolume3\\Users\\me\\Downloads\\quorvel.exe",
                             L"\\Device\\HarddiskVolume3\\Users\\me\\Downloads\\Quorvel.EXE",
                             L"\\\\?\\C:\\Users\\me\\Downloads\\Quorvel.EXE"));
  EXPECT_TRUE(isSameFileName(L"\\??\\C:\\Quorvel\\quorvel.exe", L"\\Device\\HarddiskVolume1\\Quorvel\\quorvel.exe",
                             L"\\\\?\\C:\\Quorvel\\quorvel.exe"));
  EXPECT_TRUE(isSameFileName(L"\\??\\UNC\\server\\share\\q.exe", L"", L"\\\\?\\UNC\\server\\share\\q.exe"));
}

TEST(OwnFile, AnotherFileOrNoNameIsNotTheImage) {
  // The image renamed, another file put under its old name and held.
  EXPECT_FALSE(isSameFileName(L"\\Device\\HarddiskVolume3\\Q\\quorvel-old.exe",
                              L"\\Device\\HarddiskVolume3\\Q\\quorvel.exe", L"\\\\?\\C:\\Q\\quorvel.exe"));
  EXPECT_FALSE(isSameFileName(L"\\Device\\HarddiskVolume3\\Q\\quorvel.exe",
                              L"\\Device\\HarddiskVolume3\\Q\\quorvel.exe.bak", L""));
  EXPECT_FALSE(isSameFileName(L"\\??\\C:\\Q\\quorvel.exe", L"\\Device\\HarddiskVolume1\\Q\\quorvel.exe",
                              L"\\\\?\\C:\\Q\\quorvel.ex"));
  // Each form against its own: a drive path never matches a device path.
  EXPECT_FALSE(isSameFileName(L"\\??\\C:\\Q\\q.exe", L"\\??\\C:\\Q\\q.exe", L"C:\\Q\\q.exe"));
  EXPECT_FALSE(isSameFileName(L"\\Device\\V1\\q.exe", L"", L"\\Device\\V1\\q.exe"));
  EXPECT_FALSE(isSameFileName(L"", L"", L""));
  EXPECT_FALSE(isSameFileName(L"\\??\\C:\\q.exe", L"", L""));  // no lead to skip: nothing read past the end
  EXPECT_FALSE(isSameFileName(L"\\??\\ab", L"", L"\\\\.\\ab"));
  EXPECT_FALSE(isSameFileName(nullptr, L"\\Device\\V1\\q.exe", nullptr));
  EXPECT_FALSE(isSameFileName(L"\\??\\C:\\q.exe", nullptr, nullptr));
}

}  // namespace
