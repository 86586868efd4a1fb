// The recording's sidecar and the markers: operations of the panel. All run on
// the UI thread; the worker only counts what it writes (CRecorder::Counts), so
// it never waits for a sidecar to be written.
#include "acquisition/Recorder.h"
#include "acquisition/Sidecar.h"
#include "shell/TovrelDlg.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <chrono>

namespace {

QString Now() {
    return SidecarTime(QDateTime::currentDateTime());
}

// The line the next record will be written to: an event lies before it.
uint64_t NextLine(const SSidecarSegment& segment, const SRecordingCounts& counts) {
    return segment.firstLine + counts.lines;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

void CTovrelDlg::SidecarStart(const std::string& recordingPath) {
    const QString path = QFile::decodeName(recordingPath.c_str());
    m_strSidecarPath = SidecarPathFor(path);
    m_bSidecarFailed = false;
    // A start in the same second as the last appends to its recording, and
    // to its sidecar. One that cannot be read is replaced: its segments are
    // lost, the recording's lines are not.
    SSidecar sidecar;
    QString error;
    if (!QFileInfo::exists(m_strSidecarPath) || !ReadSidecar(m_strSidecarPath, sidecar, error))
        sidecar = SSidecar{};
    sidecar.recording = QFileInfo(path).fileName();
    sidecar.programVersion = SidecarProgramVersion();

    const SRecordingCounts counts = m_save.Counts();
    SSidecarSegment segment;
    segment.start = Now();
    // Lines of earlier recordings come first; a piece of a line left by a
    // crash joins the first line appended to it.
    segment.firstLine = counts.startBytes / kRecordLineSize + 1;
    segment.modes.push_back({segment.firstLine, segment.start, m_bTestMode.load() == 0,
                             m_iPressCoef1.load(), m_iPressCoef2.load()});
    sidecar.segments.push_back(segment);
    m_sidecar = std::move(sidecar);
    m_bSidecar = true;
    WriteSidecarNow();
}

void CTovrelDlg::SidecarNoteMode() {
    if (!m_bSidecar || m_sidecar.segments.empty())
        return;
    SSidecarSegment& segment = m_sidecar.segments.back();
    const SSidecarMode mode{NextLine(segment, m_save.Counts()), Now(), m_bTestMode.load() == 0,
                            m_iPressCoef1.load(), m_iPressCoef2.load()};
    if (!segment.modes.empty()) {
        const SSidecarMode& last = segment.modes.back();
        if (last.calibration == mode.calibration && last.coef1 == mode.coef1 &&
            last.coef2 == mode.coef2)
            return;
    }
    segment.modes.push_back(mode);
    WriteSidecarNow();
}

void CTovrelDlg::SidecarNoteGain() {
    if (!m_bSidecar || m_sidecar.segments.empty())
        return;
    SSidecarSegment& segment = m_sidecar.segments.back();
    segment.gains.push_back(
        {NextLine(segment, m_save.Counts()), Now(), m_uPulseGain1, m_iPulseGain2});
    WriteSidecarNow();
}

void CTovrelDlg::OnMarkerKey() {
    if (!m_bSidecar || m_sidecar.segments.empty() || !m_save.IsSaving())
        return;
    SSidecarSegment& segment = m_sidecar.segments.back();
    const int number = m_sidecar.NextMarkerNumber();
    segment.markers.push_back({number, NextLine(segment, m_save.Counts()), Now()});
    AppendHistory(m_editHistory, QCoreApplication::translate("CTovrelDlg", "标记%1").arg(number));
    WriteSidecarNow();
}

void CTovrelDlg::SidecarStop() {
    if (!m_bSidecar)
        return;
    if (!m_sidecar.segments.empty())
        m_sidecar.segments.back().stop = Now();
    WriteSidecarNow();
    m_bSidecar = false;
}

void CTovrelDlg::WriteSidecarNow() {
    if (m_sidecar.segments.empty())
        return;
    // What the recorder has done so far in this segment.
    SSidecarSegment& segment = m_sidecar.segments.back();
    const SRecordingCounts counts = m_save.Counts();
    segment.records = counts.lines;
    if (counts.handOvers > 0)
        segment.firstHandOver = SSidecarFirstHandOver{
            Seconds(counts.firstHandOver - counts.started), counts.firstHandOverLines};
    segment.rate = MeasuredRate(counts.rateRecords, Seconds(counts.rateTime));
    segment.resumes.clear();
    for (const SRecordingResume& r : counts.resumes)
        segment.resumes.push_back(
            {segment.firstLine + r.line - 1, Seconds(r.at - counts.started), r.lines});
    // The port as it is now; while it is closed, the one the last opening used.
    if (m_comm.get_PortOpen())
        segment.port = {QStringLiteral("COM%1").arg(m_iComPort), true, m_comm.get_Settings()};
    else if (segment.port.name.isEmpty())
        segment.port = {m_cbComPort->currentText(), false, QString()};
    m_sidecar.written = Now();

    QString error;
    if (!WriteSidecar(m_strSidecarPath, m_sidecar, error) && !m_bSidecarFailed) {
        m_bSidecarFailed = true;
        AppendHistory(m_editHistory,
                      QCoreApplication::translate("CTovrelDlg", "文件(%1)写入失败,错误号%2")
                          .arg(m_strSidecarPath, error));
    }
}
