#include "acquisition/RecordingSession.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace {

QString Now() {
    return SidecarTime(QDateTime::currentDateTime());
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

CRecordingSession::CRecordingSession(CRecvFeed& feed) : m_feed(feed) {}

SRecordingContext CRecordingSession::Context() const {
    return m_context ? m_context() : SRecordingContext{};
}

CRecordingSession::SLive* CRecordingSession::On() {
    for (SLive& l : m_lives)
        if (!l.stopped)
            return &l;
    return nullptr;
}

CRecordingSession::SLive* CRecordingSession::Find(uint32_t tag) {
    for (SLive& l : m_lives)
        if (l.tag == tag)
            return &l;
    return nullptr;
}

bool CRecordingSession::IsOn() const {
    return const_cast<CRecordingSession*>(this)->On() != nullptr;
}

uint32_t CRecordingSession::Current() const {
    const SLive* l = const_cast<CRecordingSession*>(this)->On();
    return l ? l->tag : 0;
}

QString CRecordingSession::Path() const {
    const SLive* l = const_cast<CRecordingSession*>(this)->On();
    return l ? l->file->path : QString();
}

const SSidecar* CRecordingSession::Sidecar() const {
    return m_last ? &m_last->sidecar : nullptr;
}

void CRecordingSession::Schedule(SPending p, CRecvFeed::EEvent kind, uint32_t tag) {
    // Queued before the feed is told, which may apply it at once.
    p.id = m_feed.NextId();
    m_pending.push_back(p);
    m_feed.Schedule(kind, tag);
}

SRecordingStart CRecordingSession::Start(const QString& path) {
    if (On())
        Stop();
    const SRecordingStart opened = m_recorder.Start(QFile::encodeName(path).toStdString());
    if (!opened.opened)
        return opened;
    const QString actual = QFile::decodeName(opened.path.c_str());
    SLive live;
    live.tag = opened.session;
    live.opened = opened;
    live.started = std::chrono::steady_clock::now();
    // A start in the same second as the last appends to its recording, and
    // to its sidecar: the one in hand while that recording is still ending,
    // else the one on disk. One that cannot be read is replaced: its
    // segments are lost, the recording's lines are not.
    for (const SLive& l : m_lives)
        if (l.file->path == actual)
            live.file = l.file;
    if (!live.file) {
        live.file = std::make_shared<SFile>();
        live.file->path = actual;
        live.file->sidecarPath = SidecarPathFor(actual);
        QString error;
        if (!QFileInfo::exists(live.file->sidecarPath) ||
            !ReadSidecar(live.file->sidecarPath, live.file->sidecar, error))
            live.file->sidecar = SSidecar{};
        live.file->nextMarker = live.file->sidecar.NextMarkerNumber();
    }
    SSidecar& sc = live.file->sidecar;
    sc.recording = QFileInfo(actual).fileName();
    sc.programVersion = SidecarProgramVersion();
    const SRecordingContext ctx = Context();
    SSidecarSegment segment;
    segment.start = Now();
    segment.port = {ctx.portName, ctx.portOpen, ctx.portOpen ? ctx.portSettings : QString()};
    live.lastMode = {0, segment.start, ctx.calibration, ctx.coef1, ctx.coef2};
    segment.modes.push_back(live.lastMode);
    sc.segments.push_back(segment);
    live.segment = sc.segments.size() - 1;
    m_recorder.SetSidecar(live.tag, QFile::encodeName(live.file->sidecarPath).toStdString());
    m_last = live.file;
    m_lives.push_back(live);
    SPending p;
    p.what = EWhat::Start;
    p.tag = opened.session;
    Schedule(p, CRecvFeed::EEvent::Tag, opened.session);
    return opened;
}

void CRecordingSession::Stop() {
    SLive* live = On();
    if (!live)
        return;
    live->stopped = true;
    live->file->sidecar.segments[live->segment].stop = Now();
    SPending p;
    p.what = EWhat::Stop;
    p.tag = live->tag;
    const uint32_t after = m_recorder.End(live->tag);
    Schedule(p, CRecvFeed::EEvent::Tag, after);
}

int CRecordingSession::Marker() {
    SLive* live = On();
    if (!live)
        return 0;
    SPending p;
    p.what = EWhat::Marker;
    p.tag = live->tag;
    p.marker = {live->file->nextMarker++, 0, Now()};
    const int number = p.marker.number;
    Schedule(p, CRecvFeed::EEvent::Settle, 0);
    return number;
}

void CRecordingSession::NoteMode() {
    SLive* live = On();
    if (!live)
        return;
    const SRecordingContext ctx = Context();
    const SSidecarMode& last = live->lastMode;
    if (last.calibration == ctx.calibration && last.coef1 == ctx.coef1 && last.coef2 == ctx.coef2)
        return;
    SPending p;
    p.what = EWhat::Mode;
    p.tag = live->tag;
    p.mode = {0, Now(), ctx.calibration, ctx.coef1, ctx.coef2};
    live->lastMode = p.mode;
    Schedule(p, CRecvFeed::EEvent::Settle, 0);
}

void CRecordingSession::NoteGain(uint32_t gain1, uint32_t gain2) {
    SLive* live = On();
    if (!live)
        return;
    SPending p;
    p.what = EWhat::Gain;
    p.tag = live->tag;
    p.gain = {0, Now(), gain1, gain2};
    Schedule(p, CRecvFeed::EEvent::Settle, 0);
}

void CRecordingSession::StreamResumed() {
    SLive* live = On();
    if (!live)
        return;
    SPending p;
    p.what = EWhat::Resume;
    p.tag = live->tag;
    Schedule(p, CRecvFeed::EEvent::Settle, 0);
}

void CRecordingSession::OnEvent(const CRecvFeed::SEvent& event) {
    while (!m_pending.empty() && m_pending.front().id <= event.id) {
        const SPending p = m_pending.front();
        m_pending.pop_front();
        if (p.id == event.id)
            Apply(p);
    }
}

void CRecordingSession::Apply(const SPending& p) {
    SLive* live = Find(p.tag);
    if (!live)
        return;
    SSidecarSegment& segment = live->file->sidecar.segments[live->segment];
    // The line the next record of this recording goes to: an event lies
    // before it.
    const uint64_t next = segment.firstLine + live->attributed;
    switch (p.what) {
    case EWhat::Start: {
        live->begun = true;
        // Lines of earlier recordings come first; a piece of a line left by
        // a crash joins the first line appended to it. An earlier recording
        // of this panel still ending in the same file has all its records
        // counted by now: they come first.
        segment.firstLine = live->opened.startBytes / kRecordLineSize + 1;
        if (const SLive* before = Find(live->opened.sharedWith))
            segment.firstLine =
                live->file->sidecar.segments[before->segment].firstLine + before->attributed;
        segment.modes.front().line = segment.firstLine;
        break;
    }
    case EWhat::Stop:
        live->ended = true;
        break;
    case EWhat::Marker: {
        SSidecarMarker m = p.marker;
        m.line = next;
        segment.markers.push_back(m);
        break;
    }
    case EWhat::Mode: {
        SSidecarMode m = p.mode;
        m.line = next;
        segment.modes.push_back(m);
        break;
    }
    case EWhat::Gain: {
        SSidecarGain g = p.gain;
        g.line = next;
        segment.gains.push_back(g);
        break;
    }
    case EWhat::Resume:
        live->resumePending = true;
        return; // nothing to write until the records come
    }
    Write(*live);
    Forget();
}

void CRecordingSession::OnRecords(uint32_t tag, int records, TArrival arrival) {
    SLive* live = Find(tag);
    if (!live || !live->begun || live->ended || records <= 0)
        return;
    SSidecarSegment& segment = live->file->sidecar.segments[live->segment];
    const bool known = arrival != TArrival{};
    // Records whose arrival is not known (kept from a port as it closed)
    // are placed at the time they are counted.
    const double at = Seconds((known ? arrival : std::chrono::steady_clock::now()) - live->started);
    if (!live->firstSeen) {
        live->firstSeen = true;
        live->resumePending = false;
        segment.firstHandOver = SSidecarFirstHandOver{std::max(at, 0.0), uint64_t(records)};
    } else if (live->resumePending) {
        live->resumePending = false;
        if (segment.resumes.size() < kMaxSidecarResumes)
            segment.resumes.push_back(
                {segment.firstLine + live->attributed, std::max(at, 0.0), uint64_t(records)});
        live->fit.NewStretch();
    }
    live->attributed += uint64_t(records);
    if (known)
        live->fit.Add(double(live->attributed - 1), at);
}

bool CRecordingSession::OnFault(const SRecordingFault& fault) {
    SLive* live = Find(fault.session);
    if (!live)
        return false;
    // The log has said why the recording ended; a sidecar that cannot be
    // written either (the same full disk) keeps its last state without a
    // second line.
    live->file->failed = true;
    if (live->stopped)
        return false;
    Stop();
    return true;
}

void CRecordingSession::Tick() {
    for (SLive& live : m_lives)
        if (live.begun && live.attributed != live.writtenAt)
            Write(live);
    Forget();
}

void CRecordingSession::Forget() {
    // A recording whose end has taken effect and whose file the worker has
    // closed has nothing more to say.
    for (auto it = m_lives.begin(); it != m_lives.end();) {
        if (it->ended && !m_recorder.IsOpen(it->tag) && it->attributed == it->writtenAt)
            it = m_lives.erase(it);
        else
            ++it;
    }
}

void CRecordingSession::Write(SLive& live) {
    SFile& file = *live.file;
    SSidecarSegment& segment = file.sidecar.segments[live.segment];
    segment.records = live.attributed;
    if (const std::optional<SRateFitResult> fit = live.fit.Result())
        segment.rate = SSidecarRate{fit->hz, fit->records, fit->seconds, fit->uncertaintyHz};
    // The port as it is now; while it is closed, the one the last opening used.
    const SRecordingContext ctx = Context();
    if (!live.ended) {
        if (ctx.portOpen)
            segment.port = {ctx.portName, true, ctx.portSettings};
        else if (segment.port.name.isEmpty())
            segment.port = {ctx.portName, false, QString()};
    }
    file.sidecar.written = Now();
    live.writtenAt = live.attributed;
    QString error;
    if (!WriteSidecar(file.sidecarPath, file.sidecar, error)) {
        if (!file.failed && m_log)
            m_log(QCoreApplication::translate("CTovrelDlg", "文件(%1)写入失败,错误号%2")
                      .arg(file.sidecarPath, error));
        file.failed = true;
        return;
    }
    m_recorder.SidecarWritten(live.tag);
}
