#include "acquisition/RecvBuffers.h"

EChunkResult CRecvBuffers::OnChunk(const uint8_t* data, int n, TArrival arrival) {
    if (!data || n <= 0)
        return EChunkResult::Ignored;
    if (m_bFlushPending)
        Flush();
    auto dropped = [&](EChunkResult result) {
        m_uFed += uint64_t(n);
        m_uUndecidedAt = m_uFed;
        m_arrivals.clear();
        return result;
    };
    if (n > kMaxChunk) {
        Bump(m_nTooLarge);
        Break();
        return dropped(EChunkResult::TooLarge);
    }
    int32_t w = m_iRecvWrite;
    // The worker may hold buffer w here (after an earlier drop); its count is
    // then either the one handed over or 0, and either answer is safe.
    if (n > kRecvBufSize - m_iRecvLen[w].load(std::memory_order_relaxed)) {
        const int32_t next = (w + 1) % kRecvBufCount;
        // Looked at once: if the next buffer is held, the chunk is dropped
        // even should the worker free it a moment later, so the buffer handed
        // over now is cut as the end of a stream that breaks here.
        const bool nextFree = m_bRecvReady[next].load(std::memory_order_acquire) == 0;
        if (!nextFree) {
            Break();
            if (m_bRecvReady[w].load(std::memory_order_acquire) == 0)
                HandOver(w, false);
            else
                FlagAgain(w);
            m_iRecvWrite = next;
            Bump(m_nNextHeld);
            return dropped(EChunkResult::NextHeld);
        }
        if (m_bRecvReady[w].load(std::memory_order_acquire) == 0) {
            Settle(w, EStepEnd::More, false);
            HandOver(w, true);
        } else {
            // Held by the worker since an earlier drop; its records went then.
            FlagAgain(w);
            m_iRecvWrite = next;
            m_iSettled[next] = 0;
            m_iCarryLen = 0;
        }
        w = m_iRecvWrite;
    } else if (m_bRecvReady[w].load(std::memory_order_acquire) != 0) {
        Bump(m_nNextHeld);
        Break();
        return dropped(EChunkResult::NextHeld);
    }
    // Read again after the acquire: if the worker freed buffer w since the fit
    // test, its count is now 0 and the chunk belongs at the start.
    const int32_t len = m_iRecvLen[w].load(std::memory_order_relaxed);
    if (len == 0)
        m_iSettled[w] = 0;
    if (n > kRecvBufSize - len) {
        // Unreachable by the rules above (a freed buffer is empty, a filling
        // one unchanged, a carried piece shorter than the room a chunk
        // leaves); kept so that no count can ever push the copy past the end
        // of the buffer.
        Bump(m_nNextHeld);
        Break();
        return dropped(EChunkResult::NextHeld);
    }
    std::memcpy(m_byRecvBuf[w] + len, data, size_t(n));
    m_iRecvLen[w].store(len + n, std::memory_order_relaxed);
    m_uFed += uint64_t(n);
    m_arrivals.push_back({m_uFed, arrival});
    return EChunkResult::Accepted;
}

bool CRecvBuffers::Accepts(int n) const {
    if (n <= 0)
        return true;
    if (n > kMaxChunk)
        return false;
    const int32_t w = m_iRecvWrite;
    const int32_t next = (w + 1) % kRecvBufCount;
    // A hand-over that waits goes first when it can, and then the chunk
    // lands behind a carried piece at most kStepMaxRest long.
    if (m_bFlushPending && m_bRecvReady[w].load(std::memory_order_acquire) == 0 &&
        m_bRecvReady[next].load(std::memory_order_acquire) == 0)
        return true;
    // As OnChunk decides: a chunk that fits goes into the filling buffer
    // unless the worker holds it (after a drop); one that does not fit needs
    // the next buffer.
    if (n <= kRecvBufSize - m_iRecvLen[w].load(std::memory_order_relaxed))
        return m_bRecvReady[w].load(std::memory_order_acquire) == 0;
    return m_bRecvReady[next].load(std::memory_order_acquire) == 0;
}

