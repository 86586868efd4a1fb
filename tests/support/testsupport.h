#pragma once
// Helpers shared by the test programs.
#include <functional>

// Runs passes of the event loop, none of them waiting, until one finds
// nothing to do, and returns how many did something. A loop at rest needs a
// few; one that never rests (a notifier that fires on every pass) reaches
// limit.
int EventLoopPassesUntilIdle(int limit = 1000);

// Polls condition, without running the event loop, until it holds (true) or
// timeoutMs have gone by (false): for states the test must reach while the
// UI thread stays away from its events.
bool WaitWithoutEvents(const std::function<bool()>& condition, int timeoutMs = 10000);

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
