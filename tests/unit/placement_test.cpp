// The saved window placement: byte image, on-screen test, restore and centring.
#include <gtest/gtest.h>

#include <cstring>

#include "shell/placement.h"

namespace {

const int32_t SCREEN_W = 1280;
const int32_t SCREEN_H = 1004;

Placement rect(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  Placement p = {44, 0, 1, -1, -1, -1, -1, left, top, right, bottom};
  return p;
}

TEST(PlacementImage, PacksLittleEndianFieldByField) {
  const Placement p = {44, 2, 1, -1, -32000, 0x12345678, 0, -5, 300, 0x7fffffff, INT32_MIN};
  const uint8_t expected[PLACEMENT_IMAGE_SIZE] = {
      0x2c, 0x00, 0x00, 0x00,  0x02, 0x00, 0x00, 0x00,  0x01, 0x00, 0x00, 0x00,
      0xff, 0xff, 0xff, 0xff,  0x00, 0x83, 0xff, 0xff,  0x78, 0x56, 0x34, 0x12,
      0x00, 0x00, 0x00, 0x00,  0xfb, 0xff, 0xff, 0xff,  0x2c, 0x01, 0x00, 0x00,
      0xff, 0xff, 0xff, 0x7f,  0x00, 0x00, 0x00, 0x80};
  uint8_t image[PLACEMENT_IMAGE_SIZE];
  std::memset(image, 0xAA, sizeof image);
  packPlacement(p, image);
  EXPECT_EQ(0, std::memcmp(image, expected, sizeof image));

  Placement back;
  std::memset(&back, 0x55, sizeof back);
  unpackPlacement(expected, back);
  EXPECT_EQ(back.length, 44);
  EXPECT_EQ(back.flags, 2);
  EXPECT_EQ(back.showCmd, 1);
  EXPECT_EQ(back.minX, -1);
  EXPECT_EQ(back.minY, -32000);
  EXPECT_EQ(back.maxX, 0x12345678);
  EXPECT_EQ(back.maxY, 0);
  EXPECT_EQ(back.left, -5);
  EXPECT_EQ(back.top, 300);
  EXPECT_EQ(back.right, 0x7fffffff);
  EXPECT_EQ(back.bottom, INT32_MIN);
}

TEST(PlacementCheck, RectangleMustReachTwentyUnitsIntoTheScreen) {
  EXPECT_TRUE(placementIsUsable(rect(100, 100, 480, 490), SCREEN_W, SCREEN_H));

  // left against the right edge: exactly 20 units left on screen is enough.
  EXPECT_TRUE(placementIsUsable(rect(SCREEN_W - 20, 100, SCREEN_W + 360, 490), SCREEN_W, SCREEN_H));
  EXPECT_FALSE(placementIsUsable(rect(SCREEN_W - 19, 100, SCREEN_W + 361, 490), SCREEN_W, SCREEN_H));
  // right against the left edge.
  EXPECT_TRUE(placementIsUsable(rect(-360, 100, 20, 490), SCREEN_W, SCREEN_H));
  EXPECT_FALSE(placementIsUsable(rect(-361, 100, 19, 490), SCREEN_W, SCREEN_H));
  // top against the bottom edge.
  EXPECT_TRUE(placementIsUsable(rect(100, SCREEN_H - 20, 480, SCREEN_H + 370), SCREEN_W, SCREEN_H));
  EXPECT_FALSE(placementIsUsable(rect(100, SCREEN_H - 19, 480, SCREEN_H + 371), SCREEN_W, SCREEN_H));
  // bottom against the top edge.
  EXPECT_TRUE(placementIsUsable(rect(100, -370, 480, 20), SCREEN_W, SCREEN_H));
  EXPECT_FALSE(placementIsUsable(rect(100, -371, 480, 19), SCREEN_W, SCREEN_H));
}

TEST(PlacementCheck, ComparisonsAreSigned) {
  // A large negative left is still "left of the limit"; a negative right is not >= 20.
  EXPECT_TRUE(placementIsUsable(rect(INT32_MIN, 0, 100, 100), SCREEN_W, SCREEN_H));
  EXPECT_FALSE(placementIsUsable(rect(0, 0, -100, 100), SCREEN_W, SCREEN_H));
  EXPECT_FALSE(placementIsUsable(rect(0, 0, 100, INT32_MIN), SCREEN_W, SCREEN_H));
  // A screen narrower than 20 units leaves no left that passes but negative ones.
  EXPECT_FALSE(placementIsUsable(rect(0, 0, 100, 100), 10, SCREEN_H));
  EXPECT_TRUE(placementIsUsable(rect(-10, 0, 100, 100), 10, SCREEN_H));
}

TEST(PlacementCheck, LengthMustBeFortyFour) {
  Placement p = rect(100, 100, 480, 490);
  p.length = 40;
  EXPECT_FALSE(placementIsUsable(p, SCREEN_W, SCREEN_H));
  p.length = 0;  // what a zeroed buffer holds when the value was missing or short
  EXPECT_FALSE(placementIsUsable(p, SCREEN_W, SCREEN_H));
  p.length = 48;
  EXPECT_FALSE(placementIsUsable(p, SCREEN_W, SCREEN_H));
  p.length = 44;
  EXPECT_TRUE(placementIsUsable(p, SCREEN_W, SCREEN_H));
}

TEST(PlacementRestore, StoredPositionWithCurrentSize) {
  const Placement stored = {44, 2, 3, 11, 12, 13, 14, 700, 50, 900, 90};
  const Placement current = {44, 0, 1, -1, -1, -1, -1, 0, 0, 386, 401};
  const Placement p = placementFromStored(stored, current);
  EXPECT_EQ(p.length, 44);
  EXPECT_EQ(p.flags, 2);
  EXPECT_EQ(p.showCmd, 3);
  EXPECT_EQ(p.minX, 11);
  EXPECT_EQ(p.minY, 12);
  EXPECT_EQ(p.maxX, 13);
  EXPECT_EQ(p.maxY, 14);
  EXPECT_EQ(p.left, 700);
  EXPECT_EQ(p.top, 50);
  EXPECT_EQ(p.right, 700 + 386);
  EXPECT_EQ(p.bottom, 50 + 401);

  // The current rectangle's own position does not matter, only its size.
  const Placement moved = {44, 0, 1, -1, -1, -1, -1, -30, 20, 356, 421};
  const Placement q = placementFromStored(stored, moved);
  EXPECT_EQ(q.right, 1086);
  EXPECT_EQ(q.bottom, 451);
}

TEST(PlacementCentre, MovesByHalfTheFreeSpaceRoundedDown) {
  // Even differences: the dialog starts at the origin.
  Placement p = placementCentred(rect(0, 0, 380, 390), SCREEN_W, SCREEN_H);
  EXPECT_EQ(p.left, 450);
  EXPECT_EQ(p.right, 830);
  EXPECT_EQ(p.top, 307);
  EXPECT_EQ(p.bottom, 697);
  EXPECT_EQ(p.length, 44);
  EXPECT_EQ(p.showCmd, 1);

  // Odd differences round down.
  p = placementCentred(rect(0, 0, 381, 391), SCREEN_W, SCREEN_H);
  EXPECT_EQ(p.left, 449);  // 899 / 2
  EXPECT_EQ(p.top, 306);   // 613 / 2
  EXPECT_EQ(p.right, 830);
  EXPECT_EQ(p.bottom, 697);

  // A window larger than the screen: floor, not truncation toward zero.
  p = placementCentred(rect(0, 0, 381, 391), 300, 200);
  EXPECT_EQ(p.left, -41);  // floor(-81 / 2)
  EXPECT_EQ(p.top, -96);   // floor(-191 / 2)
  EXPECT_EQ(p.right, 340);
  EXPECT_EQ(p.bottom, 295);

  // It is a move by that amount, so a rectangle away from the origin moves along.
  p = placementCentred(rect(10, 20, 390, 410), SCREEN_W, SCREEN_H);
  EXPECT_EQ(p.left, 460);
  EXPECT_EQ(p.top, 327);
}

}  // namespace

