// Short text form of a signed millisecond offset ("+1.2s", "-2.50m", " 0.0s")
// and the forgiving reader of what a user types for one.
#pragma once
#include <cstdint>

// text: at least 18 bytes.
void formatOffset(int64_t offset, char* text);
// Never fails: a text without digits gives 0; overflow wraps.
int64_t parseOffset(const char* text);
