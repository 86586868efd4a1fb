#include "tools/export/ExportJob.h"

#include <QFileInfo>
#include <algorithm>
#include <cmath>

QString ModeText(const SSidecarMode& m) {
    return QStringLiteral("%1 mode, coef %2/%3")
        .arg(m.calibration ? QStringLiteral("Calibration") : QStringLiteral("Test"))
        .arg(m.coef1)
        .arg(m.coef2);
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
        if (g_exportInterrupted) {
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

    static_assert(kEdfSignalCount == kRecordValues, "a signal for each value of the record");
    uint16_t raw[kEdfSignalCount];
    const bool good = line.kind != ELineKind::Malformed;
    for (int s = 0; s < kEdfSignalCount; ++s)
        raw[s] = good ? RecordValue(line.bytes, s) : m_held[s];
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
