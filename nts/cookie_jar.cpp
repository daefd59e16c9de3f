// The jar's first-in, first-out store.
#include "nts/cookie_jar.h"

static bool sameCookie(const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize) {
  if (aSize != bSize) return false;
  for (size_t i = 0; i < aSize; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

static void moveDown(uint16_t sizes[], uint8_t data[][NTS_COOKIE_MAX], int count) {
  for (int i = 1; i < count; ++i) {
    sizes[i - 1] = sizes[i];
    for (int j = 0; j < sizes[i]; ++j) data[i - 1][j] = data[i][j];
  }
}

bool CookieJar::add(const uint8_t* cookie, size_t size) {
  if (size == 0 || size > static_cast<size_t>(NTS_COOKIE_MAX)) return false;
  for (int i = 0; i < count_; ++i)
    if (sameCookie(data_[i], size_[i], cookie, size)) return false;
  if (count_ == NTS_COOKIES_KEPT) {
    moveDown(size_, data_, count_);
    --count_;
  }
  size_[count_] = static_cast<uint16_t>(size);
  for (size_t j = 0; j < size; ++j) data_[count_][j] = cookie[j];
  ++count_;
  return true;
}

bool CookieJar::take(uint8_t* cookie, size_t& size) {
  if (count_ == 0) return false;
  size = size_[0];
  for (size_t j = 0; j < size; ++j) cookie[j] = data_[0][j];
  moveDown(size_, data_, count_);
  --count_;
  return true;
}
