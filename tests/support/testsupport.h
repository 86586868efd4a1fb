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

#include <QTemporaryDir>

// A small file system of its own that fills up, mounted on a temporary
// folder where this user may mount one (root); unmounted when it goes.
struct SSmallDisk {
    QTemporaryDir dir;
    bool mounted = false;
    explicit SSmallDisk(int kib);
    ~SSmallDisk();
    SSmallDisk(const SSmallDisk&) = delete;
    SSmallDisk& operator=(const SSmallDisk&) = delete;
};
