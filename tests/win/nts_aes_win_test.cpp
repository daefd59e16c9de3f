// bcrypt's AES under the AesBlock interface, on FIPS-197's vectors, and the
// system's random bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "nts/aes_block_win.h"

namespace {

// FIPS-197 appendix C.1 (AES-128).
const uint8_t FIPS_KEY[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                              0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
const uint8_t FIPS_PLAIN[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
const uint8_t FIPS_CIPHER[16] = {0x69, 0xc4, 0xe0, 0xd8, 0x6a, 0x7b, 0x04, 0x30,
                                 0xd8, 0xcd, 0xb7, 0x80, 0x70, 0xb4, 0xc5, 0x5a};
// FIPS-197 appendix B.
const uint8_t B_KEY[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                           0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
const uint8_t B_PLAIN[16] = {0x32, 0x43, 0xf6, 0xa8, 0x88, 0x5a, 0x30, 0x8d,
                             0x31, 0x31, 0x98, 0xa2, 0xe0, 0x37, 0x07, 0x34};
const uint8_t B_CIPHER[16] = {0x39, 0x25, 0x84, 0x1d, 0x02, 0xdc, 0x09, 0xfb,
                              0xdc, 0x11, 0x85, 0x97, 0x19, 0x6a, 0x0b, 0x32};

TEST(SystemAes, EncryptsTheStandardsVectors) {
  SystemAesBlock aes;
  ASSERT_TRUE(aes.setKey(FIPS_KEY));
  uint8_t out[16];
  aes.encrypt(FIPS_PLAIN, out);
  EXPECT_EQ(std::memcmp(out, FIPS_CIPHER, 16), 0);
  // ECB: the same block again gives the same result, no chaining state.
  aes.encrypt(FIPS_PLAIN, out);
  EXPECT_EQ(std::memcmp(out, FIPS_CIPHER, 16), 0);

  // A new key replaces the old one.
  ASSERT_TRUE(aes.setKey(B_KEY));
  aes.encrypt(B_PLAIN, out);
  EXPECT_EQ(std::memcmp(out, B_CIPHER, 16), 0);
}

TEST(SystemAes, KeysOfTwoBlocksStayApart) {
  SystemAesBlock first, second;
  ASSERT_TRUE(first.setKey(FIPS_KEY));
  ASSERT_TRUE(second.setKey(B_KEY));
  uint8_t out[16];
  first.encrypt(FIPS_PLAIN, out);
  EXPECT_EQ(std::memcmp(out, FIPS_CIPHER, 16), 0);
  second.encrypt(B_PLAIN, out);
  EXPECT_EQ(std::memcmp(out, B_CIPHER, 16), 0);
}

TEST(SystemAes, InPlaceAndWithoutAKey) {
  SystemAesBlock aes;
  uint8_t block[16];
  std::memset(block, 0xa5, sizeof block);
  aes.encrypt(block, block);  // no key: zeros, never stale bytes
  const uint8_t zero[16] = {};
  EXPECT_EQ(std::memcmp(block, zero, 16), 0);

  ASSERT_TRUE(aes.setKey(FIPS_KEY));
  std::memcpy(block, FIPS_PLAIN, 16);
  aes.encrypt(block, block);
  EXPECT_EQ(std::memcmp(block, FIPS_CIPHER, 16), 0);
}

TEST(SystemRandom, FillsFreshBytes) {
  uint8_t first[32] = {}, second[32] = {};
  ASSERT_TRUE(systemRandom(first, sizeof first));
  ASSERT_TRUE(systemRandom(second, sizeof second));
  // 2^-256 chance of a false failure.
  EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
  const uint8_t zero[32] = {};
  EXPECT_NE(std::memcmp(first, zero, sizeof first), 0);
  EXPECT_TRUE(systemRandom(first, 0));
}

}  // namespace
