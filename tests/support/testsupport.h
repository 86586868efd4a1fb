#pragma once
// Helpers shared by the test programs.

// CPU time this process has used so far, in seconds (user and system, all
// threads). A difference of two readings is a count of work done, not a
// wall-clock measure.
double ProcessCpuSeconds();

// Runs a real event loop (as the application's own) for about ms
// milliseconds and returns how many times the event dispatcher woke up. An
// idle loop wakes a few times; a busy one (a notifier that fires on every
// pass) wakes thousands of times.
int RunEventLoopFor(int ms);
