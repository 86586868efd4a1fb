#pragma once
#include "acquisition/RecvBuffers.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

// What the receive handler gives the receive buffers, in stream order: the
// bytes kept from a port that was closed (or lost) before they could be
// fed, then what the serial control holds; and, each at its place in the
// stream, what the operator did. A recording started or stopped, a marker,
// a change of mode: each is placed after every byte received up to the
// press, the bytes still waiting in the control's queue included, so it
// takes effect for exactly the records that arrived after it, however far
// behind the worker is. The end of a port's stream is placed after its last
// byte, so nothing of it runs into the next port's stream. UI thread only.
class CRecvFeed {
public:
    enum class EEvent {
        Tag,    // records from here on carry a new tag
        Settle, // nothing changes: the records before it are counted (a marker, a mode)
        Break,  // the stream ends here (a port closed, lost or opened)
    };
    struct SEvent {
        uint64_t id = 0;
        EEvent kind = EEvent::Settle;
        uint32_t tag = 0;
        uint64_t at = 0; // stream position: bytes fed before it
    };

    explicit CRecvFeed(CRecvBuffers& buffers) : m_buffers(buffers) {}

    // How many bytes wait in the serial control, everything received up to
    // this moment (the caller reads the line first); 0 when no port is open.
    void SetWaiting(std::function<int64_t()> waiting) { m_waiting = std::move(waiting); }
    // Told of each event as it takes effect, in order.
    void SetEventSink(std::function<void(const SEvent&)> sink) { m_sink = std::move(sink); }

    // Places an event after everything received so far; at once when nothing
    // waits. Returns its number (from 1). With beforeWaiting, it goes after
    // the bytes kept only, ahead of what the control holds (a port just
    // opened: its bytes begin the new stream).
    uint64_t Schedule(EEvent kind, uint32_t tag = 0, bool beforeWaiting = false);
    // Bytes taken from a port as it closed: fed ahead of whatever the control
    // holds next, and the stream breaks after them.
    void Keep(const uint8_t* data, size_t n);
    // The number the next event will get.
    uint64_t NextId() const { return m_uLastId + 1; }
    size_t Kept() const { return m_kept.size() - m_keptHead; }

    // The most the next chunk may take, out of `wanted`, without running
    // past an event.
    int Limit(int wanted) const;
    // Feeds a chunk no longer than Limit allows, then what falls due.
    EChunkResult Feed(const uint8_t* data, int n, TArrival arrival);
    // The next n kept bytes (their arrival is not known: they wait for the
    // worker since before the close).
    EChunkResult FeedKept(int n);
    // Applies the events whose place has been reached.
    void ApplyDue();
    bool Pending() const { return !m_events.empty(); }

private:
    void Apply(const SEvent& e);

    CRecvBuffers& m_buffers;
    std::function<int64_t()> m_waiting;
    std::function<void(const SEvent&)> m_sink;
    std::deque<SEvent> m_events;
    std::vector<uint8_t> m_kept;
    size_t m_keptHead = 0;
    uint64_t m_uLastId = 0;
};
