// Process-wide state decided at start-up, and the program's whole life.
#pragma once
#include <cstdint>

#define WINDOW_TITLE "Quorvel - Atomic Clock Synchronizer - v4.0"

extern char launchMode;            // 's' start-up, 'u' uninstall, 0 none
extern uint8_t correctOnLaunch;    // first byte of "CorrectOnLaunch"

// The whole life of the process: start-up checks, the main window and its
// message loop. Returns the exit code (always 0).
int runQuorvel(const char* commandLine);

// Gives up the single-instance claim (the mutex and the record of the main
// window), so that another copy of the program can start as the instance.
void releaseSingleInstance();
