// AES-CMAC, S2V and the SIV construction, block by block over an AesBlock.
// Nothing here branches on secret data except through the AesBlock itself.
#include "nts/aes_siv.h"

namespace {

// Doubling in GF(2^128): a left shift, folding the carried-out bit back in
// with the field's polynomial.
void doubleBlock(uint8_t b[AES_BLOCK_SIZE]) {
  const uint8_t carry = static_cast<uint8_t>(b[0] >> 7);
  for (int i = 0; i < AES_BLOCK_SIZE - 1; ++i) b[i] = static_cast<uint8_t>((b[i] << 1) | (b[i + 1] >> 7));
  b[AES_BLOCK_SIZE - 1] = static_cast<uint8_t>((b[AES_BLOCK_SIZE - 1] << 1) ^ (0x87 & (0 - carry)));
}

void xorInto(uint8_t* to, const uint8_t* from, size_t size) {
  for (size_t i = 0; i < size; ++i) to[i] = static_cast<uint8_t>(to[i] ^ from[i]);
}

// CMAC of the message whose last 16 bytes are taken XORed with tail (when
// given, the message is at least a block long): S2V's "xorend" without a copy
// of the message.
void cmacXorEnd(AesBlock& cipher, const uint8_t* message, size_t size, const uint8_t* tail,
                uint8_t mac[AES_BLOCK_SIZE]) {
  uint8_t k1[AES_BLOCK_SIZE] = {};
  cipher.encrypt(k1, k1);
  doubleBlock(k1);
  uint8_t k2[AES_BLOCK_SIZE];
  for (int i = 0; i < AES_BLOCK_SIZE; ++i) k2[i] = k1[i];
  doubleBlock(k2);

  const size_t tailFrom = tail != nullptr ? size - AES_BLOCK_SIZE : size;
  const size_t blocks = size == 0 ? 1 : (size + AES_BLOCK_SIZE - 1) / AES_BLOCK_SIZE;
  const bool complete = size != 0 && size % AES_BLOCK_SIZE == 0;
  uint8_t x[AES_BLOCK_SIZE] = {};
  for (size_t b = 0; b < blocks; ++b) {
    const size_t from = b * AES_BLOCK_SIZE;
    for (size_t i = 0; i < static_cast<size_t>(AES_BLOCK_SIZE); ++i) {
      const size_t at = from + i;
      uint8_t byte = 0;
      if (at < size) {
        byte = message[at];
        if (at >= tailFrom) byte = static_cast<uint8_t>(byte ^ tail[at - tailFrom]);
      } else if (at == size) {
        byte = 0x80;  // the padding of an incomplete last block
      }
      x[i] = static_cast<uint8_t>(x[i] ^ byte);
    }
    if (b + 1 == blocks) xorInto(x, complete ? k1 : k2, AES_BLOCK_SIZE);
    cipher.encrypt(x, x);
  }
  for (int i = 0; i < AES_BLOCK_SIZE; ++i) mac[i] = x[i];
}

}  // namespace

void aesCmac(AesBlock& cipher, const uint8_t* message, size_t size, uint8_t mac[AES_BLOCK_SIZE]) {
  cmacXorEnd(cipher, message, size, nullptr, mac);
}

bool equalInConstantTime(const uint8_t* a, const uint8_t* b, size_t size) {
  uint8_t differ = 0;
  for (size_t i = 0; i < size; ++i) differ = static_cast<uint8_t>(differ | (a[i] ^ b[i]));
  return differ == 0;
}

bool AesSiv::setKey(const uint8_t key[AES_SIV_KEY_SIZE]) {
  return mac_.setKey(key) && ctr_.setKey(key + AES_SIV_KEY_SIZE / 2);
}

