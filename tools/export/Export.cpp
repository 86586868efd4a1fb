#include "tools/export/ExportJob.h"

#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <sys/file.h>

volatile std::sig_atomic_t g_exportInterrupted = 0;

namespace {

// Until the first output is created there is nothing to take away: a signal
// ends the program at once, whatever it is reading or planning.
volatile std::sig_atomic_t g_exportHoldsFiles = 0;

void OnInterrupt(int signal) {
    if (!g_exportHoldsFiles) {
        static const char kSigint[] = "tovrel-export: interrupted (Ctrl-C); nothing written\n";
        static const char kOther[] = "tovrel-export: interrupted; nothing written\n";
        if (signal == SIGINT)
            (void)!::write(2, kSigint, sizeof kSigint - 1);
        else
            (void)!::write(2, kOther, sizeof kOther - 1);
        ::_exit(kExitFailed);
    }
    g_exportInterrupted = signal;
}

// Ctrl-C, SIGTERM and SIGHUP: before any output exists they end the program
// at once; after, they set a flag the export looks at between steps, none of
// which blocks (the input is a regular file, opened without blocking; without
// SA_RESTART a slow write returns to be looked at; the syncs are left behind).
class CInterruptHandlers {
public:
    CInterruptHandlers() {
        g_exportInterrupted = 0;
        g_exportHoldsFiles = 0;
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

} // namespace

QString InterruptedText() {
    return QStringLiteral("interrupted (%1); nothing written")
        .arg(g_exportInterrupted == SIGINT    ? QStringLiteral("Ctrl-C")
             : g_exportInterrupted == SIGTERM ? QStringLiteral("SIGTERM")
                                              : QStringLiteral("SIGHUP"));
}

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
        if (g_exportInterrupted) {
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

bool CExport::CommitOutputs(QString& error) {
    std::vector<CTempOutput*> outputs;
    if (!m_o.csvPath.isEmpty())
        outputs.push_back(&m_csvTemp);
    for (auto& t : m_edfTemps)
        outputs.push_back(t.get());
    // Every file durable first, then every name given: an interruption
    // before the last name takes the ones given away again.
    if (g_exportInterrupted)
        error = InterruptedText();
    if (!error.isEmpty())
        return false;
    if (!SyncOutputs(outputs, g_exportInterrupted, error)) {
        if (error.isEmpty())
            error = InterruptedText();
        return false;
    }
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (g_exportInterrupted)
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
    m_estimatedLines = uint64_t((m_size + kRecordLineSize - 1) / kRecordLineSize);
    input.estimatedLines = m_estimatedLines;
    m_plan = PlanExport(input);
    if (!m_plan.error.isEmpty())
        return Fail(m_plan.error);
    for (const QString& note : m_plan.notes)
        m_msg.Say(note);
    if (g_exportInterrupted)
        return Fail(InterruptedText());
    if (!CheckOutputs(error))
        return Fail(error);
    g_exportHoldsFiles = 1; // from here on a signal is looked at, and the files taken away
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
            if (g_exportInterrupted) {
                error = InterruptedText();
                break;
            }
            m_msg.Progress(reader.BytesRead(), m_size, m_lines);
        }
    }
    if (error.isEmpty() && reader.Failed())
        error = QStringLiteral("cannot read %1: %2").arg(Native(m_o.recording), reader.Error());
    if (error.isEmpty() && g_exportInterrupted)
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
