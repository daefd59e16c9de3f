// AES-CMAC and AES-SIV (AEAD_AES_SIV_CMAC_256) over an AesBlock: what seals
// and opens the extension fields of authenticated NTP.
#pragma once
#include <cstddef>
#include <cstdint>
#include "nts/aes_block.h"

const int AES_BLOCK_SIZE = 16;
const int AES_SIV_KEY_SIZE = 32;  // two AES-128 keys: S2V's, then the stream's
const int AES_SIV_TAG_SIZE = 16;
// More associated parts than anything here uses; the construction allows 126.
const int AES_SIV_MAX_PARTS = 8;

// The MAC of size bytes under the key cipher holds.
void aesCmac(AesBlock& cipher, const uint8_t* message, size_t size, uint8_t mac[AES_BLOCK_SIZE]);

// One associated-data component of S2V.
struct SivPart {
  const uint8_t* data;
  size_t size;
};

// AES-SIV with a 256-bit key. The caller owns two AesBlock objects: mac takes
// the key's first half (S2V, i.e. CMAC) and ctr its second half (the CTR
// stream); setKey keys both. A sealed message is the 16-byte synthetic IV
// followed by the ciphertext, as long as the plaintext.
class AesSiv {
 public:
  AesSiv(AesBlock& mac, AesBlock& ctr) : mac_(mac), ctr_(ctr) {}
  bool setKey(const uint8_t key[AES_SIV_KEY_SIZE]);

  // The associated parts go into S2V in order, the plaintext last.
  // sealed: size + AES_SIV_TAG_SIZE bytes; false with more than
  // AES_SIV_MAX_PARTS parts.
  bool seal(const SivPart associated[], int count, const uint8_t* plain, size_t size, uint8_t* sealed);
  // plain: sealedSize - AES_SIV_TAG_SIZE bytes, all zero when the tag does not
  // match (false). A message shorter than its tag never opens.
  bool open(const SivPart associated[], int count, const uint8_t* sealed, size_t sealedSize, uint8_t* plain);

  // As authenticated NTP uses it: the associated data, then the nonce.
  bool sealWithNonce(const uint8_t* aad, size_t aadSize, const uint8_t* nonce, size_t nonceSize,
                     const uint8_t* plain, size_t size, uint8_t* sealed);
  bool openWithNonce(const uint8_t* aad, size_t aadSize, const uint8_t* nonce, size_t nonceSize,
                     const uint8_t* sealed, size_t sealedSize, uint8_t* plain);

 private:
  void s2v(const SivPart associated[], int count, const uint8_t* plain, size_t size, uint8_t v[AES_BLOCK_SIZE]);
  void ctr(const uint8_t v[AES_BLOCK_SIZE], const uint8_t* in, size_t size, uint8_t* out);

  AesBlock& mac_;
  AesBlock& ctr_;
};

// Whether two byte strings are equal, in a time that does not depend on
// where they differ.
bool equalInConstantTime(const uint8_t* a, const uint8_t* b, size_t size);
