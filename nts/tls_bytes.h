// Byte handling around the system's TLS, kept apart from it so it can be
// tested on its own: the fixed queues that gather what the socket delivers
// and what is to be sent, and the in-memory image of the ALPN offer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

// At most CAPACITY bytes, oldest first; never allocates.
template <size_t CAPACITY>
class ByteQueue {
 public:
  // false, and nothing added, when the bytes do not fit.
  bool append(const uint8_t* bytes, size_t count) {
    if (count > CAPACITY - size_) return false;
    if (count > 0) std::memcpy(bytes_ + size_, bytes, count);
    size_ += count;
    return true;
  }
  // The first count bytes are done with (all of them at most).
  void drop(size_t count) { keepLast(count < size_ ? size_ - count : 0); }
  // Only the last count bytes remain, moved to the front: what the TLS
  // layer reports as left over beyond the record it used.
  void keepLast(size_t count) {
    if (count >= size_) return;
    std::memmove(bytes_, bytes_ + (size_ - count), count);
    size_ = count;
  }
  void clear() { size_ = 0; }

  const uint8_t* data() const { return bytes_; }
  uint8_t* data() { return bytes_; }
  size_t size() const { return size_; }
  // Writing in place: room() bytes at end(), then grew() by what was written.
  uint8_t* end() { return bytes_ + size_; }
  size_t room() const { return CAPACITY - size_; }
  void grew(size_t count) { size_ += count < room() ? count : room(); }

 private:
  uint8_t bytes_[CAPACITY];
  size_t size_ = 0;
};

// The application protocols offer that the system's TLS takes as an input
// buffer, for one ALPN protocol: the size of the list (4 bytes), the
// negotiation kind ALPN (4 bytes), the size of the ids (2 bytes), then the id
// with its length byte. Little-endian, as the structure lies in memory on
// every Windows processor. Returns its size, 0 when out is too small or the
// protocol's name is empty or longer than 255 bytes.
size_t packAlpnOffer(const char* protocol, uint8_t* out, size_t room);
