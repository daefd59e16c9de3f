// The shell's side of the runs: starting them from the window, the tray and
// the schedule, and what their ends mean for the user and the schedule
// (run_watch_win.cpp).
#pragma once

// Starts a correcting run unless one is active; the schedule counts from here.
void startCorrectingRun();
// Tests the servers selected in the list.
void startTestRun();
// WM_CONFIRM_STEP: asks the user about the large step the last run found.
void onConfirmStep();
// At start-up: from now on the shell hears of every run.
void watchRuns();
