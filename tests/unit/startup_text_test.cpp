// The command line and the command texts of the system entries.
#include <gtest/gtest.h>

#include <cstring>
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

TEST(CommandText, CommandsQuoteThePathAndDifferOnlyInTheLetter) {
  char start[300], remove[300];
  const char* path = "C:\\Program Files\\Quorvel\\quorvel.exe";
  ASSERT_TRUE(buildCommandText(path, 's', start, sizeof start));
  ASSERT_TRUE(buildCommandText(path, 'u', remove, sizeof remove));
  EXPECT_STREQ(start, "\"C:\\Program Files\\Quorvel\\quorvel.exe\" s");
  const size_t n = std::strlen(start);
  EXPECT_EQ(std::string(start, n - 1), std::string(remove, n - 1));
  EXPECT_EQ(remove[n - 1], 'u');
  // The start-up side reads back exactly the letter that was written.
  EXPECT_EQ(launchLetter(argumentText(start)), 's');
  EXPECT_EQ(launchLetter(argumentText(remove)), 'u');
}

TEST(CommandText, TooLongForTheBufferGivesNothing) {
  char out[10];
  EXPECT_FALSE(buildCommandText("C:\\abcd.exe", 's', out, sizeof out));
  EXPECT_STREQ(out, "");
  EXPECT_TRUE(buildCommandText("C:\\ab", 's', out, sizeof out));  // 9 characters and NUL
}

}  // namespace
