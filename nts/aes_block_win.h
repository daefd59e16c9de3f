// The system's AES (bcrypt, in ECB mode: one block at a time) under the pure
// AesBlock interface, and the system's random bytes for nonces and unique
// identifiers.
#pragma once
#include <cstddef>
#include <cstdint>

#include "nts/aes_block.h"

class SystemAesBlock final : public AesBlock {
 public:
  SystemAesBlock() = default;
  ~SystemAesBlock();
  SystemAesBlock(const SystemAesBlock&) = delete;
  SystemAesBlock& operator=(const SystemAesBlock&) = delete;

  // false when bcrypt or its AES is missing; the previous key is gone either way.
  bool setKey(const uint8_t key[16]) override;
  // All zero without a key or when bcrypt fails: a tag made from it never
  // matches, so a failure can only make a message unopenable.
  void encrypt(const uint8_t in[16], uint8_t out[16]) override;

 private:
  void dropKey();
  void* key_ = nullptr;  // BCRYPT_KEY_HANDLE
};

// size bytes from the system's preferred generator; false (and out zeroed)
// when bcrypt is missing or refuses.
bool systemRandom(uint8_t* out, size_t size);
