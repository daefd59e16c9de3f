// The server record's 152-byte registry image and the table's slot rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "servers/server_record.h"
#include "servers/server_table.h"

namespace {

TEST(ServerImage, PacksLittleEndianFieldByField) {
  ServerRecord record;
  std::memset(&record, 0xEE, sizeof record);  // reserved must not leak into the image
  setServerName(record, "abc");
  record.enabled = 1;
  record.status = STATUS_GOOD;
  record.latency = 0x01020304u;
  record.correction = -1234;  // 0xFFFFFFFFFFFFFB2E

  uint8_t image[SERVER_IMAGE_SIZE];
  packServerRecord(record, image);

  EXPECT_EQ(std::memcmp(image, "abc", 4), 0);
  EXPECT_EQ(image[4], 0xEE);  // bytes after the terminator go out as they are
  const uint8_t tail[24] = {1, 0, 0, 0,  102, 0, 0, 0,  4, 3, 2, 1,  0, 0, 0, 0,
                            0x2E, 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::memcmp(image + 128, tail, sizeof tail), 0);

  ServerRecord back;
  std::memset(&back, 0x55, sizeof back);
  unpackServerRecord(image, back);
  EXPECT_STREQ(back.name, "abc");
  EXPECT_EQ(back.enabled, 1);
  EXPECT_EQ(back.status, STATUS_GOOD);
  EXPECT_EQ(back.latency, 0x01020304u);
  EXPECT_EQ(back.correction, -1234);
  EXPECT_EQ(back.reserved, 0u);
}

TEST(ServerImage, UnpacksLiteralBytes) {
  uint8_t image[SERVER_IMAGE_SIZE] = {};
  std::memcpy(image, "time.test", 9);
  const uint8_t tail[24] = {0, 0, 0, 0,  0xFE, 0xFF, 0xFF, 0xFF,  0xFF, 0xFF, 0xFF, 0xFF,  9, 9, 9, 9,
                            0, 0, 0, 0, 0, 0, 0, 0x80};
  std::memcpy(image + 128, tail, sizeof tail);
  ServerRecord record;
  unpackServerRecord(image, record);
  EXPECT_STREQ(record.name, "time.test");
  EXPECT_EQ(record.enabled, 0);
  EXPECT_EQ(record.status, -2);
  EXPECT_EQ(record.latency, 0xFFFFFFFFu);
  EXPECT_EQ(record.correction, INT64_MIN);
}

TEST(ServerImage, AnyNonZeroEnabledFlagReadsAndSavesAsOne) {
  // Another tool may store 2 or -1; flipping such a value must still disable.
  uint8_t image[SERVER_IMAGE_SIZE] = {};
  ServerRecord record;
  for (uint8_t high : {0x02, 0xFF}) {
    std::memset(image + 128, high, 4);
    unpackServerRecord(image, record);
    EXPECT_EQ(record.enabled, 1) << int(high);
  }
  record.enabled = 2;
  packServerRecord(record, image);
  const uint8_t one[4] = {1, 0, 0, 0};
  EXPECT_EQ(std::memcmp(image + 128, one, 4), 0);
}

TEST(ServerImage, NameIsCutAt127) {
  ServerRecord record = {};
  const std::string longName(200, 'x');
  setServerName(record, longName.c_str());
  EXPECT_EQ(std::string(record.name), longName.substr(0, 127));

  uint8_t image[SERVER_IMAGE_SIZE];
  packServerRecord(record, image);
  EXPECT_EQ(image[126], 'x');
  EXPECT_EQ(image[127], 0);

  // A stored name that fills all 128 bytes without a terminator.
  std::memset(image, 'y', SERVER_NAME_SIZE);
  unpackServerRecord(image, record);
  EXPECT_EQ(std::string(record.name), std::string(127, 'y'));
}

TEST(ServerImage, ShorterNameKeepsOldTail) {
  ServerRecord record = {};
  setServerName(record, "longer.name");
  setServerName(record, "ab");
  EXPECT_STREQ(record.name, "ab");
  EXPECT_EQ(record.name[3], 'g');  // from "longer.name", behind the NUL
  setServerName(record, nullptr);
  EXPECT_STREQ(record.name, "");
}

TEST(ServerStatusText, FailureCodesOnly) {
  EXPECT_STREQ(serverStatusText(STATUS_WINSOCK_ERROR), "Winsock Error");
  EXPECT_STREQ(serverStatusText(STATUS_NET_DOWN), "Net is Down");
  EXPECT_STREQ(serverStatusText(STATUS_NO_DNS), "No DNS entry");
  EXPECT_STREQ(serverStatusText(STATUS_INTERRUPTED), "Interrupted");
  for (int code : {0, 14, 99, 100, 101, 102, 103, -1}) EXPECT_STREQ(serverStatusText(code), "") << code;
}

TEST(ServerStatusText, AuthenticatedTimeFailuresHaveTextsOfTheirOwn) {
  EXPECT_STREQ(serverStatusText(STATUS_NO_TLS13), "No TLS 1.3");
  EXPECT_STREQ(serverStatusText(STATUS_BAD_CERTIFICATE), "Bad Certificate");
  EXPECT_STREQ(serverStatusText(STATUS_NTS_REFUSED), "NTS Refused");
  EXPECT_STREQ(serverStatusText(STATUS_NOT_AUTHENTIC), "Not Authentic");
  EXPECT_STREQ(serverStatusText(STATUS_ONE_KEY_ONLY), "One TLS Key Only");
  // Failures, so never a result: they carry no correction.
  for (int code = STATUS_NO_TLS13; code <= STATUS_ONE_KEY_ONLY; ++code) EXPECT_FALSE(isResultStatus(code)) << code;
}

TEST(ServerRecordImage, NewStatusesKeepTheImage) {
  ServerRecord record = {};
  setServerName(record, "nts.example:4460");
  record.enabled = 1;
  record.status = STATUS_NOT_AUTHENTIC;
  uint8_t image[SERVER_IMAGE_SIZE];
  packServerRecord(record, image);
  EXPECT_EQ(12, image[132]);
  EXPECT_EQ(0, image[133] | image[134] | image[135]);
  ServerRecord back;
  unpackServerRecord(image, back);
  EXPECT_EQ(STATUS_NOT_AUTHENTIC, back.status);
  EXPECT_STREQ("nts.example:4460", back.name);
}

class ServerTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(serverRecords, 0, sizeof serverRecords);
    std::memset(serverQueries, 0, sizeof serverQueries);
  }
};