void CRecvBuffers::SetTag(uint32_t tag) {
    Settle();
    m_uTag = tag;
    m_bTagUnsent = true;
    Flush();
}

void CRecvBuffers::Settle() {
    const int32_t w = m_iRecvWrite;
    if (m_bRecvReady[w].load(std::memory_order_acquire) == 0)
        Settle(w, EStepEnd::Now, true);
}

bool CRecvBuffers::Flush() {
    const int32_t w = m_iRecvWrite;
    const int32_t next = (w + 1) % kRecvBufCount;
    m_bFlushPending = true;
    if (m_bRecvReady[w].load(std::memory_order_acquire) != 0 ||
        m_bRecvReady[next].load(std::memory_order_acquire) != 0)
        return false;
    Settle(w, EStepEnd::Now, true);
    m_bFlushPending = false;
    if (m_iSettled[w] == 0 && !m_bTagUnsent)
        return true; // no record to hand over, and the worker knows the tag
    Settle(w, EStepEnd::Now, false);
    HandOver(w, true);
    return true;
}

void CRecvBuffers::OnStreamBreak() {
    Break();
    m_step = SStepState{};
    Flush();
}

TArrival CRecvBuffers::ArrivalOf(uint64_t end) {
    while (!m_arrivals.empty() && m_arrivals.front().end < end)
        m_arrivals.pop_front();
    return m_arrivals.empty() ? TArrival{} : m_arrivals.front().at;
}

void CRecvBuffers::Settle(int w, EStepEnd end, bool keepRest) {
    const int32_t len = m_iRecvLen[w].load(std::memory_order_relaxed);
    const int32_t from = m_iSettled[w];
    int32_t ends[kRecordsPerBuffer + 1];
    const SStepCut cut = CutInStep(m_byRecvBuf[w], from, len, m_step, end, ends);
    const int taken = (cut.whole - from) / kRecordSize;
    // Each record goes with the tag in force: a cut's settle comes before
    // its change of tag, and no chunk fed runs past a cut.
    int groupRecords = 0;
    TArrival groupAt{};
    for (int k = 0; k < taken; ++k) {
        m_uRecTag[w][from / kRecordSize + k] = m_uTag;
        const TArrival at = ArrivalOf(m_uUndecidedAt + uint64_t(ends[k] - from));
        if (groupRecords > 0 && at != groupAt) {
            if (m_sink)
                m_sink(m_uTag, groupRecords, groupAt);
            groupRecords = 0;
        }
        groupAt = at;
        ++groupRecords;
    }
    if (groupRecords > 0 && m_sink)
        m_sink(m_uTag, groupRecords, groupAt);
    m_uUndecidedAt += uint64_t(cut.restFrom - from);
    const int32_t rest = len - cut.restFrom;
    m_iCarryLen = 0;
    int32_t newLen = cut.whole;
    if (end != EStepEnd::Break && rest > 0) {
        if (keepRest) {
            std::memmove(m_byRecvBuf[w] + cut.whole, m_byRecvBuf[w] + cut.restFrom, size_t(rest));
            newLen += rest;
        } else {
            std::memcpy(m_byCarry, m_byRecvBuf[w] + cut.restFrom, size_t(rest));
            m_iCarryLen = rest;
        }
    }
    m_iSettled[w] = cut.whole;
    m_iRecvLen[w].store(newLen, std::memory_order_relaxed);
    if (cut.skipped > 0)
        Bump(m_nSkipped, uint64_t(cut.skipped));
    if (cut.stepsLost > 0)
        Bump(m_nStepsLost, uint64_t(cut.stepsLost));
}

void CRecvBuffers::HandOver(int w, bool carryOn) {
    m_uTagAfter[w] = m_uTag;
    m_bTagUnsent = false;
    m_uHandOverSeq[w].store(++m_uLastHandOver, std::memory_order_relaxed);
    m_bRecvReady[w].store(1, std::memory_order_release);
    Bump(m_nHandOvers);
    NotifyWorker();
    const int32_t next = (w + 1) % kRecvBufCount;
    m_iRecvWrite = next;
    m_iSettled[next] = 0;
    if (!carryOn) {
        m_iCarryLen = 0;
        return;
    }
    // The next buffer is free (the caller made sure): the worker emptied it
    // before clearing its flag, and it starts with the carried piece.
    std::memcpy(m_byRecvBuf[next], m_byCarry, size_t(m_iCarryLen));
    m_iRecvLen[next].store(m_iCarryLen, std::memory_order_relaxed);
    m_iCarryLen = 0;
}

