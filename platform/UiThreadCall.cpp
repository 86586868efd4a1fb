#include "platform/UiThreadCall.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {
struct Job {
    std::function<void()> unit;
    bool done = false;
    bool refused = false;
};
} // namespace

struct CUiThreadCall::State {
    std::mutex lock;
    std::condition_variable cv;
    std::deque<std::shared_ptr<Job>> queue;
    bool closed = false;
    QThread* uiThread = nullptr;
    QObject* sink = nullptr;

    void runPending() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::lock_guard g(lock);
                if (queue.empty())
                    return;
                job = queue.front();
                queue.pop_front();
            }
            job->unit(); // no lock held while the unit runs
            {
                std::lock_guard g(lock);
                job->done = true;
            }
            cv.notify_all();
        }
    }
};

namespace {
class CallSink : public QObject {
public:
    explicit CallSink(std::weak_ptr<CUiThreadCall::State> s) : m_state(std::move(s)) {}
    bool event(QEvent* e) override {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        if (auto s = m_state.lock())
            s->runPending();
        return true;
    }

private:
    std::weak_ptr<CUiThreadCall::State> m_state;
};
} // namespace

CUiThreadCall::CUiThreadCall() : m_state(std::make_shared<State>()) {
    m_state->uiThread = QThread::currentThread();
    m_state->sink = new CallSink(m_state);
}

CUiThreadCall::~CUiThreadCall() {
    Close();
    delete m_state->sink;
}

namespace {
// Queued for the UI thread, or nothing once closed.
std::shared_ptr<Job> Queue(CUiThreadCall::State& state, std::function<void()> unit) {
    auto job = std::make_shared<Job>();
    job->unit = std::move(unit);
    std::lock_guard g(state.lock);
    if (state.closed)
        return nullptr;
    state.queue.push_back(job);
    return job;
}
} // namespace

bool CUiThreadCall::Call(std::function<void()> unit) {
    if (QThread::currentThread() == m_state->uiThread) {
        unit();
        return true;
    }
    const std::shared_ptr<Job> job = Queue(*m_state, std::move(unit));
    if (!job)
        return false;
    // Posted with the lock free: the post wakes the UI thread, which takes
    // the lock first thing, and finding it still held made both threads
    // sleep and wake once more for every call. A Close meanwhile runs the
    // job; the sink outlives every call (callers are done before the object
    // goes).
    QCoreApplication::postEvent(m_state->sink, new QEvent(QEvent::User));
    std::unique_lock g(m_state->lock);
    m_state->cv.wait(g, [&] { return job->done || job->refused; });
    return job->done;
}

bool CUiThreadCall::Post(std::function<void()> unit) {
    if (!Queue(*m_state, std::move(unit)))
        return false;
    QCoreApplication::postEvent(m_state->sink, new QEvent(QEvent::User));
    return true;
}

void CUiThreadCall::RunPending() {
    m_state->runPending();
}

void CUiThreadCall::Close() {
    {
        std::lock_guard g(m_state->lock);
        m_state->closed = true;
    }
    // Whatever was queued before the close still runs, so its caller returns
    // with its work done; nothing can be queued after this point.
    m_state->runPending();
}
