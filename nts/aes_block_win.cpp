// AES-128 blocks and random bytes from bcrypt, loaded from System32 at first use.
#include "nts/aes_block_win.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <cstring>

#include "nts/system_dll_win.h"

namespace {

struct Bcrypt {
  decltype(&BCryptOpenAlgorithmProvider) openAlgorithm;
  decltype(&BCryptSetProperty) setProperty;
  decltype(&BCryptGenerateSymmetricKey) generateKey;
  decltype(&BCryptEncrypt) encrypt;
  decltype(&BCryptDestroyKey) destroyKey;
  decltype(&BCryptGenRandom) genRandom;
  BCRYPT_ALG_HANDLE aesEcb;  // nullptr when AES-ECB is not to be had
};

bool succeeded(NTSTATUS status) { return status >= 0; }

// Found once; the program's network work all runs on its window thread.
const Bcrypt& bcrypt() {
  static Bcrypt calls = [] {
    Bcrypt found = {};
    const HMODULE dll = systemDll(L"bcrypt.dll");
    found.openAlgorithm = systemCall<decltype(found.openAlgorithm)>(dll, "BCryptOpenAlgorithmProvider");
    found.setProperty = systemCall<decltype(found.setProperty)>(dll, "BCryptSetProperty");
    found.generateKey = systemCall<decltype(found.generateKey)>(dll, "BCryptGenerateSymmetricKey");
    found.encrypt = systemCall<decltype(found.encrypt)>(dll, "BCryptEncrypt");
    found.destroyKey = systemCall<decltype(found.destroyKey)>(dll, "BCryptDestroyKey");
    found.genRandom = systemCall<decltype(found.genRandom)>(dll, "BCryptGenRandom");
    if (found.openAlgorithm == nullptr || found.setProperty == nullptr ||
        found.generateKey == nullptr || found.encrypt == nullptr || found.destroyKey == nullptr)
      return found;
    BCRYPT_ALG_HANDLE aes = nullptr;
    if (!succeeded(found.openAlgorithm(&aes, BCRYPT_AES_ALGORITHM, nullptr, 0))) return found;
    // The mode is a property of the provider: every key made from it is ECB.
    wchar_t mode[] = BCRYPT_CHAIN_MODE_ECB;
    if (succeeded(found.setProperty(aes, BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(mode),
                                    sizeof mode, 0)))
      found.aesEcb = aes;
    return found;
  }();
  return calls;
}

}  // namespace

SystemAesBlock::~SystemAesBlock() { dropKey(); }

void SystemAesBlock::dropKey() {
  if (key_ != nullptr) bcrypt().destroyKey(static_cast<BCRYPT_KEY_HANDLE>(key_));
  key_ = nullptr;
}

bool SystemAesBlock::setKey(const uint8_t key[16]) {
  dropKey();
  const Bcrypt& calls = bcrypt();
  if (calls.aesEcb == nullptr) return false;
  uint8_t secret[16];
  std::memcpy(secret, key, sizeof secret);
  BCRYPT_KEY_HANDLE made = nullptr;
  // No key object buffer: bcrypt keeps the key's memory itself (Windows 7 on).
  const NTSTATUS status = calls.generateKey(calls.aesEcb, &made, nullptr, 0, secret, sizeof secret, 0);
  SecureZeroMemory(secret, sizeof secret);
  if (!succeeded(status)) return false;
  key_ = made;
  return true;
}

void SystemAesBlock::encrypt(const uint8_t in[16], uint8_t out[16]) {
  uint8_t block[16];
  std::memcpy(block, in, sizeof block);
  uint8_t sealed[16] = {};
  ULONG written = 0;
  if (key_ == nullptr ||
      !succeeded(bcrypt().encrypt(static_cast<BCRYPT_KEY_HANDLE>(key_), block, sizeof block, nullptr,
                                  nullptr, 0, sealed, sizeof sealed, &written, 0)) ||
      written != sizeof sealed)
    std::memset(sealed, 0, sizeof sealed);
  std::memcpy(out, sealed, sizeof sealed);
}

bool systemRandom(uint8_t* out, size_t size) {
  const Bcrypt& calls = bcrypt();
  const bool done = calls.genRandom != nullptr && size <= ULONG_MAX &&
                    succeeded(calls.genRandom(nullptr, out, static_cast<ULONG>(size),
                                              BCRYPT_USE_SYSTEM_PREFERRED_RNG));
  if (!done && size > 0) std::memset(out, 0, size);
  return done;
}
