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
