#pragma once
#include "acquisition/Record.h"
#include "acquisition/RecordStep.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <type_traits>

inline constexpr int kRecvBufCount = 3;
inline constexpr int kRecvBufSize = 1024;
// Larger chunks come only from a stalled handler; they are dropped whole.
inline constexpr int kMaxChunk = 512;
// Ten records are skipped for every one decoded: the display cannot use more.
inline constexpr int kRecordDecimation = 10;
inline constexpr int kRecordBufSize = 256;
// Pause after a buffer when no other one waits: the worker takes at most
// about one buffer per 10 ms while it keeps up, and catches up at once when
// it has fallen behind.
inline constexpr std::chrono::milliseconds kWorkerPause{10};

enum class EChunkResult {
    Accepted, // copied whole into the filling buffer
    TooLarge, // over kMaxChunk: dropped, nothing changed
    NextHeld, // the next buffer is still with the worker: dropped
    Ignored,  // empty or absent
};

// When the bytes of a chunk were read from the line (the newest of them), on
// the steady clock; the epoch when unknown.
using TArrival = std::chrono::steady_clock::time_point;

// Every record handed to the worker carries a tag: the recording it belongs
// to (0: none). The tag changes only at a cut, and a cut is placed in the
// stream where the operator pressed the button, so a record goes to the
// recording that was on when it arrived, however late the worker gets to it.
inline constexpr int kRecordsPerBuffer = kRecvBufSize / kRecordSize; // 68

// The three receive buffers and their lock-free hand-off between the UI
// thread (OnChunk) and one worker thread (FindReady, ProcessBuffer,
// WaitForReady, RunWorker). A buffer's bytes, fill count and tags belong to
// the UI thread while its ready flag is 0 and to the worker while it is 1;
// the flag is set with release after the bytes, and cleared with release
// after the fill count, so each side sees the other's writes.
//
// Chunks arrive cut anywhere (a USB adapter hands over 32 or 62 bytes at a
// time, or whatever its latency timer leaves), so a buffer is handed over
// holding whole records only: the piece after its last whole record moves to
// the start of the next buffer, ahead of the chunk that did not fit. Where
// the stream broke (the port opened, a chunk was dropped) the receive path
// finds the record boundary again before anything is cut (RecordStep.h).
class CRecvBuffers {
public:
    CRecvBuffers() = default;
    CRecvBuffers(const CRecvBuffers&) = delete;
    CRecvBuffers& operator=(const CRecvBuffers&) = delete;

    // UI thread: append one received chunk. Never splits a chunk.
    EChunkResult OnChunk(const uint8_t* data, int n, TArrival arrival = {});
    // UI thread: whether OnChunk would take a chunk of n bytes now rather
    // than drop it. A yes holds until the UI thread feeds a chunk itself: the
    // worker only ever frees buffers.
    bool Accepts(int n) const;
    // UI thread: the stream ended after what has arrived (the port was
    // closed, or opened again): what is whole is decided and handed over as
    // soon as a buffer is free, the rest is dropped, and the next bytes begin
    // a new stream, searched for a record boundary afresh.
    void OnStreamBreak();

    // UI thread: from here on (after the bytes fed so far) records carry
    // `tag`. What has arrived before is decided now and handed over as soon
    // as the next buffer is free, so the worker learns that the records of
    // the old tag are complete.
    void SetTag(uint32_t tag);
    uint32_t Tag() const { return m_uTag; } // UI thread
    // UI thread: decides what has arrived, as a cut does, without a change
    // of tag: every record that arrived so far has then been counted.
    void Settle();
    // UI thread: hands the filling buffer over now, its whole records only,
    // if the next buffer is free; true when nothing is left to hand over.
    bool Flush();
    // UI thread: a hand-over that a cut or a break asked for waits for the
    // next buffer to be freed.
    bool FlushPending() const { return m_bFlushPending; }
    // UI thread: bytes fed so far (OnChunk, dropped ones too).
    uint64_t Fed() const { return m_uFed; }
    // UI thread: told of the records as they are decided, in stream order,
    // in groups of one tag and one arrival time.
    void SetRecordSink(std::function<void(uint32_t tag, int records, TArrival arrival)> sink) {
        m_sink = std::move(sink);
    }

