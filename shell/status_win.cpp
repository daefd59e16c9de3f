// Status line and tray icon (to be completed).
#include "shell/status.h"

bool blinkPhase;

void showStatus(int) {}
void blinkTrayIcon() {}
void addTrayIcon() {}
void removeTrayIcon() {}
