#include "platform/FrameClock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <vector>

namespace {
constexpr qreal kDefaultRefreshHz = 60;
const QEvent::Type kArmEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

int g_periodOverrideMs = 0;

int Period() {
    if (g_periodOverrideMs > 0)
        return g_periodOverrideMs;
    qreal hz = kDefaultRefreshHz;
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        if (QScreen* screen = app->primaryScreen())
            if (screen->refreshRate() >= 1)
                hz = screen->refreshRate();
    return int(std::ceil(1000.0 / hz));
}

class FrameClock : public QObject {
public:
    explicit FrameClock(QObject* parent) : QObject(parent) {
        m_timer.setSingleShot(true);
        // A coarse timer may fire up to 5 % early, which would let frames
        // come faster than the screen's.
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] { Tick(); });
    }
    ~FrameClock() override;

    // Any thread.
    void Request(std::function<void()> serve) {
        bool wake = false;
        {
            std::lock_guard g(m_lock);
            m_queue.push_back(std::move(serve));
            // Once a frame is coming, later requests just join it.
            if (!m_coming) {
                m_coming = true;
                wake = true;
            }
        }
        if (!wake)
            return;
        if (QThread::currentThread() == thread())
            Arm();
        else
            QCoreApplication::postEvent(this, new QEvent(kArmEvent));
    }

    // UI thread.
    void Rearm() {
        if (!m_timer.isActive())
            return;
        m_timer.stop();
        Arm();
    }

    quint64 Frames() const { return m_frames; }

protected:
    bool event(QEvent* e) override {
        if (e->type() != kArmEvent)
            return QObject::event(e);
        Arm();
        return true;
    }

private:
    void Arm() {
        if (m_timer.isActive())
            return;
        // elapsed() truncates, so the wait is never shorter than what is left.
        const qint64 wait = m_sinceFrame.isValid() ? Period() - m_sinceFrame.elapsed() : 0;
        m_timer.start(int(std::max<qint64>(0, wait)));
    }

    void Tick() {
        m_sinceFrame.start();
        std::vector<std::function<void()>> due;
        {
            std::lock_guard g(m_lock);
            due.swap(m_queue);
            // While frames have work, the next one is timed now: requests
            // from other threads then just join it, with no wake-up of their
            // own. The first frame with nothing to do ends it.
            m_coming = !due.empty();
        }
        if (due.empty())
            return;
        ++m_frames;
        m_timer.start(Period());
        for (auto& serve : due)
            serve();
    }

    QTimer m_timer;
    QElapsedTimer m_sinceFrame;
    quint64 m_frames = 0;

    std::mutex m_lock; // guards what other threads touch
    std::vector<std::function<void()>> m_queue;
    bool m_coming = false; // a frame will run for what is queued
};

// Made on the UI thread, gone with the application. It is made before any
// other thread can ask for a frame (a window makes it when it is attached).
std::atomic<FrameClock*> g_clock{nullptr};

FrameClock::~FrameClock() {
    g_clock.store(nullptr, std::memory_order_release);
}
} // namespace

void CFrameClock::MakeClock() {
    if (!g_clock.load(std::memory_order_acquire))
        g_clock.store(new FrameClock(QCoreApplication::instance()), std::memory_order_release);
}

void CFrameClock::Request(std::function<void()> serve) {
    MakeClock(); // only the UI thread can find none
    g_clock.load(std::memory_order_acquire)->Request(std::move(serve));
}

void CFrameClock::SetPeriodMs(int ms) {
    g_periodOverrideMs = std::max(0, ms);
    if (FrameClock* clock = g_clock.load(std::memory_order_acquire))
        clock->Rearm();
}

int CFrameClock::PeriodMs() {
    return Period();
}

quint64 CFrameClock::Frames() {
    FrameClock* clock = g_clock.load(std::memory_order_acquire);
    return clock ? clock->Frames() : 0;
}
