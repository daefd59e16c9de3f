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

void buildTrayTip(const char* statusText, const char* failure, bool instanceNameTaken,
                  char tip[TRAY_TIP_SIZE]) {
  const char* first = failure != nullptr ? failure : statusText;
  if (!instanceNameTaken) std::snprintf(tip, TRAY_TIP_SIZE, "%s", first);
  else if (first[0] == '\0') std::snprintf(tip, TRAY_TIP_SIZE, "%s", TIP_INSTANCE_NAME_TAKEN);
  else std::snprintf(tip, TRAY_TIP_SIZE, "%s\n%s", first, TIP_INSTANCE_NAME_TAKEN);
}
