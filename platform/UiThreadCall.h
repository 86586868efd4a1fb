#pragma once
#include <functional>
#include <memory>

// Runs a unit of work on the UI thread on behalf of another thread and waits
// until it has run: what a SendMessage to a window of the UI thread did.
//
// Deadlock-free by construction: the UI thread never waits for a caller while
// holding anything the caller needs. When the UI thread shuts a worker down it
// calls Close() first, which runs every unit already queued and makes every
// later Call() return at once without running, so a worker that is about to
// append to the log can always finish and be joined.
class CUiThreadCall {
public:
    CUiThreadCall();  // construct on the UI thread
    ~CUiThreadCall(); // UI thread, once every caller's Call has returned
    CUiThreadCall(const CUiThreadCall&) = delete;
    CUiThreadCall& operator=(const CUiThreadCall&) = delete;

    // Any thread. On the UI thread the unit runs at once. Returns true when the
    // unit has run, false when it was refused because the UI side is closed.
    bool Call(std::function<void()> unit);
    // Any thread: the unit runs on the UI thread soon, and the caller does
    // not wait for it. False when refused (closed); a unit queued before a
    // Close runs in it.
    bool Post(std::function<void()> unit);

    // UI thread: run what is queued now (the UI thread waits on something
    // that needs a caller to get on).
    void RunPending();

    // UI thread: run what is queued, refuse everything after. Idempotent.
    void Close();

    struct State; // public so the event sink in the .cpp can name it

private:
    std::shared_ptr<State> m_state;
};
