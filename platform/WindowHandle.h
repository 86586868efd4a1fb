#pragma once
#include <QRect>
#include <QRegion>
#include <memory>
#include <mutex>

class QWidget;

// Stands in for a window handle: it exists from Create to destruction of the
// window, may be asked from any thread whether the window still exists, and
// accepts repaint requests from any thread. Requests are merged into one
// region, as the window system merges invalid areas, and the region is served
// at the next frame of the screen (CFrameClock): a window repaints at most
// once a frame however many requests come, and a burst costs one paint.
class CWndHandle {
public:
    CWndHandle();
    ~CWndHandle();
    CWndHandle(const CWndHandle&) = delete;
    CWndHandle& operator=(const CWndHandle&) = delete;

    // UI thread: the widget now has a window (after it has been parented,
    // placed and shown). Until then IsWindow() is false.
    void Attach(QWidget* widget);
    // UI thread: the window is gone; pending repaints are dropped and later
    // requests do nothing. Safe to call more than once.
    void Detach();

    // Any thread.
    bool IsWindow() const;
    // Any thread. rect == nullptr: the whole client area. The erase flag is
    // accepted for the callers' sake; every window here paints its whole
    // background, so there is nothing left to erase.
    void InvalidateRect(const QRect* rect, bool erase);

    struct State; // public so the helpers in the .cpp can name it

private:
    std::shared_ptr<State> m_state;
};

// The free form the callers use, as with a raw handle.
inline bool IsWindow(const CWndHandle& h) {
    return h.IsWindow();
}
inline void InvalidateRect(CWndHandle& h, const QRect* rect, bool erase) {
    h.InvalidateRect(rect, erase);
}
