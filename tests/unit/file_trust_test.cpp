// Who may replace the program file: owners and grants of the file and its folders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/file_trust.h"

namespace {

const wchar_t* const SYSTEM = L"S-1-5-18";
const wchar_t* const ADMINS = L"S-1-5-32-544";
const wchar_t* const USERS = L"S-1-5-32-545";
const wchar_t* const AUTHENTICATED = L"S-1-5-11";
const wchar_t* const EVERYONE = L"S-1-1-0";
const wchar_t* const CREATOR_OWNER = L"S-1-3-0";
const wchar_t* const INSTALLER = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
const wchar_t* const ME = L"S-1-5-21-1004336348-1177238915-682003330-1000";
const wchar_t* const ANN = L"S-1-5-21-1004336348-1177238915-682003330-1001";

const uint32_t FULL = 0x001F01FF;
const uint32_t MODIFY = 0x001301BF;
const uint32_t READ_EXECUTE = 0x001200A9;

AccessEntry allow(const wchar_t* sid, uint32_t mask, bool inheritOnly = false) {
  return {ENTRY_ALLOW, inheritOnly, sid, mask};
}
AccessEntry deny(const wchar_t* sid, uint32_t mask) { return {ENTRY_DENY, false, sid, mask}; }

bool safe(const wchar_t* owner, const std::vector<AccessEntry>& entries, TrustLevel level,
          bool ownGrantsTrusted = false) {
  const ObjectSecurity object = {owner, true, entries.data(), static_cast<int>(entries.size())};
  return isObjectSafe(object, level, ME, ownGrantsTrusted);
}

// What a fresh install folder under Program Files inherits.
std::vector<AccessEntry> programFilesEntries() {
  return {allow(INSTALLER, FULL),         allow(SYSTEM, MODIFY),
          allow(ADMINS, MODIFY),          allow(USERS, READ_EXECUTE),
          allow(L"S-1-15-2-1", READ_EXECUTE),  // all application packages
          allow(CREATOR_OWNER, 0x10000000, true)};
}

TEST(FileTrust, ACleanProgramFilesFolderAndItsFilePass) {
  for (TrustLevel level : {TRUST_FILE, TRUST_FILE_FOLDER, TRUST_FOLDER_ABOVE})
    EXPECT_TRUE(safe(INSTALLER, programFilesEntries(), level)) << level;
  EXPECT_TRUE(safe(ADMINS, programFilesEntries(), TRUST_FILE));
  EXPECT_TRUE(safe(SYSTEM, programFilesEntries(), TRUST_FILE));
}

TEST(FileTrust, TheRunningAccountIsTrustedAsOwnerButNotAsGrantee) {
  // A file moved from the administrator's own Downloads: that account also
  // runs code without elevation, which could then replace it.
  const std::vector<AccessEntry> downloads = {allow(ME, FULL), allow(SYSTEM, FULL), allow(EVERYONE, READ_EXECUTE)};
  EXPECT_FALSE(safe(ME, downloads, TRUST_FILE));
  EXPECT_FALSE(safe(ADMINS, {allow(ME, MODIFY)}, TRUST_FILE_FOLDER));
  EXPECT_TRUE(safe(ME, {allow(SYSTEM, FULL), allow(ADMINS, FULL), allow(ME, READ_EXECUTE)}, TRUST_FILE));
  // Where the platform reports every file that way (Wine), the grant says nothing.
  EXPECT_TRUE(safe(ME, downloads, TRUST_FILE, true));
  EXPECT_FALSE(safe(ME, {allow(ANN, FULL)}, TRUST_FILE, true));
  EXPECT_FALSE(safe(ANN, {allow(ME, FULL)}, TRUST_FILE, true));
  // Only the whole SID is the account: one that begins or ends like it is another.
  EXPECT_FALSE(safe(L"S-1-5-21-1004336348-1177238915-682003330-100", {}, TRUST_FILE));
  EXPECT_FALSE(safe(L"S-1-5-21-1004336348-1177238915-682003330-10001", {}, TRUST_FILE));
  EXPECT_FALSE(safe(L"S-1-5-180", {}, TRUST_FILE));
}

TEST(FileTrust, AFolderWhereUsersMayAddFilesIsNoHomeButMayLieAbove) {
  // Windows\Temp, Tasks, tracing: Users may create files and folders there.
  std::vector<AccessEntry> temp = programFilesEntries();
  temp.push_back(allow(USERS, 0x00000006));
  EXPECT_FALSE(safe(SYSTEM, temp, TRUST_FILE_FOLDER));
  // A drive's root lets Authenticated Users make folders, which replaces nothing below.
  EXPECT_TRUE(safe(SYSTEM, {allow(AUTHENTICATED, 0x00000004), allow(ADMINS, FULL)}, TRUST_FOLDER_ABOVE));
}

TEST(FileTrust, AVendorFolderGrantingUsersModifyFailsAtAnyLevel) {
  std::vector<AccessEntry> vendor = programFilesEntries();
  vendor.push_back(allow(USERS, MODIFY));
  for (TrustLevel level : {TRUST_FILE, TRUST_FILE_FOLDER, TRUST_FOLDER_ABOVE})
    EXPECT_FALSE(safe(INSTALLER, vendor, level)) << level;
}

TEST(FileTrust, AFileMovedFromAnotherUsersDownloadsFails) {
  // A move keeps the owner and entries the file had in ann's profile.
  const std::vector<AccessEntry> moved = {allow(SYSTEM, FULL), allow(ADMINS, FULL), allow(ANN, FULL)};
  EXPECT_FALSE(safe(ANN, moved, TRUST_FILE));
  EXPECT_FALSE(safe(ADMINS, moved, TRUST_FILE));  // owner taken over, grant left behind
}

TEST(FileTrust, EachReplacingRightCountsWhereItReplacesTheFile) {
  struct Case {
    uint32_t right;
    bool file, folder, above;  // safe when another user holds it there
  };
  const Case cases[] = {
      {RIGHT_WRITE_DATA, false, false, true},    {RIGHT_APPEND_DATA, false, false, true},
      {RIGHT_DELETE_CHILD, true, false, false},  {RIGHT_DELETE, false, false, false},
      {RIGHT_WRITE_DAC, false, false, false},    {RIGHT_WRITE_OWNER, false, false, false},
      {RIGHT_GENERIC_ALL, false, false, false},  {RIGHT_GENERIC_WRITE, false, false, true},
      {READ_EXECUTE, true, true, true},          {0x00000100, true, true, true},  // write attributes
  };
  for (const Case& c : cases) {
    EXPECT_EQ(safe(SYSTEM, {allow(USERS, c.right)}, TRUST_FILE), c.file) << std::hex << c.right;
    EXPECT_EQ(safe(SYSTEM, {allow(USERS, c.right)}, TRUST_FILE_FOLDER), c.folder) << std::hex << c.right;
    EXPECT_EQ(safe(SYSTEM, {allow(USERS, c.right)}, TRUST_FOLDER_ABOVE), c.above) << std::hex << c.right;
  }
}

TEST(FileTrust, InheritOnlyGrantsApplyOnlyToNewObjects) {
  EXPECT_TRUE(safe(SYSTEM, {allow(USERS, FULL, true)}, TRUST_FILE_FOLDER));
  // CREATOR OWNER on the object itself stands for no trusted account.
  EXPECT_FALSE(safe(SYSTEM, {allow(CREATOR_OWNER, FULL)}, TRUST_FILE_FOLDER));
}

TEST(FileTrust, DenyEntriesNeverCancelAGrant) {
  EXPECT_TRUE(safe(SYSTEM, {deny(EVERYONE, FULL), allow(SYSTEM, FULL)}, TRUST_FILE));
  EXPECT_FALSE(safe(SYSTEM, {deny(USERS, MODIFY), allow(USERS, MODIFY)}, TRUST_FILE));
}

TEST(FileTrust, WhatCannotBeReadIsNotTrusted) {
  EXPECT_FALSE(safe(nullptr, {}, TRUST_FILE));
  EXPECT_FALSE(safe(L"", {}, TRUST_FILE));
  const ObjectSecurity noList = {SYSTEM, false, nullptr, 0};  // everyone may do everything
  EXPECT_FALSE(isObjectSafe(noList, TRUST_FILE, ME, false));
  // A negative count says nothing about the entries it stands for.
  const AccessEntry grant = allow(USERS, FULL);
  const ObjectSecurity negative = {SYSTEM, true, &grant, -1};
  EXPECT_FALSE(isObjectSafe(negative, TRUST_FILE, ME, false));
  const std::vector<AccessEntry> unknown = {{ENTRY_OTHER, false, L"", 0}};
  EXPECT_FALSE(safe(SYSTEM, unknown, TRUST_FOLDER_ABOVE));
  // Without an account of its own, no empty SID is taken for it.
  const ObjectSecurity empty = {L"", true, nullptr, 0};
  EXPECT_FALSE(isObjectSafe(empty, TRUST_FILE, L"", true));
}

std::vector<std::wstring> walk(const wchar_t* path) {
  std::wstring p = path;
  std::vector<std::wstring> folders;
  size_t length = p.size();
  while ((length = parentFolderLength(p.c_str(), length)) != 0) folders.push_back(p.substr(0, length));
  return folders;
}

TEST(FileTrust, TheWalkVisitsEveryFolderUpToTheRoot) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ(walk(L"C:\\Program Files\\Quorvel\\quorvel.exe"),
            (V{L"C:\\Program Files\\Quorvel", L"C:\\Program Files", L"C:\\"}));
  EXPECT_EQ(walk(L"C:\\q.exe"), (V{L"C:\\"}));
  EXPECT_EQ(walk(L"C:\\A\\\\b\\"), (V{L"C:\\A", L"C:\\"}));
  EXPECT_EQ(walk(L"\\\\server\\share\\Q\\q.exe"), (V{L"\\\\server\\share\\Q", L"\\\\server\\share"}));
  EXPECT_EQ(walk(L"C:\\"), V{});
  EXPECT_EQ(walk(L"C:q.exe"), V{});
  EXPECT_EQ(walk(L"Q\\q.exe"), V{});
}

}  // namespace
