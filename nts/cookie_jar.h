// The cookies an authenticated-time server handed us: each goes out in one
// request only and is then gone, since a cookie sent twice would let an
// onlooker link the two requests to one client.
#pragma once
#include <cstddef>
#include <cstdint>

const int NTS_COOKIES_KEPT = 8;
// Far above what servers issue (about a hundred bytes), and what a request
// with a full set of placeholders still fits a datagram with.
const int NTS_COOKIE_MAX = 256;

class CookieJar {
 public:
  int count() const { return count_; }
  // Kept, newest last; a full jar lets its oldest go. False for an empty or
  // oversized cookie, or one the jar already holds.
  bool add(const uint8_t* cookie, size_t size);
  // The oldest cookie, removed from the jar; false when it is empty.
  // cookie: NTS_COOKIE_MAX bytes.
  bool take(uint8_t* cookie, size_t& size);
  // After one was taken: how many placeholders ask the server for enough
  // new cookies to fill the jar again.
  int placeholdersWanted() const { return NTS_COOKIES_KEPT - 1 - count_; }
  void clear() { count_ = 0; }

 private:
  int count_ = 0;
  uint16_t size_[NTS_COOKIES_KEPT] = {};
  uint8_t data_[NTS_COOKIES_KEPT][NTS_COOKIE_MAX] = {};
};
