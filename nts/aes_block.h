// One AES-128 block encryption under a key set once. The platform provides
// it (the system's AES-ECB on Windows; a reference implementation in the
// tests), so the authenticated-time code above it stays pure.
#pragma once
#include <cstdint>

class AesBlock {
 public:
  // false when the platform refuses the key; encrypt is then not to be called.
  virtual bool setKey(const uint8_t key[16]) = 0;
  virtual void encrypt(const uint8_t in[16], uint8_t out[16]) = 0;

 protected:
  ~AesBlock() = default;
};
