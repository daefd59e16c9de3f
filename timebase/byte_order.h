// Integers as bytes, one byte at a time, so that an image reads the same
// whatever the host's byte order: little-endian for the program's own records
// in the registry and for the system's structures, big-endian for what goes
// over the network.
#pragma once
#include <cstdint>

// The low `bytes` bytes of value (at most 8), least significant first.
inline void putLittleEndian(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint64_t getLittleEndian(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

// The low `bytes` bytes of value (at most 8), most significant first.
inline void putBigEndian(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

inline uint64_t getBigEndian(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | in[i];
  return value;
}
