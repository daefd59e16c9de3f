// The saved window placement: its 44-byte image and the checks that keep the
// window on screen.
#pragma once
#include <cstddef>
#include <cstdint>

const size_t PLACEMENT_IMAGE_SIZE = 44;

struct Placement {
  int32_t length, flags, showCmd;
  int32_t minX, minY, maxX, maxY;
  int32_t left, top, right, bottom;
};

void packPlacement(const Placement& p, uint8_t image[PLACEMENT_IMAGE_SIZE]);
void unpackPlacement(const uint8_t image[PLACEMENT_IMAGE_SIZE], Placement& p);

// A stored placement is used when its length is 44 and its normal rectangle
// reaches at least 20 units into the full-screen area.
bool placementIsUsable(const Placement& stored, int32_t screenWidth, int32_t screenHeight);
// Stored position, current size.
Placement placementFromStored(const Placement& stored, const Placement& current);
// The current placement moved to the centre of the full-screen area.
Placement placementCentred(const Placement& current, int32_t screenWidth, int32_t screenHeight);

struct ScreenRect {
  int32_t left, top, right, bottom;
};

// A window of width x height beside anchor, gap pixels apart: to its right
// when it fits in the work area there, else on the side with more room;
// level with the anchor's top. Then moved wholly into the work area, its
// top-left corner kept in when it is larger.
ScreenRect placeBeside(const ScreenRect& anchor, int32_t width, int32_t height, int32_t gap,
                       const ScreenRect& workArea);
