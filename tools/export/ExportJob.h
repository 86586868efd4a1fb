#pragma once
// The export's working parts, shared by Export.cpp (the files, the run, the
// summary) and ExportParts.cpp (the lines, the stretches, the events); no
// one else includes this.

#include "tools/export/CsvWriter.h"
#include "tools/export/EdfOutput.h"
#include "tools/export/Export.h"
#include "tools/export/ExportFiles.h"
#include "tools/export/RecordingReader.h"

#include <QFile>
#include <QStringList>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

// Set by SIGINT, SIGTERM or SIGHUP (to the signal) while an export runs.
extern volatile std::sig_atomic_t g_exportInterrupted;
// "interrupted (Ctrl-C); nothing written"
QString InterruptedText();

// Reports of problems in the input are annotated in each EDF+ file up to
// this many; the summary on the terminal counts them all.
inline constexpr int kMaxProblemAnnotations = 100;
// Line numbers, moved events and parts quoted in a summary.
inline constexpr int kQuoted = 10;
inline constexpr int kQuotedParts = 20;
// A sidecar far larger than the panel writes (10,000 resumes in each of
// hundreds of segments) is not one.
inline constexpr qint64 kMaxSidecarBytes = 256 << 20;

// "Test mode, coef 100/100"
QString ModeText(const SSidecarMode& m);

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
