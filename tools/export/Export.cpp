#include "tools/export/Export.h"

#include "tools/export/CsvWriter.h"
#include "tools/export/EdfOutput.h"
#include "tools/export/ExportFiles.h"
#include "tools/export/RecordingReader.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int signal) {
    g_interrupted = signal;
}

// Ctrl-C, SIGTERM and SIGHUP only set a flag the export looks at between
// steps. No step blocks (the input is a regular file, opened without
// blocking), and without SA_RESTART a slow write returns to be looked at.
class CInterruptHandlers {
public:
    CInterruptHandlers() {
        g_interrupted = 0;
        struct sigaction sa = {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        for (size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &sa, &m_old[i]);
    }
    ~CInterruptHandlers() {
        for (size_t i = 0; i < std::size(kSignals); ++i)
            ::sigaction(kSignals[i], &m_old[i], nullptr);
    }

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction m_old[std::size(kSignals)] = {};
};

QString InterruptedText() {
    return QStringLiteral("interrupted (%1); nothing written")
        .arg(g_interrupted == SIGINT    ? QStringLiteral("Ctrl-C")
             : g_interrupted == SIGTERM ? QStringLiteral("SIGTERM")
                                        : QStringLiteral("SIGHUP"));
}

// Reports of problems in the input are annotated in each EDF+ file up to
// this many; the summary on the terminal counts them all.
constexpr int kMaxProblemAnnotations = 100;
// Line numbers, moved events and parts quoted in a summary.
constexpr int kQuoted = 10;
constexpr int kQuotedParts = 20;
// A sidecar far larger than the panel writes (10,000 resumes in each of
// hundreds of segments) is not one.
constexpr qint64 kMaxSidecarBytes = 256 << 20;

QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

// Messages go to one stream, prefixed with the program's name; the progress
// line (on a terminal only) is cleared before each.
class CMessages {
public:
    CMessages(std::FILE* out, bool progress) : m_out(out), m_progress(progress) {}

    void Say(const QString& text) {
        ClearProgress();
        std::fprintf(m_out, "tovrel-export: %s\n", text.toLocal8Bit().constData());
        std::fflush(m_out);
    }

    void Progress(qint64 done, qint64 total, uint64_t lines) {
        if (!m_progress)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (m_shown && now - m_last < std::chrono::milliseconds(200))
            return;
        m_last = now;
        m_shown = true;
        const int percent = total > 0 ? int(std::min<qint64>(100, done * 100 / total)) : 100;
        std::fprintf(m_out, "\rtovrel-export: %3d %% (%llu lines)", percent,
                     static_cast<unsigned long long>(lines));
        std::fflush(m_out);
    }

    void ClearProgress() {
        if (!m_shown)
            return;
        std::fprintf(m_out, "\r%60s\r", "");
        m_shown = false;
    }

private:
    std::FILE* m_out;
    bool m_progress;
    bool m_shown = false;
    std::chrono::steady_clock::time_point m_last;
};

// What is told of many things of one kind: the first few, and a count.
struct SQuoted {
    uint64_t count = 0;
    QStringList first;
    void Add(const QString& text) {
        if (count++ < uint64_t(kQuoted))
            first << text;
    }
};

struct SProblemTally {
    uint64_t count = 0;
    std::vector<uint64_t> first;
    void Add(uint64_t line) {
        if (count++ < uint64_t(kQuoted))
            first.push_back(line);
    }
    QString Lines() const {
        QStringList parts;
        for (uint64_t l : first)
            parts << QString::number(l);
        return parts.join(QStringLiteral(", ")) +
               (count > first.size() ? QStringLiteral(", ...") : QString());
    }
};

struct SProblemRun {
    ELineKind kind = ELineKind::Record;
    uint64_t start = 0;
    uint64_t count = 0;
};

QString ModeText(const SSidecarMode& m) {
    return QStringLiteral("%1 mode, coef %2/%3")
        .arg(m.calibration ? QStringLiteral("Calibration") : QStringLiteral("Test"))
        .arg(m.coef1)
        .arg(m.coef2);
}

class CExport {
public:
    CExport(const SExportOptions& o, std::FILE* out)
        : m_o(o), m_msg(out, o.progress && ::isatty(::fileno(out))) {}