    // Worker: the ready buffer handed over first, or -1. Taking the
    // lowest-numbered one instead would let a buffer wait behind newer ones
    // for as long as the stream outpaces the worker, putting records out of
    // order on screen and in the recording. Ring order from the last buffer
    // processed is not enough either: after chunks were dropped on held
    // buffers, the filling buffer can be anywhere in the ring when the worker
    // catches up, so each hand-over carries a sequence number.
    int FindReady() const;

    // Worker: hand buffer i (found ready by FindReady) to save, cut it into
    // records, give every eleventh to parse(record) (the record is
    // m_byRecord: 15 bytes, the rest of its 256 zero), then free the buffer.
    // save(count, bytes) or save(count, bytes, tags, tagAfter): tags holds
    // one tag per whole record, tagAfter the tag in force when the buffer
    // was handed over.
    template <class Save, class Parse> void ProcessBuffer(int i, Save&& save, Parse&& parse);

    // UI thread: the next buffer the worker frees should be told of (see
    // SetOnFreed), once: the UI thread waits for a free buffer and need not
    // look again before.
    void WantFreed() { m_bWantFreed.store(true, std::memory_order_release); }
    // Called on the worker's thread after it has freed a buffer that WantFreed
    // asked for; set before the worker starts.
    void SetOnFreed(std::function<void()> onFreed) { m_onFreed = std::move(onFreed); }

    // Worker: block until a buffer is ready (true), stop is set or the
    // timeout passes (false).
    bool WaitForReady(const std::atomic<bool>& stop,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds::max()) const;
    // Any thread: make a waiting worker look again (after setting its stop).
    void Wake();

    // Worker loop: process ready buffers oldest first, pausing after one only
    // when no other waits, sleep while none is ready, return once stop is set.
    // tick() runs after every buffer and at least once a second.
    template <class Save, class Parse, class Tick>
    void RunWorker(const std::atomic<bool>& stop, Save&& save, Parse&& parse, Tick&& tick);
    template <class Save, class Parse>
    void RunWorker(const std::atomic<bool>& stop, Save&& save, Parse&& parse) {
        RunWorker(stop, save, parse, [] {});
    }

    // Inspection. Buffer state may be read from any thread; RecvWrite,
    // RecordCount and Record only from the thread that owns them.
    int32_t RecvLen(int i) const { return m_iRecvLen[i].load(std::memory_order_acquire); }
    bool IsReady(int i) const { return m_bRecvReady[i].load(std::memory_order_acquire) != 0; }
    const uint8_t* RecvBuf(int i) const { return m_byRecvBuf[i]; }
    int32_t RecvWrite() const { return m_iRecvWrite; }
    int32_t RecordCount() const { return m_iRecordCount; }
    const uint8_t* Record() const { return m_byRecord; }
    // Worker: whether any buffer is with it (ready and not yet freed).
    bool AnyReady() const { return FindReady() >= 0; }

