#include "acquisition/RecvFeed.h"

#include <algorithm>

uint64_t CRecvFeed::Schedule(EEvent kind, uint32_t tag, bool beforeWaiting) {
    const int64_t waiting = m_waiting && !beforeWaiting ? std::max<int64_t>(0, m_waiting()) : 0;
    SEvent e;
    e.id = ++m_uLastId;
    e.kind = kind;
    e.tag = tag;
    e.at = m_buffers.Fed() + Kept() + uint64_t(waiting);
    m_events.push_back(e);
    ApplyDue();
    return e.id;
}

void CRecvFeed::Keep(const uint8_t* data, size_t n) {
    if (m_keptHead > 0 && m_keptHead == m_kept.size()) {
        m_kept.clear();
        m_keptHead = 0;
    }
    m_kept.insert(m_kept.end(), data, data + n);
    SEvent e;
    e.id = ++m_uLastId;
    e.kind = EEvent::Break;
    e.at = m_buffers.Fed() + Kept();
    m_events.push_back(e);
    ApplyDue();
}

int CRecvFeed::Limit(int wanted) const {
    if (m_events.empty())
        return wanted;
    const uint64_t room = m_events.front().at - std::min(m_events.front().at, m_buffers.Fed());
    return int(std::min<uint64_t>(uint64_t(std::max(wanted, 0)), room));
}

EChunkResult CRecvFeed::Feed(const uint8_t* data, int n, TArrival arrival) {
    const EChunkResult r = m_buffers.OnChunk(data, n, arrival);
    ApplyDue();
    return r;
}

EChunkResult CRecvFeed::FeedKept(int n) {
    n = int(std::min<size_t>(size_t(std::max(n, 0)), Kept()));
    const EChunkResult r = m_buffers.OnChunk(m_kept.data() + m_keptHead, n, TArrival{});
    m_keptHead += size_t(n);
    if (m_keptHead == m_kept.size()) {
        m_kept.clear();
        m_keptHead = 0;
    }
    ApplyDue();
    return r;
}

void CRecvFeed::ApplyDue() {
    // A chunk that ran past an event (a caller that did not keep to Limit)
    // has it applied late rather than never.
    while (!m_events.empty() && m_events.front().at <= m_buffers.Fed()) {
        const SEvent e = m_events.front();
        m_events.pop_front();
        Apply(e);
    }
}

void CRecvFeed::Apply(const SEvent& e) {
    switch (e.kind) {
    case EEvent::Tag:
        m_buffers.SetTag(e.tag);
        break;
    case EEvent::Settle:
        m_buffers.Settle();
        break;
    case EEvent::Break:
        m_buffers.OnStreamBreak();
        break;
    }
    if (m_sink)
        m_sink(e);
}