    int Run();

private:
    int Fail(const QString& text) {
        m_msg.Say(text);
        return kExitFailed;
    }
    bool OpenInputs(QFile& rec, QString& error);
    bool CheckOutputs(QString& error);
    bool StartPart(size_t k, QString& error);
    bool FinishPart(QString& error);
    bool Line(const SRecordingLine& line, QString& error);
    void EndProblemRun();
    bool EmitRow(bool last, QString& error);
    bool CommitOutputs(QString& error);
    void Summary(const CRecordingReader& reader);

    const SSegmentPlan& Part() const { return m_plan.parts[m_part]; }
    const SSidecarSegment* Meta(const SSegmentPlan& p) const {
        return p.sidecarIndex >= 0 ? &m_sidecar.segments[size_t(p.sidecarIndex)] : nullptr;
    }
    QString EventText(const SSidecarSegment& s, const SPlanEvent& e) const;

    SExportOptions m_o;
    CMessages m_msg;
    SSidecar m_sidecar;
    bool m_haveSidecar = false;
    qint64 m_size = 0;
    uint64_t m_estimatedLines = 0;
    SExportPlan m_plan;

    // Outputs.
    CTempOutput m_csvTemp;
    CCsvWriter m_csv;
    std::vector<std::unique_ptr<CTempOutput>> m_edfTemps;
    CEdfWriter m_edf;
    bool m_edfOpen = false;

    // The part being read.
    size_t m_part = 0;
    bool m_inPart = false;
    uint64_t m_partLines = 0;
    uint64_t m_lastLine = 0;
    int64_t m_partOffsetUs = 0; // of its first line after the export's first line
    int64_t m_endUs = 0;        // just after the last line so far
    int m_modesOf = -1;         // the sidecar segment m_modes belong to
    std::vector<SSidecarMode> m_modes;
    size_t m_modeAt = 0;
    SSidecarMode m_mode;
    std::vector<std::pair<uint64_t, int>> m_csvMarkers; // row line, number
    size_t m_markerAt = 0;
    std::vector<int> m_rowMarkers;
    int m_partNumber = 0;        // of the part being read: its EDF+ file's number
    uint64_t m_segmentLines = 0; // over the parts of its segment so far
    QDateTime m_baseTime;
    SProblemRun m_run;
    int m_problemAnnotations = 0;
    uint16_t m_held[kEdfSignalCount] = {};
    bool m_rowPending = false;
    SCsvRow m_row;