    // Counters for measurements; relaxed, each written by one thread only.
    uint64_t ChunksTooLarge() const { return m_nTooLarge.load(std::memory_order_relaxed); }
    uint64_t ChunksNextHeld() const { return m_nNextHeld.load(std::memory_order_relaxed); }
    // Times the receive handler left bytes in the serial control's queue
    // because no buffer could take them yet (UI thread; see NoteDeferred).
    uint64_t ChunksDeferred() const { return m_nDeferred.load(std::memory_order_relaxed); }
    void NoteDeferred() { Bump(m_nDeferred); }
    uint64_t HandOvers() const { return m_nHandOvers.load(std::memory_order_relaxed); }
    uint64_t BuffersProcessed() const { return m_nProcessed.load(std::memory_order_relaxed); }
    uint64_t IdleWaits() const { return m_nIdleWaits.load(std::memory_order_relaxed); }
    uint64_t Pauses() const { return m_nPauses.load(std::memory_order_relaxed); }
    // Bytes dropped to find the record boundary again (never recorded), and
    // how often the stream was found out of step where it had been in step.
    uint64_t BytesSkipped() const { return m_nSkipped.load(std::memory_order_relaxed); }
    uint64_t StepsLost() const { return m_nStepsLost.load(std::memory_order_relaxed); }
    bool InStep() const { return m_step.inStep; } // UI thread

private:
    static void Bump(std::atomic<uint64_t>& c, uint64_t by = 1) {
        c.store(c.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
    }
    // UI thread, buffer w owned: decide its undecided bytes as `end` allows;
    // the undecided rest is left in m_byCarry.
    // With keepRest, the rest stays in the buffer behind the whole records.
    void Settle(int w, EStepEnd end, bool keepRest);
    // UI thread: buffer w (owned) goes to the worker; the next one, which
    // must be free, becomes the filling buffer, starting with the carry.
    void HandOver(int w, bool carryOn);
    // UI thread: the stream broke after what has arrived.
    void Break();
    // UI thread: a buffer the worker still holds is handed over once more.
    void FlagAgain(int w);
    // UI thread: the arrival of the stream byte just before `end`.
    TArrival ArrivalOf(uint64_t end);

    uint8_t m_byRecvBuf[kRecvBufCount][kRecvBufSize] = {};
    std::atomic<int32_t> m_iRecvLen[kRecvBufCount] = {0, 0, 0};
    std::atomic<int32_t> m_bRecvReady[kRecvBufCount] = {0, 0, 0};
    int32_t m_iRecvWrite = 0; // UI thread only
    // The tag of each whole record, and the tag in force at the hand-over;
    // owned like the bytes.
    uint32_t m_uRecTag[kRecvBufCount][kRecordsPerBuffer] = {};
    uint32_t m_uTagAfter[kRecvBufCount] = {0, 0, 0};
    // UI thread only: bytes of each buffer already cut into whole records
    // (after a break), where the stream stands at the first undecided byte,
    // and the piece moving from a buffer handed over to the next one.
    int32_t m_iSettled[kRecvBufCount] = {0, 0, 0};
    SStepState m_step;
    uint8_t m_byCarry[kStepMaxRest + kRecordSize] = {};
    int32_t m_iCarryLen = 0;
    uint64_t m_uFed = 0;
    uint64_t m_uUndecidedAt = 0; // stream position of the filling buffer's first undecided byte
    uint32_t m_uTag = 0;
    bool m_bFlushPending = false;
    bool m_bTagUnsent = false; // no buffer has carried the tag to the worker yet
    // Stream position just past each chunk fed, with its arrival; the
    // oldest go once every record ending in them is decided.
    struct SArrival {
        uint64_t end;
        TArrival at;
    };
    std::deque<SArrival> m_arrivals;
    std::function<void(uint32_t, int, TArrival)> m_sink;
    std::atomic<bool> m_bWantFreed{false};
    std::function<void()> m_onFreed;

    int32_t m_iRecordCount = 0; // worker only
    // When each buffer was handed over, in hand-over order. Written by the UI
    // thread while it owns the buffer, before the release of its flag; a
    // buffer handed over again while the worker holds it keeps its number.
    std::atomic<uint64_t> m_uHandOverSeq[kRecvBufCount] = {0, 0, 0};
    uint64_t m_uLastHandOver = 0; // UI thread only
    uint8_t m_byRecord[kRecordBufSize] = {};

    // Bumped after every hand-over and by Wake; the idle worker sleeps on it.
    std::atomic<uint32_t> m_uWakeSeq{0};
    // Only for the idle worker's sleep with a time-out: the hand-over itself
    // takes no lock but to wake a sleeper.
    mutable std::mutex m_wakeMutex;
    mutable std::condition_variable m_wakeCv;
    void NotifyWorker();

    std::atomic<uint64_t> m_nTooLarge{0};
    std::atomic<uint64_t> m_nNextHeld{0};
    std::atomic<uint64_t> m_nDeferred{0};
    std::atomic<uint64_t> m_nHandOvers{0};
    std::atomic<uint64_t> m_nProcessed{0};
    mutable std::atomic<uint64_t> m_nIdleWaits{0};
    std::atomic<uint64_t> m_nPauses{0};
    std::atomic<uint64_t> m_nSkipped{0};
    std::atomic<uint64_t> m_nStepsLost{0};
};

template <class Save, class Parse>
void CRecvBuffers::ProcessBuffer(int i, Save&& save, Parse&& parse) {
    if (i < 0 || i >= kRecvBufCount)
        return;
    // Ordered after FindReady's acquire of the flag, so this is the count handed over.
    int32_t len = m_iRecvLen[i].load(std::memory_order_relaxed);
    if (len < 0 || len > kRecvBufSize)
        len = 0;
    const uint8_t* buf = m_byRecvBuf[i];
    if constexpr (std::is_invocable_v<Save, int, const uint8_t*, const uint32_t*, uint32_t>)
        save(len, static_cast<const uint8_t*>(buf), static_cast<const uint32_t*>(m_uRecTag[i]),
             m_uTagAfter[i]);
    else
        save(len, static_cast<const uint8_t*>(buf));
    for (int32_t at = 0; at + kRecordSize <= len; at += kRecordSize) {
        if (++m_iRecordCount > kRecordDecimation) {
            std::memset(m_byRecord, 0, sizeof m_byRecord);
            std::memcpy(m_byRecord, buf + at, kRecordSize);
            m_iRecordCount = 0;
            parse(static_cast<const uint8_t*>(m_byRecord));
        }
    }
    // The count first: the UI thread may test it while the flag is still 1,
    // and must then see the handed-over count or 0, never a later one.
    m_iRecvLen[i].store(0, std::memory_order_relaxed);
    m_bRecvReady[i].store(0, std::memory_order_release);
    Bump(m_nProcessed);
    if (m_bWantFreed.load(std::memory_order_acquire) &&
        m_bWantFreed.exchange(false, std::memory_order_acq_rel) && m_onFreed)
        m_onFreed();
}

template <class Save, class Parse, class Tick>
void CRecvBuffers::RunWorker(const std::atomic<bool>& stop, Save&& save, Parse&& parse,
                             Tick&& tick) {
    while (!stop.load(std::memory_order_acquire)) {
        int i = FindReady();
        if (i < 0) {
            if (!WaitForReady(stop, std::chrono::seconds(1)))
                tick();
            continue;
        }
        ProcessBuffer(i, save, parse);
        tick();
        // While another buffer waits the worker is behind, and a pause now
        // would only make the filling buffer find its successor still held.
        if (FindReady() >= 0)
            continue;
        Bump(m_nPauses);
        std::this_thread::sleep_for(kWorkerPause);
    }
}

// The life of a panel's one worker thread: started once, asked to stop, then
// joined. The panel runs its RecvThreadProc under it; tests run the same
// buffers' RunWorker under it.
class CRecvWorker {
public:
    CRecvWorker() = default;
    ~CRecvWorker() { Stop(); }
    CRecvWorker(const CRecvWorker&) = delete;
    CRecvWorker& operator=(const CRecvWorker&) = delete;

