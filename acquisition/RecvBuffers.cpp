#include "acquisition/RecvBuffers.h"

EChunkResult CRecvBuffers::OnChunk(const uint8_t* data, int n) {
    if (!data || n <= 0)
        return EChunkResult::Ignored;
    if (n > kMaxChunk) {
        Bump(m_nTooLarge);
        Break();
        return EChunkResult::TooLarge;
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
        m_iCarryLen = 0;
        if (m_bRecvReady[w].load(std::memory_order_acquire) == 0) {
            Settle(w, !nextFree);
            m_uHandOverSeq[w].store(++m_uLastHandOver, std::memory_order_relaxed);
        }
        m_bRecvReady[w].store(1, std::memory_order_release);
        Bump(m_nHandOvers);
        m_uWakeSeq.fetch_add(1, std::memory_order_release);
        m_uWakeSeq.notify_one();
        w = m_iRecvWrite = next;
        m_iSettled[w] = 0;
        if (!nextFree) {
            Bump(m_nNextHeld);
            m_bInStep = false;
            return EChunkResult::NextHeld;
        }
    } else if (m_bRecvReady[w].load(std::memory_order_acquire) != 0) {
        Bump(m_nNextHeld);
        Break();
        return EChunkResult::NextHeld;
    }
    // Read again after the acquire: if the worker freed buffer w since the fit
    // test, its count is now 0 and the chunk belongs at the start.
    const int32_t len = m_iRecvLen[w].load(std::memory_order_relaxed);
    if (len == 0)
        m_iSettled[w] = 0;
    if (m_iCarryLen + n > kRecvBufSize - len) {
        // Unreachable by the rules above (a freed buffer is empty, a filling
        // one unchanged, a carried piece shorter than the room a chunk
        // leaves); kept so that no count can ever push the copy past the end
        // of the buffer.
        Bump(m_nNextHeld);
        Bump(m_nSkipped, uint64_t(m_iCarryLen));
        m_iCarryLen = 0;
        m_bInStep = false;
        return EChunkResult::NextHeld;
    }
    std::memcpy(m_byRecvBuf[w] + len, m_byCarry, size_t(m_iCarryLen));
    std::memcpy(m_byRecvBuf[w] + len + m_iCarryLen, data, size_t(n));
    m_iRecvLen[w].store(len + m_iCarryLen + n, std::memory_order_relaxed);
    m_iCarryLen = 0;
    return EChunkResult::Accepted;
}

bool CRecvBuffers::Accepts(int n) const {
    if (n <= 0)
        return true;
    if (n > kMaxChunk)
        return false;
    // As OnChunk decides: a chunk that fits goes into the filling buffer
    // unless the worker holds it (after a drop); one that does not fit needs
    // the next buffer.
    const int32_t w = m_iRecvWrite;
    if (n <= kRecvBufSize - m_iRecvLen[w].load(std::memory_order_relaxed))
        return m_bRecvReady[w].load(std::memory_order_acquire) == 0;
    return m_bRecvReady[(w + 1) % kRecvBufCount].load(std::memory_order_acquire) == 0;
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

bool CRecvBuffers::WaitForReady(const std::atomic<bool>& stop) const {
    for (;;) {
        // Taken before the scan: a hand-over after it changes the value, so
        // the wait below returns at once instead of missing it.
        const uint32_t seen = m_uWakeSeq.load(std::memory_order_acquire);
        if (stop.load(std::memory_order_acquire))
            return false;
        if (FindReady() >= 0)
            return true;
        Bump(m_nIdleWaits);
        m_uWakeSeq.wait(seen, std::memory_order_acquire);
    }
}

void CRecvBuffers::Wake() {
    m_uWakeSeq.fetch_add(1, std::memory_order_release);
    m_uWakeSeq.notify_all();
}

void CRecvBuffers::Settle(int w, bool final) {
    int32_t len = m_iRecvLen[w].load(std::memory_order_relaxed);
    const SStepCut cut = CutInStep(m_byRecvBuf[w], m_iSettled[w], len, m_bInStep, final);
    m_iCarryLen = 0;
    if (!final) {
        m_iCarryLen = len - cut.restFrom;
        std::memcpy(m_byCarry, m_byRecvBuf[w] + cut.restFrom, size_t(m_iCarryLen));
    }
    m_iSettled[w] = cut.whole;
    m_iRecvLen[w].store(cut.whole, std::memory_order_relaxed);
    if (cut.skipped > 0)
        Bump(m_nSkipped, uint64_t(cut.skipped));
    if (cut.stepsLost > 0)
        Bump(m_nStepsLost, uint64_t(cut.stepsLost));
}

void CRecvBuffers::Break() {
    const int32_t w = m_iRecvWrite;
    // A buffer the worker holds was settled when it was handed over.
    if (m_bRecvReady[w].load(std::memory_order_acquire) == 0)
        Settle(w, true);
    m_bInStep = false;
}

void CRecvBuffers::OnStreamBreak() {
    Break();
}

bool CRecvWorker::Start(CRecvBuffers& buffers, std::function<void(const std::atomic<bool>&)> proc) {
    if (m_bStarted)
        return false;
    m_bStarted = true;
    m_pBuffers = &buffers;
    m_thread = std::thread([this, proc = std::move(proc)] { proc(m_stop); });
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
