// The main window's saved placement: its 44-byte little-endian image and the
// rules that keep a restored window on the screen (implements placement.h).
#include "shell/placement.h"

namespace {

void putInt32(uint8_t* at, int32_t value) {
  const uint32_t bits = static_cast<uint32_t>(value);
  at[0] = static_cast<uint8_t>(bits);
  at[1] = static_cast<uint8_t>(bits >> 8);
  at[2] = static_cast<uint8_t>(bits >> 16);
  at[3] = static_cast<uint8_t>(bits >> 24);
}

int32_t getInt32(const uint8_t* at) {
  const uint32_t bits = static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
                        static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
  return static_cast<int32_t>(bits);
}

// Sums of stored coordinates are taken in 64 bits and brought back to 32 bits
// by wrapping, so even a nonsense record cannot overflow a signed int.
int32_t wrap32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value))); }

int64_t floorHalf(int64_t value) { return value >= 0 ? value / 2 : -((-value + 1) / 2); }

}  // namespace

void packPlacement(const Placement& p, uint8_t image[PLACEMENT_IMAGE_SIZE]) {
  const int32_t fields[11] = {p.length, p.flags, p.showCmd, p.minX,  p.minY,  p.maxX,
                              p.maxY,   p.left,  p.top,     p.right, p.bottom};
  for (int i = 0; i < 11; ++i) putInt32(image + 4 * i, fields[i]);
}

void unpackPlacement(const uint8_t image[PLACEMENT_IMAGE_SIZE], Placement& p) {
  p.length = getInt32(image + 0);
  p.flags = getInt32(image + 4);
  p.showCmd = getInt32(image + 8);
  p.minX = getInt32(image + 12);
  p.minY = getInt32(image + 16);
  p.maxX = getInt32(image + 20);
  p.maxY = getInt32(image + 24);
  p.left = getInt32(image + 28);
  p.top = getInt32(image + 32);
  p.right = getInt32(image + 36);
  p.bottom = getInt32(image + 40);
}

bool placementIsUsable(const Placement& stored, int32_t screenWidth, int32_t screenHeight) {
  return stored.length == static_cast<int32_t>(PLACEMENT_IMAGE_SIZE) &&
         stored.left <= int64_t{screenWidth} - 20 && stored.right >= 20 &&
         stored.top <= int64_t{screenHeight} - 20 && stored.bottom >= 20;
}

Placement placementFromStored(const Placement& stored, const Placement& current) {
  Placement result = stored;
  result.right = wrap32(int64_t{stored.left} + (int64_t{current.right} - current.left));
  result.bottom = wrap32(int64_t{stored.top} + (int64_t{current.bottom} - current.top));
  return result;
}

Placement placementCentred(const Placement& current, int32_t screenWidth, int32_t screenHeight) {
  const int64_t width = int64_t{current.right} - current.left;
  const int64_t height = int64_t{current.bottom} - current.top;
  const int64_t dx = floorHalf(screenWidth - width);
  const int64_t dy = floorHalf(screenHeight - height);
  Placement result = current;
  result.left = wrap32(current.left + dx);
  result.right = wrap32(current.right + dx);
  result.top = wrap32(current.top + dy);
  result.bottom = wrap32(current.bottom + dy);
  return result;
}

// Keeps [start, start + length) inside [low, high); its start wins when it
// cannot fit.
static int64_t keepInside(int64_t start, int64_t length, int64_t low, int64_t high) {
  if (start + length > high) start = high - length;
  if (start < low) start = low;
  return start;
}

ScreenRect placeBeside(const ScreenRect& anchor, int32_t width, int32_t height, int32_t gap,
                       const ScreenRect& workArea) {
  const int64_t w = width < 0 ? 0 : width;
  const int64_t h = height < 0 ? 0 : height;
  const int64_t rightStart = int64_t{anchor.right} + gap;
  const int64_t leftStart = int64_t{anchor.left} - gap - w;
  const int64_t roomRight = int64_t{workArea.right} - rightStart;
  const int64_t roomLeft = int64_t{anchor.left} - gap - workArea.left;
  // Where the right side is too small, the left one fits if anything does.
  int64_t x = roomRight >= w || roomRight >= roomLeft ? rightStart : leftStart;
  x = keepInside(x, w, workArea.left, workArea.right);
  const int64_t y = keepInside(anchor.top, h, workArea.top, workArea.bottom);
  const ScreenRect placed = {wrap32(x), wrap32(y), wrap32(x + w), wrap32(y + h)};
  return placed;
}