TEST(PlacementBeside, RightWhenItFitsElseLeftElseTheRoomierSideKeptOnScreen) {
  const ScreenRect work = {0, 0, 1280, 984};
  const ScreenRect main = {400, 100, 800, 450};
  ScreenRect r = placeBeside(main, 420, 500, 6, work);
  EXPECT_EQ(r.left, 806);
  EXPECT_EQ(r.top, 100);
  EXPECT_EQ(r.right, 1226);
  EXPECT_EQ(r.bottom, 600);

  // Right is preferred, even when it only just fits and the left has more room.
  r = placeBeside({500, 100, 900, 450}, 374, 500, 6, work);
  EXPECT_EQ(r.left, 906);
  EXPECT_EQ(r.right, 1280);

  const ScreenRect nearRight = {700, 600, 1100, 950};
  r = placeBeside(nearRight, 420, 500, 6, work);
  EXPECT_EQ(r.left, 274);   // left of it
  EXPECT_EQ(r.top, 484);    // moved up to stay on the screen
  EXPECT_EQ(r.bottom, 984);

  // Fits on neither side: the roomier one, pushed onto the screen (over the anchor).
  const ScreenRect wide = {300, 0, 1000, 300};
  r = placeBeside(wide, 420, 200, 6, work);
  EXPECT_EQ(r.left, 0);
  r = placeBeside({200, 0, 900, 300}, 420, 200, 6, work);
  EXPECT_EQ(r.left, 1280 - 420);

  // A window larger than the screen keeps its top-left corner on it.
  r = placeBeside(main, 2000, 2000, 6, {-1280, 0, 0, 984});
  EXPECT_EQ(r.left, -1280);
  EXPECT_EQ(r.top, 0);
}