void AesSiv::s2v(const SivPart associated[], int count, const uint8_t* plain, size_t size,
                 uint8_t v[AES_BLOCK_SIZE]) {
  uint8_t d[AES_BLOCK_SIZE];
  const uint8_t zero[AES_BLOCK_SIZE] = {};
  aesCmac(mac_, zero, AES_BLOCK_SIZE, d);
  for (int i = 0; i < count; ++i) {
    uint8_t m[AES_BLOCK_SIZE];
    aesCmac(mac_, associated[i].data, associated[i].size, m);
    doubleBlock(d);
    xorInto(d, m, AES_BLOCK_SIZE);
  }
  if (size >= static_cast<size_t>(AES_BLOCK_SIZE)) {
    cmacXorEnd(mac_, plain, size, d, v);
    return;
  }
  // A short last component: doubled D XORed with it padded by 10*.
  doubleBlock(d);
  for (size_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>(d[i] ^ plain[i]);
  d[size] = static_cast<uint8_t>(d[size] ^ 0x80);
  aesCmac(mac_, d, AES_BLOCK_SIZE, v);
}

void AesSiv::ctr(const uint8_t v[AES_BLOCK_SIZE], const uint8_t* in, size_t size, uint8_t* out) {
  // The counter starts at the IV with its two 31st bits cleared, so that
  // implementations counting in 64-bit halves agree.
  uint8_t counter[AES_BLOCK_SIZE];
  for (int i = 0; i < AES_BLOCK_SIZE; ++i) counter[i] = v[i];
  counter[8] &= 0x7F;
  counter[12] &= 0x7F;
  for (size_t from = 0; from < size; from += AES_BLOCK_SIZE) {
    uint8_t stream[AES_BLOCK_SIZE];
    ctr_.encrypt(counter, stream);
    for (size_t i = 0; i < static_cast<size_t>(AES_BLOCK_SIZE) && from + i < size; ++i)
      out[from + i] = static_cast<uint8_t>(in[from + i] ^ stream[i]);
    for (int i = AES_BLOCK_SIZE - 1; i >= 0; --i)
      if (++counter[i] != 0) break;
  }
}

bool AesSiv::seal(const SivPart associated[], int count, const uint8_t* plain, size_t size, uint8_t* sealed) {
  if (count < 0 || count > AES_SIV_MAX_PARTS) return false;
  uint8_t v[AES_BLOCK_SIZE];
  s2v(associated, count, plain, size, v);
  for (int i = 0; i < AES_BLOCK_SIZE; ++i) sealed[i] = v[i];
  ctr(v, plain, size, sealed + AES_SIV_TAG_SIZE);
  return true;
}

bool AesSiv::open(const SivPart associated[], int count, const uint8_t* sealed, size_t sealedSize,
                  uint8_t* plain) {
  if (count < 0 || count > AES_SIV_MAX_PARTS || sealedSize < static_cast<size_t>(AES_SIV_TAG_SIZE)) return false;
  const size_t size = sealedSize - AES_SIV_TAG_SIZE;
  ctr(sealed, sealed + AES_SIV_TAG_SIZE, size, plain);
  uint8_t v[AES_BLOCK_SIZE];
  s2v(associated, count, plain, size, v);
  if (equalInConstantTime(v, sealed, AES_SIV_TAG_SIZE)) return true;
  for (size_t i = 0; i < size; ++i) plain[i] = 0;
  return false;
}

bool AesSiv::sealWithNonce(const uint8_t* aad, size_t aadSize, const uint8_t* nonce, size_t nonceSize,
                           const uint8_t* plain, size_t size, uint8_t* sealed) {
  const SivPart parts[2] = {{aad, aadSize}, {nonce, nonceSize}};
  return seal(parts, 2, plain, size, sealed);
}

bool AesSiv::openWithNonce(const uint8_t* aad, size_t aadSize, const uint8_t* nonce, size_t nonceSize,
                           const uint8_t* sealed, size_t sealedSize, uint8_t* plain) {
  const SivPart parts[2] = {{aad, aadSize}, {nonce, nonceSize}};
  return open(parts, 2, sealed, sealedSize, plain);
}
