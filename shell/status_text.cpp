// Texts of the status line and the tray tip (implements status_text.h).
#include "shell/status_text.h"

#include <cstdio>

#include "shell/status.h"
#include "timebase/offset_text.h"

void buildStatusText(int mode, Millis1900 lastTime, int64_t lastValue, const char* localTimeText,
                     char text[STATUS_TEXT_SIZE]) {
  if (mode == SHOW_CHECKING) {
    std::snprintf(text, STATUS_TEXT_SIZE, "Checking time servers...");
  } else if (mode == SHOW_TESTING) {
    std::snprintf(text, STATUS_TEXT_SIZE, "Testing time servers...");
  } else if (lastTime == 0) {
    text[0] = '\0';
  } else {
    char offsetText[32];
    formatOffset(lastValue, offsetText);
    std::snprintf(text, STATUS_TEXT_SIZE, "Corrected %s at %s", offsetText, localTimeText);
  }
}