    // Totals.
    uint64_t m_lines = 0;
    SProblemTally m_missing, m_malformed;
    SQuoted m_moved;
    int m_droppedAnnotations = 0;
    QStringList m_written;
    uint64_t m_partsTold = 0;
    size_t m_eventsPlaced = 0;
};

bool CExport::OpenInputs(QFile& rec, QString& error) {
    // Checked before anything is opened: a FIFO or a device would block.
    if (!OpenRegularFile(m_o.recording, QStringLiteral("recording"), rec, error))
        return false;
    m_size = rec.size();
    if (m_size == 0) {
        error = QStringLiteral("%1 is empty: it holds no records").arg(Native(m_o.recording));
        return false;
    }
    // The panel holds a shared lock on a recording while it writes it.
    if (::flock(rec.handle(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            error = QStringLiteral("%1 is still being recorded (a panel has it open); stop the "
                                   "recording first")
                        .arg(Native(m_o.recording));
            return false;
        }
    } else {
        ::flock(rec.handle(), LOCK_UN);
    }

    const QString sidecarPath = SidecarPathFor(m_o.recording);
    if (m_o.noSidecar || !QFileInfo::exists(sidecarPath))
        return true;
    QByteArray json;
    QString why;
    if (!ReadRegularFile(sidecarPath, QStringLiteral("sidecar"), kMaxSidecarBytes, json, why) ||
        !SidecarFromJson(json, m_sidecar, why)) {
        error =
            QStringLiteral("the sidecar %1 cannot be used: %2 (--no-sidecar exports without it)")
                .arg(Native(sidecarPath), why);
        return false;
    }
    m_haveSidecar = true;
    return true;
}

bool CExport::CheckOutputs(QString& error) {
    QStringList outputs;
    if (!m_o.csvPath.isEmpty())
        outputs << m_o.csvPath;
    if (!m_o.edfPath.isEmpty())
        for (int k = 1; k <= std::max(1, m_plan.edfFiles); ++k)
            outputs << SegmentEdfPath(m_o.edfPath, k);
    const QString rec = QFileInfo(m_o.recording).absoluteFilePath();
    const QString recCanonical = QFileInfo(m_o.recording).canonicalFilePath();
    const QString side = QFileInfo(SidecarPathFor(m_o.recording)).absoluteFilePath();
    QSet<QString> seen;
    for (const QString& out : outputs) {
        if (g_interrupted) {
            error = InterruptedText();
            return false;
        }
        const QFileInfo info(out);
        const QString abs = info.absoluteFilePath();
        const bool exists = info.exists() || info.isSymLink();
        if (abs == rec || abs == side || (exists && info.canonicalFilePath() == recCanonical)) {
            error = QStringLiteral("%1 is the recording or its sidecar; choose another output")
                        .arg(Native(out));
            return false;
        }
        if (seen.contains(abs)) {
            error = QStringLiteral("%1 is given twice as an output").arg(Native(out));
            return false;
        }
        seen.insert(abs);
        const QString kind = exists ? NotRegularFile(out, false) : QString();
        if (!kind.isEmpty()) {
            error = QStringLiteral("%1 is %2; an output must be a new or a regular file (--force "
                                   "replaces only those)")
                        .arg(Native(out), kind);
            return false;
        }
        if (exists && !m_o.force) {
            error = QStringLiteral("%1 exists (--force overwrites it)").arg(Native(out));
            return false;
        }
    }
    return true;
}

QString CExport::EventText(const SSidecarSegment& s, const SPlanEvent& e) const {
    switch (e.kind) {
    case EPlanEvent::Mode:
        return ModeText(s.modes[e.index]);
    case EPlanEvent::Gain:
        return QStringLiteral("Pulse gains %1/%2 sent")
            .arg(s.gains[e.index].gain1)
            .arg(s.gains[e.index].gain2);
    case EPlanEvent::Marker:
        break;
    }
    return QStringLiteral("Marker %1").arg(s.markers[e.index].number);
}

bool CExport::StartPart(size_t k, QString& error) {
    const SSegmentPlan& p = m_plan.parts[k];
    const SSidecarSegment* meta = Meta(p);
    m_part = k;
    m_inPart = true;
    m_partLines = 0;
    if (p.resume == 0)
        m_segmentLines = 0;
    m_run = {};
    m_problemAnnotations = 0;
    std::fill(std::begin(m_held), std::end(m_held), uint16_t(0));
    ++m_partNumber;

    // Where its first line lies on the export's time line.
    if (m_partNumber == 1) {
        m_baseTime = p.firstLineTime;
        m_partOffsetUs = 0;
    } else if (m_baseTime.isValid() && p.firstLineTime.isValid()) {
        m_partOffsetUs = std::max<int64_t>(m_endUs, m_baseTime.msecsTo(p.firstLineTime) * 1000);
    } else {
        m_partOffsetUs = m_endUs;
        if (p.resume == 0)
            m_msg.Say(QStringLiteral("segment %1: its start time is not known; its times follow "
                                     "on from the lines before")
                          .arg(p.segment));
    }

    // The modes of its segment, for the CSV's pressures; a part after a
    // resume goes on where the one before left off.
    if (p.sidecarIndex != m_modesOf) {
        m_modesOf = p.sidecarIndex;
        m_modes = meta ? meta->modes : std::vector<SSidecarMode>();
        std::stable_sort(
            m_modes.begin(), m_modes.end(),
            [](const SSidecarMode& a, const SSidecarMode& b) { return a.line < b.line; });
        m_modeAt = 0;
        m_mode = SSidecarMode{};
    }
    m_csvMarkers.clear();
    m_markerAt = 0;
    if (meta)
        for (size_t e = p.eventsBegin; e < p.eventsEnd; ++e)
            if (m_plan.events[e].kind == EPlanEvent::Marker)
                m_csvMarkers.emplace_back(std::max(m_plan.events[e].line, p.firstLine),
                                          meta->markers[m_plan.events[e].index].number);

    if (m_o.edfPath.isEmpty())
        return true;
    auto temp = std::make_unique<CTempOutput>();
    const QString path = SegmentEdfPath(m_o.edfPath, m_partNumber);
    if (m_partNumber > m_plan.edfFiles) {
        // More parts than the recording's size promised: not checked before.
        const QString kind = NotRegularFile(path, false);
        if (!kind.isEmpty() || (QFileInfo::exists(path) && !m_o.force)) {
            error = kind.isEmpty()
                        ? QStringLiteral("%1 exists (--force overwrites it)").arg(Native(path))
                        : QStringLiteral("%1 is %2; an output must be a new or a regular file")
                              .arg(Native(path), kind);
            return false;
        }
    }
    if (!temp->Create(path, error))
        return false;
    SEdfSetup setup;
    setup.layout = p.layout;
    setup.start = p.firstLineTime;
    setup.equipment = QStringLiteral("Tovrel");
    setup.recordingNote = QFileInfo(m_o.recording).fileName();
    if (m_plan.parts.size() > 1)
        setup.recordingNote += QStringLiteral(" part %1/%2").arg(m_partNumber).arg(m_plan.edfFiles);
    const uint64_t end = std::min<uint64_t>(p.endLine, m_estimatedLines + 1);
    setup.expectedSamples = end > p.firstLine ? end - p.firstLine : 1;
    setup.expectedAnnotations = 4 + kMaxProblemAnnotations + int(p.eventsEnd - p.eventsBegin);
    QString why;
    if (!m_edf.Open(temp->TempPath(), setup, why)) {
        error = QStringLiteral("%1: %2").arg(Native(path), why);
        return false;
    }
    m_edfOpen = true;
    if (!p.firstLineTime.isValid())
        m_msg.Say(QStringLiteral("%1: the start time is not known; the file says 1 January 1985 "
                                 "(EDF's \"unknown\")")
                      .arg(Native(path)));
    m_edfTemps.push_back(std::move(temp));
    return true;
}

void CExport::EndProblemRun() {
    if (m_run.count == 0)
        return;
    if (m_edfOpen) {
        const int64_t sample = int64_t(m_run.start - Part().firstLine);
        const QString what = m_run.kind == ELineKind::MarkerMissing
                                 ? QStringLiteral("No ':' in byte 1, %1 line%2")
                                 : QStringLiteral("Malformed, value held, %1 line%2");
        if (m_problemAnnotations < kMaxProblemAnnotations)
            m_edf.Annotate({sample, int64_t(m_run.count),
                            what.arg(m_run.count).arg(m_run.count == 1 ? "" : "s").toUtf8(), true});
        else if (m_problemAnnotations == kMaxProblemAnnotations)
            m_edf.Annotate({sample, -1, "More input problems, not annotated", true});
        ++m_problemAnnotations;
    }
    m_run = {};
}

bool CExport::EmitRow(bool last, QString& error) {
    if (!m_rowPending || m_o.csvPath.isEmpty())
        return true;
    // The markers of this row; at a part's end, every marker left.
    m_rowMarkers.clear();
    while (m_rowMarkers.size() < kCsvMarkersPerRow && m_markerAt < m_csvMarkers.size() &&
           (m_csvMarkers[m_markerAt].first <= m_row.line || last))
        m_rowMarkers.push_back(m_csvMarkers[m_markerAt++].second);
    char* p = m_csv.Reserve(CsvRowBytes(m_rowMarkers.size()), error);
    if (!p)
        return false;
    m_csv.Commit(FormatCsvRow(m_row, m_rowMarkers.data(), m_rowMarkers.size(), p));
    m_rowPending = false;
    return true;
}

bool CExport::Line(const SRecordingLine& line, QString& error) {
    if (line.kind == ELineKind::Malformed && !m_o.skipBad) {
        error = QStringLiteral("%1, line %2: not a record line (15 byte pairs in hexadecimal, "
                               "each followed by a space); --skip-bad skips such lines")
                    .arg(Native(m_o.recording))
                    .arg(line.number);
        return false;
    }
    while (!m_inPart || line.number >= Part().endLine) {
        if (m_inPart) {
            if (!FinishPart(error))
                return false;
            ++m_part;
            continue;
        }
        // Parts that end before this line hold none.
        while (line.number >= m_plan.parts[m_part].endLine)
            ++m_part;
        if (g_interrupted) {
            error = InterruptedText();
            return false;
        }
        if (!StartPart(m_part, error))
            return false;
    }
    const SSegmentPlan& part = Part();
    if (!EmitRow(false, error))
        return false;

    // Problems, in runs.
    if (line.kind != m_run.kind || m_run.start + m_run.count != line.number)
        EndProblemRun();
    if (line.kind != ELineKind::Record) {
        if (m_run.count == 0)
            m_run = {line.kind, line.number, 0};
        ++m_run.count;
        (line.kind == ELineKind::MarkerMissing ? m_missing : m_malformed).Add(line.number);
    }

    uint16_t raw[kEdfSignalCount];
    const bool good = line.kind != ELineKind::Malformed;
    for (int s = 0; s < kEdfSignalCount; ++s)
        raw[s] = good ? uint16_t(line.bytes[2 + 2 * s] << 8 | line.bytes[3 + 2 * s]) : m_held[s];
    std::copy(raw, raw + kEdfSignalCount, m_held);
    if (m_edfOpen && !m_edf.Add(raw, error))
        return false;

    while (m_modeAt < m_modes.size() && m_modes[m_modeAt].line <= line.number)
        m_mode = m_modes[m_modeAt++];
    const double usPerLine = 1e6 / part.rate;
    m_rowPending = true;
    m_row.line = line.number;
    m_row.timeUs = m_partOffsetUs + std::llround(double(line.number - part.firstLine) * usPerLine);
    m_row.good = good;
    m_row.markerMissing = line.kind == ELineKind::MarkerMissing;
    std::copy(raw, raw + kEdfSignalCount, m_row.raw);
    m_row.calibration = m_mode.calibration;
    m_row.coef1 = m_mode.coef1;
    m_row.coef2 = m_mode.coef2;

    m_endUs = m_partOffsetUs + std::llround(double(line.number + 1 - part.firstLine) * usPerLine);
    m_lastLine = line.number;
    ++m_partLines;
    ++m_lines;
    return true;
}

bool CExport::FinishPart(QString& error) {
    if (!m_inPart)
        return true;
    m_inPart = false;
    EndProblemRun();
    if (!EmitRow(true, error))
        return false;
    const SSegmentPlan& p = Part();
    const SSidecarSegment* meta = Meta(p);
    m_segmentLines += m_partLines;
    if (meta && p.lastOfSegment) {
        if (!meta->stop.isEmpty() && meta->records != m_segmentLines)
            m_msg.Say(QStringLiteral("segment %1: the sidecar counts %2 records, the recording "
                                     "holds %3 lines")
                          .arg(p.segment)
                          .arg(meta->records)
                          .arg(m_segmentLines));
        if (meta->stop.isEmpty())
            m_msg.Say(QStringLiteral("segment %1 was not stopped (the panel ended while "
                                     "recording); exported as far as it goes")
                          .arg(p.segment));
    }

    const bool tell = m_partsTold++ < uint64_t(kQuotedParts);
    if (tell)
        m_written << QStringLiteral("segment %1%2: lines %3-%4, %5 (%6)%7")
                         .arg(p.segment)
                         .arg(p.resume > 0 ? QStringLiteral(" after resume %1").arg(p.resume)
                                           : QString())
                         .arg(p.firstLine)
                         .arg(m_lastLine)
                         .arg(RateText(p.rate, p.rateUncertainty))
                         .arg(p.rateSource)
                         .arg(p.firstLineTime.isValid()
                                  ? QStringLiteral(", first line at ") +
                                        p.firstLineTime.toString(
                                            QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
                                  : QString());
    if (m_edfOpen) {
        m_edf.Annotate(
            {0, -1,
             (p.resume == 0
                  ? QStringLiteral("Segment %1/%2 starts at line %3")
                        .arg(p.segment)
                        .arg(m_plan.segments)
                        .arg(p.firstLine)
                  : QStringLiteral("Segment %1 resumes at line %2").arg(p.segment).arg(p.firstLine))
                 .toUtf8()});
        if (meta && p.modeInForce >= 0)
            m_edf.Annotate({0, -1, ModeText(meta->modes[size_t(p.modeInForce)]).toUtf8()});
    }
    // The sidecar's events, each on its line (see EventLine), in the file
    // that holds that line; what could not sit on its own line is told.
    if (meta)
        for (size_t e = p.eventsBegin; e < p.eventsEnd; ++e) {
            const SPlanEvent& ev = m_plan.events[e];
            const uint64_t at = EventLine(ev.line, p.firstLine, m_lastLine);
            if (at != ev.line)
                m_moved.Add(
                    QStringLiteral("%1 (sidecar line %2) on line %3, the %4 of segment %5")
                        .arg(EventText(*meta, ev))
                        .arg(ev.line)
                        .arg(at)
                        .arg(at < ev.line ? QStringLiteral("last") : QStringLiteral("first"))
                        .arg(p.segment));
            if (m_edfOpen)
                m_edf.Annotate({int64_t(at - p.firstLine), -1, EventText(*meta, ev).toUtf8()});
        }
    m_eventsPlaced += p.eventsEnd - p.eventsBegin;
    if (!m_edfOpen)
        return true;

    QString why;
    const QString path = m_edfTemps.back()->FinalPath();
    if (!m_edf.Close(why)) {
        m_edfOpen = false;
        error = QStringLiteral("%1: %2").arg(Native(path), why);
        return false;
    }
    m_edfOpen = false;
    m_droppedAnnotations += m_edf.DroppedAnnotations();
    if (!tell)
        return true;
    const SDataRecordLayout layout = m_edf.Layout();
    QString note = QStringLiteral("%1: EDF+, %2 samples a signal at %3 Hz, data records of %4 s "
                                  "with %5 samples")
                       .arg(Native(path))
                       .arg(m_edf.Samples())
                       .arg(layout.Rate(), 0, 'f', 6)
                       .arg(layout.Seconds(), 0, 'f', 5)
                       .arg(layout.samples);
    if (m_edf.PaddedSamples() > 0)
        note += QStringLiteral("; the last record is filled up with %1 copies of the last sample")
                    .arg(m_edf.PaddedSamples());
    m_written << note;
    return true;
}

bool CExport::CommitOutputs(QString& error) {
    std::vector<CTempOutput*> outputs;
    if (!m_o.csvPath.isEmpty())
        outputs.push_back(&m_csvTemp);
    for (auto& t : m_edfTemps)
        outputs.push_back(t.get());
    // Every file durable first, then every name given: an interruption
    // before the last name takes the ones given away again.
    if (g_interrupted)
        error = InterruptedText();
    if (!error.isEmpty() || !SyncOutputs(outputs, error))
        return false;
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (g_interrupted)
            error = InterruptedText();
        if (!error.isEmpty() || !outputs[i]->Commit(m_o.force, error)) {
            for (size_t j = 0; j < i; ++j)
                outputs[j]->Withdraw();
            return false;
        }
    }
    return true;
}

void CExport::Summary(const CRecordingReader& reader) {
    m_msg.Say(QStringLiteral("%1: %2 lines in %3 segment%4")
                  .arg(Native(m_o.recording))
                  .arg(m_lines)
                  .arg(m_plan.segments)
                  .arg(m_plan.segments == 1 ? "" : "s"));
    for (const QString& w : m_written)
        m_msg.Say(w);
    if (m_partsTold > uint64_t(kQuotedParts))
        m_msg.Say(QStringLiteral("... and %1 more parts, to line %2%3")
                      .arg(m_partsTold - uint64_t(kQuotedParts))
                      .arg(m_lastLine)
                      .arg(m_o.edfPath.isEmpty()
                               ? QString()
                               : QStringLiteral(", each an EDF+ file, the last %1")
                                     .arg(Native(m_edfTemps.back()->FinalPath()))));
    if (!m_o.csvPath.isEmpty())
        m_msg.Say(QStringLiteral("%1: %2 rows").arg(Native(m_o.csvPath)).arg(m_lines));
    if (m_moved.count > 0)
        m_msg.Say(QStringLiteral("%1 event(s) lie outside the lines of their stretch and sit on "
                                 "its nearest line in every output: %2%3")
                      .arg(m_moved.count)
                      .arg(m_moved.first.join(QStringLiteral("; ")))
                      .arg(m_moved.count > uint64_t(m_moved.first.size()) ? QStringLiteral("; ...")
                                                                          : QString()));
    const size_t lost = m_plan.events.size() - m_eventsPlaced;
    if (lost > 0)
        m_msg.Say(QStringLiteral("%1 sidecar event(s) lie after the recording's last line (%2) "
                                 "and are in no output")
                      .arg(lost)
                      .arg(m_lastLine));
    if (m_missing.count > 0)
        m_msg.Say(QStringLiteral("%1 line(s) without the record marker ':' in byte 1, exported as "
                                 "they stand: line %2")
                      .arg(m_missing.count)
                      .arg(m_missing.Lines()));
    if (m_malformed.count > 0)
        m_msg.Say(QStringLiteral("%1 malformed line(s) skipped (EDF+: the sample before held; "
                                 "CSV: empty values): line %2")
                      .arg(m_malformed.count)
                      .arg(m_malformed.Lines()));
    if (reader.CutOffBytes() > 0)
        m_msg.Say(QStringLiteral("the last %1 bytes are not a whole line (cut off when the "
                                 "recording ended abruptly) and were left out")
                      .arg(reader.CutOffBytes()));
    if (m_droppedAnnotations > 0)
        m_msg.Say(QStringLiteral("%1 annotation(s) did not fit in the EDF+ file(s)")
                      .arg(m_droppedAnnotations));
}

int CExport::Run() {
    const CInterruptHandlers handlers;
    QFile rec;
    QString error;
    if (!OpenInputs(rec, error))
        return Fail(error);

    SPlanInput input;
    input.sidecar = m_haveSidecar ? &m_sidecar : nullptr;
    input.recording = m_o.recording;
    input.sidecarPath = SidecarPathFor(m_o.recording);
    input.rate = m_o.rate;
    input.acceptOdd = m_o.acceptOdd;
    m_estimatedLines = uint64_t((m_size + kLineBytes - 1) / kLineBytes);
    input.estimatedLines = m_estimatedLines;
    m_plan = PlanExport(input);
    if (!m_plan.error.isEmpty())
        return Fail(m_plan.error);
    for (const QString& note : m_plan.notes)
        m_msg.Say(note);
    if (g_interrupted)
        return Fail(InterruptedText());
    if (!CheckOutputs(error))
        return Fail(error);
    if (!m_o.csvPath.isEmpty()) {
        QString why;
        if (!m_csvTemp.Create(m_o.csvPath, error))
            return Fail(error);
        if (!m_csv.Open(m_csvTemp.TempPath(), why))
            return Fail(QStringLiteral("%1: %2").arg(Native(m_o.csvPath), why));
        char* p = m_csv.Reserve(sizeof kCsvHeader, why);
        m_csv.Commit(std::copy(kCsvHeader, kCsvHeader + sizeof kCsvHeader - 1, p));
    }

    CRecordingReader reader(rec);
    SRecordingLine line;
    uint64_t sinceCheck = 0;
    while (reader.Next(line)) {
        if (!Line(line, error))
            break;
        if (++sinceCheck == 4096) {
            sinceCheck = 0;
            if (g_interrupted) {
                error = InterruptedText();
                break;
            }
            m_msg.Progress(reader.BytesRead(), m_size, m_lines);
        }
    }
    if (error.isEmpty() && reader.Failed())
        error = QStringLiteral("cannot read %1: %2").arg(Native(m_o.recording), reader.Error());
    if (error.isEmpty() && g_interrupted)
        error = InterruptedText();
    if (error.isEmpty())
        FinishPart(error);
    if (error.isEmpty() && m_lines == 0)
        error = QStringLiteral("%1 holds no records").arg(Native(m_o.recording));
    QString why;
    if (error.isEmpty() && !m_o.csvPath.isEmpty() && !m_csv.Close(why))
        error = QStringLiteral("%1: %2").arg(Native(m_o.csvPath), why);
    m_msg.ClearProgress();
    // Everything is whole: give the files their names.
    if (error.isEmpty())
        CommitOutputs(error);
    if (!error.isEmpty()) {
        m_edf.Abandon();
        return Fail(error); // the temporary files go with their owners
    }
    Summary(reader);
    return kExitOk;
}

} // namespace

QString SegmentEdfPath(const QString& edf, int k) {
    if (k <= 1)
        return edf;
    const QString suffix = QStringLiteral("-%1").arg(k);
    if (edf.endsWith(QStringLiteral(".edf"), Qt::CaseInsensitive))
        return edf.left(edf.size() - 4) + suffix + edf.right(4);
    return edf + suffix;
}

uint64_t EventLine(uint64_t sidecarLine, uint64_t first, uint64_t last) {
    return std::clamp(sidecarLine, first, std::max(first, last));
}

int RunExport(const SExportOptions& options, std::FILE* messages) {
    CExport job(options, messages);
    return job.Run();
}
