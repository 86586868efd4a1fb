#include "platform/FrameClock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <vector>

namespace {
constexpr qreal kDefaultRefreshHz = 60;

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

    void Request(QObject* owner, std::function<void()> serve) {
        for (const Entry& e : m_queue)
            if (e.owner == owner)
                return;
        m_queue.push_back({owner, std::move(serve)});
        if (!m_timer.isActive())
            Arm();
    }

    void Rearm() {
        if (!m_timer.isActive())
            return;
        m_timer.stop();
        Arm();
    }

    quint64 Frames() const { return m_frames; }

private:
    struct Entry {
        QPointer<QObject> owner;
        std::function<void()> serve;
    };

    void Arm() {
        // elapsed() truncates, so the wait is never shorter than what is left.
        const qint64 wait = m_sinceFrame.isValid() ? Period() - m_sinceFrame.elapsed() : 0;
        m_timer.start(int(std::max<qint64>(0, wait)));
    }

    void Tick() {
        m_sinceFrame.start();
        ++m_frames;
        // A serve may ask for the next frame; it goes into a fresh queue.
        std::vector<Entry> due;
        due.swap(m_queue);
        for (Entry& e : due)
            if (e.owner)
                e.serve();
    }

    QTimer m_timer;
    QElapsedTimer m_sinceFrame;
    std::vector<Entry> m_queue;
    quint64 m_frames = 0;
};

QPointer<FrameClock> g_clock;

// Made on first use on the UI thread, and gone with the application.
FrameClock& Clock() {
    if (!g_clock)
        g_clock = new FrameClock(QCoreApplication::instance());
    return *g_clock;
}
} // namespace

void CFrameClock::Request(QObject* owner, std::function<void()> serve) {
    Clock().Request(owner, std::move(serve));
}

void CFrameClock::SetPeriodMs(int ms) {
    g_periodOverrideMs = std::max(0, ms);
    if (g_clock)
        g_clock->Rearm();
}

int CFrameClock::PeriodMs() {
    return Period();
}

quint64 CFrameClock::Frames() {
    return g_clock ? g_clock->Frames() : 0;
}
