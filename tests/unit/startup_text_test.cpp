// The command line and the command texts of the system entries.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "settings/command_text.h"
#include "shell/command_line.h"

namespace {

TEST(CommandLine, ArgumentTextFollowsTheProgramName) {
  EXPECT_STREQ(argumentText("quorvel.exe s"), "s");
  EXPECT_STREQ(argumentText("\"C:\\Program Files\\Quorvel\\quorvel.exe\" s"), "s");
  // As the C runtime splits it: the name runs on after its closing quote.
  EXPECT_STREQ(argumentText("\"C:\\Program Files\\Quorvel\\quorvel.exe\"u"), "");
  EXPECT_STREQ(argumentText("C:\\q.exe \t  start more"), "start more");
  EXPECT_STREQ(argumentText("C:\\q.exe"), "");
  EXPECT_STREQ(argumentText("\"C:\\unterminated s"), "");
  EXPECT_STREQ(argumentText(""), "");
}

TEST(CommandLine, OnlyTheFirstLowerCaseLetterCounts) {
  EXPECT_EQ(launchLetter("s"), 's');
  EXPECT_EQ(launchLetter("startup now"), 's');
  EXPECT_EQ(launchLetter("u"), 'u');
  EXPECT_EQ(launchLetter("uninstall"), 'u');
  EXPECT_EQ(launchLetter("S"), 0);
  EXPECT_EQ(launchLetter("-s"), 0);
  EXPECT_EQ(launchLetter("/u"), 0);
  EXPECT_EQ(launchLetter("x s"), 0);
  EXPECT_EQ(launchLetter(""), 0);
}

// The start-up side reads the command line as ANSI text; the letters are ASCII.
std::string narrow(const wchar_t* text) {
  std::string out;
  for (; *text != L'\0'; ++text) out += static_cast<char>(*text < 0x80 ? *text : '?');
  return out;
}

TEST(CommandText, CommandsQuoteThePathAndDifferOnlyInTheLetter) {
  wchar_t start[300], remove[300];
  const wchar_t* path = L"C:\\Program Files\\Quorvel\\quorvel.exe";
  ASSERT_TRUE(buildCommandText(path, L's', start, 300));
  ASSERT_TRUE(buildCommandText(path, L'u', remove, 300));
  EXPECT_EQ(std::wstring(start), L"\"C:\\Program Files\\Quorvel\\quorvel.exe\" s");
  const size_t n = std::wcslen(start);
  EXPECT_EQ(std::wstring(start, n - 1), std::wstring(remove, n - 1));
  EXPECT_EQ(remove[n - 1], L'u');
  // The start-up side reads back exactly the letter that was written.
  EXPECT_EQ(launchLetter(argumentText(narrow(start).c_str())), 's');
  EXPECT_EQ(launchLetter(argumentText(narrow(remove).c_str())), 'u');
}

TEST(CommandText, TooLongForTheBufferGivesNothing) {
  wchar_t out[10] = {L'x'};
  EXPECT_FALSE(buildCommandText(L"C:\\abcd.exe", L's', out, 10));
  EXPECT_EQ(out[0], L'\0');
  EXPECT_TRUE(buildCommandText(L"C:\\ab", L's', out, 10));  // 9 characters and NUL
  EXPECT_EQ(std::wstring(out), L"\"C:\\ab\" s");
  EXPECT_FALSE(buildCommandText(L"C:\\ab", L's', out, 9));
}

}  // namespace
