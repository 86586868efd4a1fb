#pragma once
#include <QObject>
#include <functional>

// The UI thread's frame pace. Windows fed from the worker ask for their
// repaint here instead of at once, so that however fast samples and log
// lines come, each window is brought up to date at most once per frame of
// the screen, and all windows due in one frame are served together (one pass
// of the window system's painting). Nothing runs while nothing is asked for:
// the clock's timer is armed by a request and stops after the frame it served.
class CFrameClock {
public:
    // UI thread. serve runs at the next frame: soon (after the events already
    // queued, so that requests made meanwhile share the frame) when no frame
    // has run within the last period, else one period after the last frame.
    // A request of an owner already waiting for the frame is merged into it
    // (its first serve runs, once). Nothing runs for an owner destroyed before
    // the frame.
    static void Request(QObject* owner, std::function<void()> serve);

    // UI thread. The period between two frames, in milliseconds, rounded up
    // so that frames come no faster than the screen refreshes. 0 (the
    // default) follows the primary screen's refresh rate; tests set a period
    // of their own to see what one frame merges. A frame already waiting is
    // re-timed from the new period.
    static void SetPeriodMs(int ms);
    // The period in force.
    static int PeriodMs();

    // UI thread, for tests: how many frames have run.
    static quint64 Frames();
};