TEST_F(ServerTableTest, AddUsesLowestFreeSlot) {
  for (int i = 0; i < 6; ++i) ASSERT_EQ(addServer("host.test"), i);
  // Slot 3 held an old result; a new name there hides it behind STATUS_NONE.
  serverRecords[3].status = STATUS_GOOD;
  serverRecords[3].latency = 45;
  serverRecords[3].enabled = 0;
  serverRecords[3].name[0] = '\0';
  serverQueries[3].dirty = 0;

  EXPECT_EQ(addServer("New Server"), 3);
  EXPECT_STREQ(serverRecords[3].name, "New Server");
  EXPECT_EQ(serverRecords[3].enabled, 1);
  EXPECT_EQ(serverRecords[3].status, STATUS_NONE);
  EXPECT_EQ(serverRecords[3].latency, 45u);
  EXPECT_EQ(serverQueries[3].dirty, 1);
  EXPECT_EQ(addServer("next.test"), 6);
  EXPECT_EQ(usedServerCount(), 7);
}

TEST_F(ServerTableTest, RejectsEmptyNameAndFullTable) {
  EXPECT_EQ(addServer(""), -1);
  EXPECT_EQ(addServer(nullptr), -1);
  EXPECT_EQ(usedServerCount(), 0);

  for (int i = 0; i < SERVER_SLOTS; ++i) ASSERT_EQ(addServer("host.test"), i);
  EXPECT_EQ(usedServerCount(), SERVER_SLOTS);
  const ServerRecord before = serverRecords[0];
  EXPECT_EQ(addServer("one.more"), -1);
  EXPECT_EQ(std::memcmp(&before, &serverRecords[0], sizeof before), 0);
  EXPECT_EQ(usedServerCount(), SERVER_SLOTS);
}

}  // namespace