void CRecvBuffers::FlagAgain(int w) {
    // A buffer the worker holds keeps its number and what it holds.
    m_bRecvReady[w].store(1, std::memory_order_release);
    Bump(m_nHandOvers);
    NotifyWorker();
}

int CRecvBuffers::FindReady() const {
    int oldest = -1;
    uint64_t oldestSeq = 0;
    for (int i = 0; i < kRecvBufCount; ++i) {
        if (m_bRecvReady[i].load(std::memory_order_acquire) != 1)
            continue;
        // If the worker freed this buffer just as the UI thread handed it over
        // again, it carries its earlier number but holds nothing; taking it
        // first costs nothing.
        const uint64_t seq = m_uHandOverSeq[i].load(std::memory_order_relaxed);
        if (oldest < 0 || seq < oldestSeq) {
            oldest = i;
            oldestSeq = seq;
        }
    }
    return oldest;
}

void CRecvBuffers::NotifyWorker() {
    m_uWakeSeq.fetch_add(1, std::memory_order_release);
    // Taken and let go so that a worker between its look and its sleep
    // cannot miss the wake-up.
    { std::lock_guard lock(m_wakeMutex); }
    m_wakeCv.notify_all();
}

bool CRecvBuffers::WaitForReady(const std::atomic<bool>& stop,
                                std::chrono::milliseconds timeout) const {
    const auto deadline = timeout == std::chrono::milliseconds::max()
                              ? std::chrono::steady_clock::time_point::max()
                              : std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // Taken before the scan: a hand-over after it changes the value, so
        // the wait below returns at once instead of missing it.
        const uint32_t seen = m_uWakeSeq.load(std::memory_order_acquire);
        if (stop.load(std::memory_order_acquire))
            return false;
        if (FindReady() >= 0)
            return true;
        Bump(m_nIdleWaits);
        std::unique_lock lock(m_wakeMutex);
        const auto woken = [&] { return m_uWakeSeq.load(std::memory_order_acquire) != seen; };
        if (deadline == std::chrono::steady_clock::time_point::max())
            m_wakeCv.wait(lock, woken);
        else if (!m_wakeCv.wait_until(lock, deadline, woken))
            return false;
    }
}

void CRecvBuffers::Wake() {
    NotifyWorker();
}

void CRecvBuffers::Break() {
    const int32_t w = m_iRecvWrite;
    // A buffer the worker holds was settled when it was handed over.
    if (m_bRecvReady[w].load(std::memory_order_acquire) == 0)
        Settle(w, EStepEnd::Break, false);
    m_step.inStep = false;
    m_step.nearLost = false;
    m_uUndecidedAt = m_uFed;
    m_arrivals.clear();
}

bool CRecvWorker::Start(CRecvBuffers& buffers, std::function<void(const std::atomic<bool>&)> proc) {
    if (m_bStarted)
        return false;
    m_bStarted = true;
    m_pBuffers = &buffers;
    m_thread = std::thread([this, proc = std::move(proc)] {
        proc(m_stop);
        std::lock_guard lock(m_endMutex);
        m_bEnded = true;
        m_endCv.notify_all();
    });
    return true;
}

bool CRecvWorker::StopWithin(std::chrono::milliseconds grace) {
    RequestStop();
    if (!m_thread.joinable())
        return true;
    {
        std::unique_lock lock(m_endMutex);
        if (!m_endCv.wait_for(lock, grace, [this] { return m_bEnded; }))
            return false;
    }
    m_thread.join();
    return true;
}

void CRecvWorker::RequestStop() {
    m_stop.store(true, std::memory_order_release);
    if (m_pBuffers)
        m_pBuffers->Wake();
}

void CRecvWorker::Stop() {
    RequestStop();
    if (m_thread.joinable())
        m_thread.join();
}
