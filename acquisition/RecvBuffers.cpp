#include "acquisition/RecvBuffers.h"

EChunkResult CRecvBuffers::OnChunk(const uint8_t* data, int n) {
    if (!data || n <= 0)
        return EChunkResult::Ignored;
    if (n > kMaxChunk) {
        Bump(m_nTooLarge);
        return EChunkResult::TooLarge;
    }
    int32_t w = m_iRecvWrite;
    // The worker may hold buffer w here (after an earlier drop); its count is
    // then either the one handed over or 0, and either answer is safe.
    if (n > kRecvBufSize - m_iRecvLen[w].load(std::memory_order_relaxed)) {
        if (m_bRecvReady[w].load(std::memory_order_acquire) == 0)
            m_uHandOverSeq[w].store(++m_uLastHandOver, std::memory_order_relaxed);
        m_bRecvReady[w].store(1, std::memory_order_release);
        Bump(m_nHandOvers);
        m_uWakeSeq.fetch_add(1, std::memory_order_release);
        m_uWakeSeq.notify_one();
        w = m_iRecvWrite = (w + 1) % kRecvBufCount;
    }
    if (m_bRecvReady[w].load(std::memory_order_acquire) != 0) {
        Bump(m_nNextHeld);
        return EChunkResult::NextHeld;
    }
    // Read again after the acquire: if the worker freed buffer w since the fit
    // test, its count is now 0 and the chunk belongs at the start.
    const int32_t len = m_iRecvLen[w].load(std::memory_order_relaxed);
    if (n > kRecvBufSize - len) {
        // Unreachable by the rules above (a freed buffer is empty, a filling
        // one unchanged); kept so that no count can ever push the copy past
        // the end of the buffer.
        Bump(m_nNextHeld);
        return EChunkResult::NextHeld;
    }
    std::memcpy(m_byRecvBuf[w] + len, data, size_t(n));
    m_iRecvLen[w].store(len + n, std::memory_order_relaxed);
    return EChunkResult::Accepted;
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
