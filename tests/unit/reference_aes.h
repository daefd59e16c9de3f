// A small, slow AES-128 written from the cipher's definition (the S-box is
// computed, not copied), as the block function the tests give the
// authenticated-time code in place of the platform's.
#pragma once
#include <cstdint>

#include "nts/aes_block.h"

class ReferenceAes final : public AesBlock {
 public:
  ReferenceAes() {
    for (int x = 0; x < 256; ++x) sbox_[x] = computeSbox(static_cast<uint8_t>(x));
  }

  bool setKey(const uint8_t key[16]) override {
    for (int i = 0; i < 16; ++i) roundKeys_[i] = key[i];
    uint8_t rcon = 1;
    for (int i = 16; i < 176; i += 4) {
      uint8_t t[4] = {roundKeys_[i - 4], roundKeys_[i - 3], roundKeys_[i - 2], roundKeys_[i - 1]};
      if (i % 16 == 0) {
        const uint8_t first = t[0];
        t[0] = static_cast<uint8_t>(sbox(t[1]) ^ rcon);
        t[1] = sbox(t[2]);
        t[2] = sbox(t[3]);
        t[3] = sbox(first);
        rcon = times(rcon, 2);
      }
      for (int j = 0; j < 4; ++j) roundKeys_[i + j] = static_cast<uint8_t>(roundKeys_[i - 16 + j] ^ t[j]);
    }
    ++keysSet;
    return true;
  }

  void encrypt(const uint8_t in[16], uint8_t out[16]) override {
    uint8_t s[16];
    for (int i = 0; i < 16; ++i) s[i] = static_cast<uint8_t>(in[i] ^ roundKeys_[i]);
    for (int round = 1; round <= 10; ++round) {
      uint8_t t[16];
      // SubBytes and ShiftRows: column c of row r comes from column c + r.
      for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) t[4 * c + r] = sbox(s[4 * ((c + r) % 4) + r]);
      if (round < 10) {
        for (int c = 0; c < 4; ++c) {
          const uint8_t* a = t + 4 * c;
          const uint8_t m[4] = {
              static_cast<uint8_t>(times(a[0], 2) ^ times(a[1], 3) ^ a[2] ^ a[3]),
              static_cast<uint8_t>(a[0] ^ times(a[1], 2) ^ times(a[2], 3) ^ a[3]),
              static_cast<uint8_t>(a[0] ^ a[1] ^ times(a[2], 2) ^ times(a[3], 3)),
              static_cast<uint8_t>(times(a[0], 3) ^ a[1] ^ a[2] ^ times(a[3], 2))};
          for (int r = 0; r < 4; ++r) t[4 * c + r] = m[r];
        }
      }
      for (int i = 0; i < 16; ++i) s[i] = static_cast<uint8_t>(t[i] ^ roundKeys_[16 * round + i]);
    }
    for (int i = 0; i < 16; ++i) out[i] = s[i];
  }

  int keysSet = 0;

 private:
  // Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
  static uint8_t times(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    for (; b != 0; b = static_cast<uint8_t>(b >> 1)) {
      if (b & 1) product = static_cast<uint8_t>(product ^ a);
      a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0));
    }
    return product;
  }
  uint8_t sbox(uint8_t x) const { return sbox_[x]; }
  // The multiplicative inverse (0 for 0) through the affine map.
  static uint8_t computeSbox(uint8_t x) {
    uint8_t inverse = 0;
    for (int y = 1; y < 256 && x != 0; ++y)
      if (times(x, static_cast<uint8_t>(y)) == 1) inverse = static_cast<uint8_t>(y);
    uint8_t s = 0x63;
    for (int i = 0; i < 5; ++i) s = static_cast<uint8_t>(s ^ ((inverse << i) | (inverse >> (8 - i))));
    return s;
  }

  uint8_t sbox_[256];
  uint8_t roundKeys_[176] = {};
};
