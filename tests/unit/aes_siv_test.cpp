// AES-CMAC and AES-SIV against the published vectors, over the tests' own
// reference AES (itself checked on the standard's example block).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nts/aes_siv.h"
#include "tests/unit/reference_aes.h"

namespace {

std::vector<uint8_t> bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::vector<uint8_t> range(uint8_t from, size_t size) {
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(from + i);
  return out;
}

TEST(ReferenceAes, EncryptsTheStandardsExampleBlock) {
  ReferenceAes aes;
  ASSERT_TRUE(aes.setKey(bytes("000102030405060708090a0b0c0d0e0f").data()));
  uint8_t out[16];
  aes.encrypt(bytes("00112233445566778899aabbccddeeff").data(), out);
  EXPECT_EQ(bytes("69c4e0d86a7b0430d8cdb78070b4c55a"), std::vector<uint8_t>(out, out + 16));
}

TEST(AesCmac, PublishedExamplesOfEveryLastBlockShape) {
  ReferenceAes aes;
  aes.setKey(bytes("2b7e151628aed2a6abf7158809cf4f3c").data());
  const std::vector<uint8_t> message = bytes(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const struct {
    size_t size;
    const char* mac;
  } examples[] = {{0, "bb1d6929e95937287fa37d129b756746"},   // empty: one padded block
                  {16, "070a16b46b4d4144f79bdd9dd04a287c"},  // one whole block
                  {40, "dfa66747de9ae63030ca32611497c827"},  // a padded last block
                  {64, "51f0bebf7e3b9d92fc49741779363cfe"}};
  for (const auto& e : examples) {
    uint8_t mac[16];
    aesCmac(aes, message.data(), e.size, mac);
    EXPECT_EQ(bytes(e.mac), std::vector<uint8_t>(mac, mac + 16)) << e.size << " bytes";
  }
}

struct Siv {
  ReferenceAes mac, ctr;
  AesSiv siv{mac, ctr};
  explicit Siv(const std::string& keyHex) { EXPECT_TRUE(siv.setKey(bytes(keyHex).data())); }
};

std::vector<uint8_t> sealed(Siv& s, const std::vector<std::vector<uint8_t>>& parts, const std::vector<uint8_t>& plain) {
  std::vector<SivPart> p;
  for (const auto& part : parts) p.push_back({part.data(), part.size()});
  std::vector<uint8_t> out(plain.size() + AES_SIV_TAG_SIZE);
  EXPECT_TRUE(s.siv.seal(p.data(), static_cast<int>(p.size()), plain.data(), plain.size(), out.data()));
  return out;
}

bool opens(Siv& s, const std::vector<std::vector<uint8_t>>& parts, const std::vector<uint8_t>& message,
           std::vector<uint8_t>& plain) {
  std::vector<SivPart> p;
  for (const auto& part : parts) p.push_back({part.data(), part.size()});
  plain.assign(message.size() - AES_SIV_TAG_SIZE, 0xEE);
  return s.siv.open(p.data(), static_cast<int>(p.size()), message.data(), message.size(), plain.data());
}

TEST(AesSiv, DeterministicPublishedExample) {
  Siv s("fffefdfcfbfaf9f8f7f6f5f4f3f2f1f0f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  const std::vector<std::vector<uint8_t>> ad = {bytes("101112131415161718191a1b1c1d1e1f2021222324252627")};
  const std::vector<uint8_t> plain = bytes("112233445566778899aabbccddee");
  const std::vector<uint8_t> expected = bytes("85632d07c6e8f37f950acd320a2ecc9340c02b9690c4dc04daef7f6afe5c");
  EXPECT_EQ(expected, sealed(s, ad, plain));
  std::vector<uint8_t> opened;
  EXPECT_TRUE(opens(s, ad, expected, opened));
  EXPECT_EQ(plain, opened);
}

TEST(AesSiv, NonceBasedPublishedExampleWithTwoAssociatedParts) {
  Siv s("7f7e7d7c7b7a797877767574737271704041424344454647" "48494a4b4c4d4e4f");
  const std::vector<std::vector<uint8_t>> ad = {
      bytes("00112233445566778899aabbccddeeffdeaddadadeaddadaffeeddccbbaa99887766554433221100"),
      bytes("102030405060708090a0"), bytes("09f911029d74e35bd84156c5635688c0")};
  const std::vector<uint8_t> plain = bytes(
      "7468697320697320736f6d6520706c61696e7465787420746f20656e6372797074207573696e67205349562d414553");
  const std::vector<uint8_t> expected = bytes(
      "7bdb6e3b432667eb06f4d14bff2fbd0fcb900f2fddbe404326601965c889bf17"
      "dba77ceb094fa663b7a3f748ba8af829ea64ad544a272e9c485b62a3fd5c0d");
  EXPECT_EQ(expected, sealed(s, ad, plain));
  std::vector<uint8_t> opened;
  EXPECT_TRUE(opens(s, ad, expected, opened));
  EXPECT_EQ(plain, opened);
}

// Associated data then nonce, as authenticated NTP seals: an empty plaintext
// (what a client sends), one on either side of a block, and a stream whose
// counter carries across a byte.
TEST(AesSiv, AadAndNonceAroundTheBlockSize) {
  Siv s("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const std::vector<uint8_t> aad = range(0x30, 52);
  const std::vector<uint8_t> nonce = range(0xA0, 16);
  const struct {
    size_t size;
    const char* sealed;
  } cases[] = {{0, "4e6925771cf48cb53317b6651d79fb70"},
               {15, "98402890b992fc7d769d54ec6be5599c086a45e69dd7b3ee3f38b6592a0fe8"},
               {16, "bcd1312926c1514faf413f704bd1e001cb8134bfd06c4b5551ea2a833db03305"},
               {17, "c19f84567b499d3f86ce5614f7ea1b88c57e9d93126ac425c8861d374e04628e6c"}};
  for (const auto& c : cases) {
    const std::vector<uint8_t> plain = range(0x40, c.size);
    std::vector<uint8_t> out(c.size + AES_SIV_TAG_SIZE);
    ASSERT_TRUE(s.siv.sealWithNonce(aad.data(), aad.size(), nonce.data(), nonce.size(), plain.data(), plain.size(),
                                    out.data()));
    EXPECT_EQ(bytes(c.sealed), out) << c.size << " bytes";
    std::vector<uint8_t> opened(c.size + 1, 0xEE);
    EXPECT_TRUE(s.siv.openWithNonce(aad.data(), aad.size(), nonce.data(), nonce.size(), out.data(), out.size(),
                                    opened.data()));
    EXPECT_EQ(plain, std::vector<uint8_t>(opened.begin(), opened.begin() + static_cast<long>(c.size)));
    EXPECT_EQ(0xEE, opened[c.size]) << "nothing written past the plaintext";
  }
  std::vector<uint8_t> carryNonce(16, 0);
  carryNonce[0] = 0x5b;
  carryNonce[1] = 0x01;
  const std::vector<uint8_t> plain = range(0, 64);
  std::vector<uint8_t> out(64 + AES_SIV_TAG_SIZE);
  s.siv.sealWithNonce(aad.data(), aad.size(), carryNonce.data(), 16, plain.data(), 64, out.data());
  EXPECT_EQ(bytes("fbb0a1b4528bca287eb309d1699632ffcadd6e3794fee84deb0b452eaebfc11a916383175e8f5738180a88d68b671b51"
                  "3b615c3da9c73381806a8bb6dd2c45d15941c648ff0351c25011a9130e93f150"),
            out);
}

TEST(AesSiv, AnyChangedBitOrPartFailsToOpenAndLeavesNoPlaintext) {
  Siv s("fffefdfcfbfaf9f8f7f6f5f4f3f2f1f0f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  const std::vector<std::vector<uint8_t>> ad = {range(1, 20), range(50, 16)};
  const std::vector<uint8_t> plain = range(7, 40);
  const std::vector<uint8_t> good = sealed(s, ad, plain);
  std::vector<uint8_t> opened;
  ASSERT_TRUE(opens(s, ad, good, opened));
  for (size_t at = 0; at < good.size(); ++at) {
    std::vector<uint8_t> bad = good;
    bad[at] ^= 0x01;
    EXPECT_FALSE(opens(s, ad, bad, opened)) << "byte " << at;
    EXPECT_EQ(std::vector<uint8_t>(plain.size(), 0), opened) << "byte " << at;
  }
  for (size_t part = 0; part < ad.size(); ++part) {
    auto changed = ad;
    changed[part][3] ^= 0x80;
    EXPECT_FALSE(opens(s, changed, good, opened)) << "part " << part;
  }
  // The parts in another order, or one missing, are other associated data.
  EXPECT_FALSE(opens(s, {ad[1], ad[0]}, good, opened));
  EXPECT_FALSE(opens(s, {ad[0]}, good, opened));
  // Too short to hold a tag, and too many parts.
  uint8_t out[1];
  EXPECT_FALSE(s.siv.open(nullptr, 0, good.data(), AES_SIV_TAG_SIZE - 1, out));
  SivPart many[AES_SIV_MAX_PARTS + 1] = {};
  EXPECT_FALSE(s.siv.open(many, AES_SIV_MAX_PARTS + 1, good.data(), good.size(), opened.data()));
  EXPECT_FALSE(s.siv.seal(many, AES_SIV_MAX_PARTS + 1, plain.data(), plain.size(), opened.data()));
}

TEST(AesSiv, ConstantTimeEquality) {
  const uint8_t a[4] = {1, 2, 3, 4};
  const uint8_t b[4] = {1, 2, 3, 5};
  const uint8_t c[4] = {0x81, 2, 3, 4};
  EXPECT_TRUE(equalInConstantTime(a, a, 4));
  EXPECT_FALSE(equalInConstantTime(a, b, 4));
  EXPECT_FALSE(equalInConstantTime(a, c, 4));
  EXPECT_TRUE(equalInConstantTime(a, b, 3));
  EXPECT_TRUE(equalInConstantTime(a, b, 0));
}

}  // namespace
