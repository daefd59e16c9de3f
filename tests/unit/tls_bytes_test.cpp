// The queues around the system's TLS and the ALPN offer's image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nts/tls_bytes.h"

namespace {

std::string text(const ByteQueue<8>& queue) {
  return std::string(reinterpret_cast<const char*>(queue.data()), queue.size());
}
const uint8_t* bytes(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

TEST(ByteQueue, AppendsUpToItsCapacityAndNeverPartly) {
  ByteQueue<8> queue;
  EXPECT_TRUE(queue.append(bytes("abcde"), 5));
  EXPECT_FALSE(queue.append(bytes("fghi"), 4));  // one too many: nothing added
  EXPECT_EQ(text(queue), "abcde");
  EXPECT_TRUE(queue.append(bytes("fgh"), 3));
  EXPECT_EQ(text(queue), "abcdefgh");
  EXPECT_EQ(queue.room(), 0u);
  EXPECT_TRUE(queue.append(nullptr, 0));
  EXPECT_FALSE(queue.append(bytes("i"), 1));
}

TEST(ByteQueue, DropsFromTheFrontAndKeepsTheLeftover) {
  ByteQueue<8> queue;
  queue.append(bytes("abcdefgh"), 8);
  queue.drop(3);
  EXPECT_EQ(text(queue), "defgh");
  queue.keepLast(2);  // what the TLS layer left over
  EXPECT_EQ(text(queue), "gh");
  queue.keepLast(5);  // more than there is: all stays
  EXPECT_EQ(text(queue), "gh");
  queue.keepLast(2);
  EXPECT_EQ(text(queue), "gh");
  queue.drop(9);
  EXPECT_EQ(queue.size(), 0u);
  queue.append(bytes("xy"), 2);
  queue.keepLast(0);
  EXPECT_EQ(queue.size(), 0u);
}

TEST(ByteQueue, WritingInPlaceStopsAtTheCapacity) {
  ByteQueue<8> queue;
  queue.append(bytes("ab"), 2);
  ASSERT_EQ(queue.room(), 6u);
  std::memcpy(queue.end(), "cde", 3);
  queue.grew(3);
  EXPECT_EQ(text(queue), "abcde");
  queue.grew(100);
  EXPECT_EQ(queue.size(), 8u);
  queue.clear();
  EXPECT_EQ(queue.room(), 8u);
}

TEST(AlpnOffer, PacksOneProtocolFieldByField) {
  uint8_t out[32];
  std::memset(out, 0xee, sizeof out);
  ASSERT_EQ(packAlpnOffer("ntske/1", out, sizeof out), 18u);
  const uint8_t expected[18] = {14, 0, 0, 0,  2, 0, 0, 0,  8, 0,  7,
                                'n', 't', 's', 'k', 'e', '/', '1'};
  EXPECT_EQ(std::memcmp(out, expected, sizeof expected), 0);
  EXPECT_EQ(out[18], 0xee);  // nothing beyond
}

TEST(AlpnOffer, RefusesWhatDoesNotFitOrCannotBeNamed) {
  uint8_t out[300];
  EXPECT_EQ(packAlpnOffer("ntske/1", out, 17), 0u);
  EXPECT_EQ(packAlpnOffer("ntske/1", out, 18), 18u);
  EXPECT_EQ(packAlpnOffer("", out, sizeof out), 0u);
  const std::string longest(255, 'p');
  ASSERT_EQ(packAlpnOffer(longest.c_str(), out, sizeof out), 266u);
  EXPECT_EQ(out[0], 6);
  EXPECT_EQ(out[1], 1);  // 262 = 0x106, little-endian
  EXPECT_EQ(out[8], 0);
  EXPECT_EQ(out[9], 1);  // 256 ids bytes
  EXPECT_EQ(out[10], 255);
  const std::string tooLong(256, 'p');
  EXPECT_EQ(packAlpnOffer(tooLong.c_str(), out, sizeof out), 0u);
}

}  // namespace
