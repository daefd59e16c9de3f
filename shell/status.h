// Status line, tray icon and tray tip.
#pragma once

enum StatusMode { SHOW_LAST_CORRECTION = 0, SHOW_CHECKING = 1, SHOW_TESTING = 2 };

extern bool blinkPhase;

void showStatus(int mode);
void blinkTrayIcon();
// Adds, or after a shell restart re-adds, the tray icon with its current picture and tip.
void addTrayIcon();
void removeTrayIcon();
// A balloon from the tray icon with an information sign.
void showTrayBalloon(const char* title, const char* text);
