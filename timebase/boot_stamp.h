// Which boot a stored record belongs to. The clock minus the monotonic
// counter is the moment the machine booted; it moves only when someone steps
// the clock, so a record refreshes it after each step of ours, and a new boot
// shows as a counter that went back or a boot moment that moved further than
// the clock can drift by itself.
#pragma once
#include <cstdint>
#include "timebase/millis.h"

struct BootStamp {
  Millis1900 bootedAt;  // clock reading minus counter, when the stamp was taken
  uint64_t counterMs;   // the monotonic counter then
};

BootStamp stampBoot(Millis1900 clockNow, uint64_t counterNow);
// A boot moment this far apart is another boot: a second, plus what a
// clock drifting twice the allowance gains over the counter's time between.
bool sameBoot(const BootStamp& stored, const BootStamp& now);

const int BOOT_STAMP_IMAGE_SIZE = 16;
void packBootStamp(const BootStamp& stamp, uint8_t* image);
BootStamp unpackBootStamp(const uint8_t* image);
