// Starting a correcting or a test run at the correction's level: the rate held
// for a correcting run, then one query for each server (runs_win.cpp). How the
// run ends reaches the shell through run_report.h.
#pragma once

// False, and nothing started, while a run is active.
bool beginCorrectingRun();
// The servers in these slots, each tested once; false, and nothing started,
// for no slot or while a run is active.
bool beginTestRun(const int slots[], int count);
