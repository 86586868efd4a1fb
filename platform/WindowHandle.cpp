#include "platform/WindowHandle.h"

#include "platform/FrameClock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QWidget>

struct CWndHandle::State {
    mutable std::mutex lock;
    QObject* sink = nullptr; // non-null exactly while the window exists
    QRegion pending;
    bool whole = false;
    bool posted = false;
};

namespace {
const QEvent::Type kRepaintEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Lives on the UI thread as a child of the widget; receives the merged request.
class RepaintSink : public QObject {
public:
    using Take = std::function<QRegion(bool*)>;
    RepaintSink(QWidget* w, std::weak_ptr<CWndHandle::State> state, Take take)
        : QObject(w), m_widget(w), m_state(std::move(state)), m_take(std::move(take)) {}
    // Going with the widget (its children are destroyed with it) ends the
    // window for every thread, even without an explicit Detach.
    ~RepaintSink() override {
        if (auto s = m_state.lock()) {
            std::lock_guard g(s->lock);
            if (s->sink == this)
                s->sink = nullptr;
        }
    }
    bool event(QEvent* e) override {
        if (e->type() != kRepaintEvent)
            return QObject::event(e);
        // Served at the next frame: what is requested until then joins it.
        CFrameClock::Request(this, [this] { Serve(); });
        return true;
    }

private:
    void Serve() {
        bool whole = false;
        QRegion region = m_take(&whole);
        if (m_widget) {
            if (whole)
                m_widget->update();
            else if (!region.isEmpty())
                m_widget->update(region);
        }
    }

    QPointer<QWidget> m_widget;
    std::weak_ptr<CWndHandle::State> m_state;
    Take m_take;
};
} // namespace

CWndHandle::CWndHandle() : m_state(std::make_shared<State>()) {}

CWndHandle::~CWndHandle() {
    Detach();
}

void CWndHandle::Attach(QWidget* widget) {
    std::weak_ptr<State> weak = m_state;
    auto* sink = new RepaintSink(widget, weak, [weak](bool* whole) {
        QRegion r;
        if (auto s = weak.lock()) {
            std::lock_guard g(s->lock);
            r = s->pending;
            *whole = s->whole;
            s->pending = QRegion();
            s->whole = false;
            s->posted = false;
        }
        return r;
    });
    std::lock_guard g(m_state->lock);
    m_state->sink = sink;
}

void CWndHandle::Detach() {
    QPointer<QObject> sink;
    {
        std::lock_guard g(m_state->lock);
        sink = m_state->sink;
        m_state->sink = nullptr;
        m_state->pending = QRegion();
        m_state->whole = false;
        m_state->posted = false;
    }
    // Posted events for the sink are discarded with it. The sink may already be
    // gone when the widget's children were destroyed first.
    delete sink.data();
}

bool CWndHandle::IsWindow() const {
    std::lock_guard g(m_state->lock);
    return m_state->sink != nullptr;
}

void CWndHandle::InvalidateRect(const QRect* rect, bool /*erase*/) {
    std::lock_guard g(m_state->lock);
    if (!m_state->sink)
        return;
    if (rect)
        m_state->pending += *rect;
    else
        m_state->whole = true;
    if (!m_state->posted) {
        m_state->posted = true;
        // postEvent is thread-safe; the lock keeps the sink alive until it is queued.
        QCoreApplication::postEvent(m_state->sink, new QEvent(kRepaintEvent));
    }
}
