// The log-on task's XML and the rule for where the program may live to get one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/logon_task.h"

namespace {

bool contains(const std::wstring& text, const std::wstring& part) {
  return text.find(part) != std::wstring::npos;
}

std::wstring logonTaskXml(const wchar_t* path) {
  static wchar_t xml[LOGON_TASK_XML_SIZE];
  EXPECT_TRUE(buildLogonTaskXml(path, xml, LOGON_TASK_XML_SIZE));
  return xml;
}

bool isInSecureFolder(const wchar_t* path, const std::vector<const wchar_t*>& folders) {
  return ::isInSecureFolder(path, folders.data(), static_cast<int>(folders.size()));
}

TEST(LogonTaskXml, StartsTheProgramElevatedAtEveryLogOn) {
  const std::wstring xml = logonTaskXml(L"C:\\Program Files\\Quorvel\\quorvel.exe");
  EXPECT_TRUE(contains(xml, L"<Command>C:\\Program Files\\Quorvel\\quorvel.exe</Command>"));
  EXPECT_TRUE(contains(xml, L"<Arguments>s</Arguments>"));
  // Any user's log-on: a trigger bound to one user would name it.
  EXPECT_TRUE(contains(xml, L"<LogonTrigger>"));
  EXPECT_FALSE(contains(xml, L"<UserId>"));
  EXPECT_TRUE(contains(xml, L"<GroupId>S-1-5-32-545</GroupId>"));
  EXPECT_TRUE(contains(xml, L"<RunLevel>HighestAvailable</RunLevel>"));
  EXPECT_TRUE(contains(xml, L"<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>"));
  EXPECT_TRUE(contains(xml, L"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>"));
  EXPECT_TRUE(contains(xml, L"<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>"));
  EXPECT_TRUE(contains(xml, L"<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"));
}

TEST(LogonTaskXml, PathIsEscapedAndNeverQuoted) {
  // Command holds the path alone, so blanks need no quotes there.
  EXPECT_TRUE(contains(logonTaskXml(L"C:\\Program Files (x86)\\My Tools\\quorvel.exe"),
                       L"<Command>C:\\Program Files (x86)\\My Tools\\quorvel.exe</Command>"));
  const std::wstring xml = logonTaskXml(L"C:\\Program Files\\Tools & Co <1>\\it's \"q\".exe");
  EXPECT_TRUE(contains(
      xml, L"<Command>C:\\Program Files\\Tools &amp; Co &lt;1&gt;\\it&apos;s &quot;q&quot;.exe</Command>"));
  EXPECT_FALSE(contains(xml, L"Tools & Co"));
}

class SecureFolder : public ::testing::Test {
 protected:
  const std::vector<const wchar_t*> folders = {L"C:\\Program Files", L"C:\\Program Files (x86)\\",
                                               L"C:\\Windows"};
  bool secure(const wchar_t* path) const { return isInSecureFolder(path, folders); }
};

TEST_F(SecureFolder, InsideProgramFilesOrWindowsInAnyCase) {
  EXPECT_TRUE(secure(L"C:\\Program Files\\Quorvel\\quorvel.exe"));
  EXPECT_TRUE(secure(L"C:\\Program Files (x86)\\Quorvel\\quorvel.exe"));  // folder given with "\"
  EXPECT_TRUE(secure(L"c:\\PROGRAM FILES\\quorvel.exe"));
  EXPECT_TRUE(secure(L"C:\\Windows\\System32\\quorvel.exe"));
}

TEST_F(SecureFolder, UserWritablePlacesAreNot) {
  EXPECT_FALSE(secure(L"C:\\Users\\ann\\Downloads\\quorvel.exe"));
  EXPECT_FALSE(secure(L"C:\\quorvel.exe"));
  EXPECT_FALSE(secure(L"C:\\Quorvel\\quorvel.exe"));
  EXPECT_FALSE(secure(L"D:\\Program Files\\Quorvel\\quorvel.exe"));
}

TEST_F(SecureFolder, OnlyWholeFolderNamesMatch) {
  EXPECT_FALSE(secure(L"C:\\Program Files Evil\\quorvel.exe"));
  EXPECT_FALSE(secure(L"C:\\Program Filesx\\quorvel.exe"));
  EXPECT_FALSE(secure(L"C:\\WindowsApps2\\quorvel.exe"));
}

TEST_F(SecureFolder, TheFolderItselfIsNoFileInIt) {
  EXPECT_FALSE(secure(L"C:\\Program Files"));
  EXPECT_FALSE(secure(L"C:\\Program Files\\"));
  EXPECT_FALSE(secure(L"C:\\Program Files\\\\"));
}

TEST_F(SecureFolder, EmptyRelativeAndEscapingPathsAreNot) {
  EXPECT_FALSE(secure(L""));
  EXPECT_FALSE(secure(L"quorvel.exe"));
  EXPECT_FALSE(secure(L"Program Files\\Quorvel\\quorvel.exe"));
  EXPECT_FALSE(secure(L"C:Program Files\\quorvel.exe"));  // relative to drive C's current folder
  EXPECT_FALSE(secure(L"\\Program Files\\quorvel.exe"));  // on the current drive
  EXPECT_FALSE(secure(L"C:\\Program Files\\..\\Users\\ann\\quorvel.exe"));
  EXPECT_FALSE(secure(L"C:\\Windows\\.\\..\\quorvel.exe"));
}

TEST(LogonTaskXml, APathThatDoesNotFitGivesNothing) {
  wchar_t small[64];
  EXPECT_FALSE(buildLogonTaskXml(L"C:\\q.exe", small, 64));
  EXPECT_EQ(small[0], L'\0');
  EXPECT_FALSE(buildLogonTaskXml(L"C:\\q.exe", small, 0));
  // Exactly as much room as the text and its terminator need, in a buffer of
  // that size so that a terminator one past the end is caught.
  const size_t needed = logonTaskXml(L"C:\\q.exe").size() + 1;
  std::vector<wchar_t> exact(needed);
  EXPECT_TRUE(buildLogonTaskXml(L"C:\\q.exe", exact.data(), needed));
  std::vector<wchar_t> short1(needed - 1);
  EXPECT_FALSE(buildLogonTaskXml(L"C:\\q.exe", short1.data(), needed - 1));
}

TEST(LogonTaskXml, TheLongestPathFitsEscapedAtItsLongest) {
  std::vector<wchar_t> path(LONGEST_PATH, L'"');
  path[0] = L'C';
  path[1] = L':';
  path[2] = L'\\';
  path[LONGEST_PATH - 1] = L'\0';
  const std::wstring xml = logonTaskXml(path.data());
  EXPECT_TRUE(contains(xml, L"<Command>C:\\&quot;&quot;"));
  EXPECT_TRUE(contains(xml, L"&quot;</Command>"));
}

TEST(SecureFolderList, EmptyOrRelativeFoldersSecureNothing) {
  EXPECT_FALSE(isInSecureFolder(L"C:\\Program Files\\q.exe", {}));
  // An empty entry must not turn into "\" and so match every UNC path.
  EXPECT_FALSE(isInSecureFolder(L"\\\\server\\share\\q.exe", {L"", L"Program Files"}));
  EXPECT_TRUE(isInSecureFolder(L"\\\\server\\share\\q.exe", {L"\\\\server\\share"}));
  // "C:Windows" is relative to drive C's current folder, wherever that is.
  EXPECT_FALSE(isInSecureFolder(L"C:Windows\\q.exe", {L"C:Windows"}));
}

TEST_F(SecureFolder, AlternateDataStreamsAreNot) {
  EXPECT_FALSE(secure(L"C:\\Windows\\Tasks:quorvel.exe"));
  EXPECT_FALSE(secure(L"C:\\Program Files\\Q\\quorvel.exe:x"));
  EXPECT_FALSE(secure(L"C:\\Program Files\\Q:x\\quorvel.exe"));
  EXPECT_FALSE(isInSecureFolder(L"\\\\server\\share\\q.exe:x", {L"\\\\server\\share"}));
  EXPECT_FALSE(secure(L"C:\\Program Files\\Q\\quorvel.exe:"));  // the stream's name left empty
}

std::wstring plain(const wchar_t* finalPath) {
  wchar_t out[64];
  EXPECT_TRUE(plainFinalPath(finalPath, out, 64));
  return out;
}

TEST(FinalPath, TheLongFormsPrefixGoes) {
  EXPECT_EQ(plain(L"\\\\?\\C:\\Program Files\\Q\\q.exe"), L"C:\\Program Files\\Q\\q.exe");
  EXPECT_EQ(plain(L"\\\\?\\UNC\\server\\share\\q.exe"), L"\\\\server\\share\\q.exe");
  EXPECT_EQ(plain(L"C:\\q.exe"), L"C:\\q.exe");
  // Exactly as much room as needed, then one less.
  wchar_t out[16];
  EXPECT_TRUE(plainFinalPath(L"\\\\?\\UNC\\s\\h\\q.exe", out, 12));  // 11 characters
  EXPECT_STREQ(out, L"\\\\s\\h\\q.exe");
  EXPECT_FALSE(plainFinalPath(L"\\\\?\\UNC\\s\\h\\q.exe", out, 11));
  EXPECT_EQ(out[0], L'\0');
  // No room at all: nothing is written.
  out[0] = L'x';
  EXPECT_FALSE(plainFinalPath(L"\\\\?\\C:\\q.exe", out, 0));
  EXPECT_EQ(out[0], L'x');
}

}  // namespace
