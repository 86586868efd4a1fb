#include "platform/WindowHandle.h"

#include "platform/FrameClock.h"

#include <QWidget>

struct CWndHandle::State {
    mutable std::mutex lock;
    QWidget* widget = nullptr; // non-null exactly while the window exists
    QObject* guard = nullptr;
    QRegion pending;
    bool whole = false;
    bool queued = false; // a frame will serve what is pending
};

namespace {
// Lives on the UI thread as a child of the widget. Going with the widget (its
// children are destroyed with it) ends the window for every thread, even
// without an explicit Detach.
class WindowGuard : public QObject {
public:
    WindowGuard(QWidget* w, std::weak_ptr<CWndHandle::State> state)
        : QObject(w), m_state(std::move(state)) {}
    ~WindowGuard() override {
        if (auto s = m_state.lock()) {
            std::lock_guard g(s->lock);
            if (s->guard == this) {
                s->guard = nullptr;
                s->widget = nullptr;
            }
        }
    }

private:
    std::weak_ptr<CWndHandle::State> m_state;
};

// UI thread, at a frame: what was requested since the last one, in one update.
void Serve(const std::weak_ptr<CWndHandle::State>& weak) {
    auto s = weak.lock();
    if (!s)
        return;
    QWidget* widget;
    QRegion region;
    bool whole;
    {
        std::lock_guard g(s->lock);
        s->queued = false;
        widget = s->widget;
        region.swap(s->pending);
        whole = s->whole;
        s->whole = false;
    }
    // The widget goes only on this thread, so it cannot go meanwhile.
    if (!widget)
        return;
    if (whole)
        widget->update();
    else if (!region.isEmpty())
        widget->update(region);
}
} // namespace

CWndHandle::CWndHandle() : m_state(std::make_shared<State>()) {}

CWndHandle::~CWndHandle() {
    Detach();
}

void CWndHandle::Attach(QWidget* widget) {
    CFrameClock::MakeClock(); // before any worker can ask for a frame
    auto* guard = new WindowGuard(widget, m_state);
    std::lock_guard g(m_state->lock);
    m_state->widget = widget;
    m_state->guard = guard;
}

void CWndHandle::Detach() {
    QObject* guard;
    {
        std::lock_guard g(m_state->lock);
        guard = m_state->guard;
        m_state->guard = nullptr;
        m_state->widget = nullptr;
        m_state->pending = QRegion();
        m_state->whole = false;
    }
    // A frame already asked for finds no window and does nothing. The guard
    // is already gone when the widget's children were destroyed first.
    delete guard;
}

bool CWndHandle::IsWindow() const {
    std::lock_guard g(m_state->lock);
    return m_state->widget != nullptr;
}

void CWndHandle::InvalidateRect(const QRect* rect, bool /*erase*/) {
    std::lock_guard g(m_state->lock);
    if (!m_state->widget)
        return;
    if (m_state->whole)
        ; // the whole client area is coming anyway
    else if (rect)
        m_state->pending += *rect;
    else
        m_state->whole = true;
    if (!m_state->queued) {
        m_state->queued = true;
        CFrameClock::Request([weak = std::weak_ptr<State>(m_state)] { Serve(weak); });
    }
}
