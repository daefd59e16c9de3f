// The log-on task in the Task Scheduler, kept beside the Run value.
#pragma once

// Registers (or updates) the task when wanted and the program lives in a
// folder standard users cannot write; otherwise deletes any task left from
// before. Failures are ignored, like those of the other system entries.
void updateLogonTask(bool wanted);