    // Runs proc(stopFlag) on a new thread; proc returns once the flag is set.
    // buffers is woken by RequestStop. Returns false, starting nothing, when a
    // worker was already started (also after it has been stopped).
    bool Start(CRecvBuffers& buffers, std::function<void(const std::atomic<bool>&)> proc);
    // The buffers' own worker loop with these consumers.
    template <class Save, class Parse> bool Start(CRecvBuffers& buffers, Save save, Parse parse) {
        return Start(buffers, [&buffers, save = std::move(save),
                               parse = std::move(parse)](const std::atomic<bool>& stop) mutable {
            buffers.RunWorker(stop, save, parse);
        });
    }

    // Asks the worker to end without waiting for it.
    void RequestStop();
    // Asks the worker to end and joins it. Idempotent. The worker must not be
    // left blocked on the caller (e.g. waiting for the UI thread) meanwhile.
    void Stop();
    // The same, giving up after grace: false when the worker is still busy
    // (a write that does not return), and then it is left running.
    bool StopWithin(std::chrono::milliseconds grace);

    bool IsStarted() const { return m_bStarted; }
    bool IsRunning() const { return m_thread.joinable(); }
    std::thread::id ThreadId() const { return m_thread.get_id(); }
    const std::atomic<bool>& StopFlag() const { return m_stop; }

private:
    std::atomic<bool> m_stop{false};
    std::mutex m_endMutex;
    std::condition_variable m_endCv;
    bool m_bEnded = false;
    bool m_bStarted = false;
    CRecvBuffers* m_pBuffers = nullptr;
    std::thread m_thread;
};
