#pragma once
#include <QtGlobal>
#include <functional>

// The UI thread's frame pace. Windows fed from the worker ask for their
// update here instead of at once, so that however fast samples and log lines
// come, each window is brought up to date at most once per frame of the
// screen, and all windows due in one frame are served together (one pass of
// the window system's painting, one wake-up of the UI thread for them all).
// Nothing runs while nothing is asked for: the clock's timer is armed by a
// request and stops at the first frame that finds nothing to serve.
class CFrameClock {
public:
    // Any thread, once the UI thread has made the clock (MakeClock). serve
    // runs on the UI thread at the next frame: soon (after the events already
    // queued, so that requests made meanwhile share the frame) when no frame
    // has run within the last period, else one period after the last frame.
    // Every request runs: a caller that wants one serve a frame keeps its own
    // flag, set when it asks and cleared when it is served.
    static void Request(std::function<void()> serve);

    // UI thread: makes the clock, if it is not made yet. Requests from other
    // threads need it.
    static void MakeClock();

    // UI thread. The period between two frames, in milliseconds, rounded up
    // so that frames come no faster than the screen refreshes. 0 (the
    // default) follows the primary screen's refresh rate; tests set a period
    // of their own to see what one frame merges. A frame already waiting is
    // re-timed from the new period.
    static void SetPeriodMs(int ms);
    // The period in force.
    static int PeriodMs();

    // UI thread, for tests: how many frames have served something.
    static quint64 Frames();
};
