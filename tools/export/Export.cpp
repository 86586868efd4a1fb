#include "tools/export/Export.h"

#include "acquisition/Record.h"
#include "tools/export/EdfOutput.h"
#include "tools/export/RecordingReader.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    g_interrupted = 1;
}

// Reports of problems in the input are annotated in each EDF+ file up to
// this many; the summary on the terminal counts them all.
constexpr int kMaxProblemAnnotations = 100;
// Line numbers quoted in a summary.
constexpr int kQuotedLines = 10;

QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}

QString ErrnoText(int e) {
    return QString::fromLocal8Bit(std::strerror(e));
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

// An output file written under a temporary name beside its final one and
// renamed into place once whole, so a failed export leaves nothing behind.
class CTempOutput {
public:
    ~CTempOutput() { Discard(); }

    bool Create(const QString& finalPath, QString& error) {
        m_final = finalPath;
        const QFileInfo info(finalPath);
        QTemporaryFile file(info.absolutePath() + QStringLiteral("/.") + info.fileName() +
                            QStringLiteral(".XXXXXX"));
        file.setAutoRemove(false);
        if (!file.open()) {
            error = QStringLiteral("cannot write in the folder %1: %2")
                        .arg(Native(info.absolutePath()), file.errorString());
            return false;
        }
        // A temporary file is private; the result gets a new file's usual rights.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(file.handle(), 0666 & ~mask);
        m_temp = file.fileName();
        file.close();
        return true;
    }

    QString TempPath() const { return m_temp; }
    QString FinalPath() const { return m_final; }

    // Makes the file durable, then gives it its name: without `replace`, an
    // existing file of that name is never overwritten.
    bool Commit(bool replace, QString& error) {
        const QByteArray temp = QFile::encodeName(m_temp);
        const QByteArray final = QFile::encodeName(m_final);
        const int fd = ::open(temp.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fdatasync(fd) != 0) {
            error = QStringLiteral("cannot write %1: %2").arg(Native(m_final), ErrnoText(errno));
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        ::close(fd);
        int rc;
        if (replace) {
            rc = ::rename(temp.constData(), final.constData());
        } else {
            rc = ::renameat2(AT_FDCWD, temp.constData(), AT_FDCWD, final.constData(),
                             RENAME_NOREPLACE);
            if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
                // A file system without the no-replace rename: a hard link
                // also refuses to replace.
                rc = ::link(temp.constData(), final.constData());
                if (rc == 0)
                    ::unlink(temp.constData());
            }
        }
        if (rc != 0) {
            error = errno == EEXIST
                        ? QStringLiteral("%1 appeared while exporting; it is left as it is "
                                         "(--force replaces it)")
                              .arg(Native(m_final))
                        : QStringLiteral("cannot name the output %1: %2")
                              .arg(Native(m_final), ErrnoText(errno));
            return false;
        }
        m_temp.clear();
        m_committed = true;
        return true;
    }

    void Discard() {
        if (!m_temp.isEmpty())
            QFile::remove(m_temp);
        m_temp.clear();
    }

    // Takes a committed file away again (a later output failed).
    void Withdraw() {
        if (m_committed)
            QFile::remove(m_final);
        m_committed = false;
    }

private:
    QString m_final;
    QString m_temp;
    bool m_committed = false;
};

// The CSV file: a buffer of fixed size in front of the temporary file.
class CCsvWriter {
public:
    bool Open(const QString& path, QString& error) {
        m_file.setFileName(path);
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            error = m_file.errorString();
            return false;
        }
        m_buf.resize(kBufferBytes);
        m_fill = 0;
        return true;
    }
    // Room for one more row; flushes when needed.
    char* Reserve(QString& error) {
        if (m_fill + kRowMax > m_buf.size() && !Flush(error))
            return nullptr;
        return m_buf.data() + m_fill;
    }
    void Commit(char* end) { m_fill = size_t(end - m_buf.data()); }
    bool Flush(QString& error) {
        if (m_fill > 0 && m_file.write(m_buf.data(), qint64(m_fill)) != qint64(m_fill)) {
            error = m_file.errorString();
            return false;
        }
        m_fill = 0;
        return true;
    }
    bool Close(QString& error) {
        if (!Flush(error))
            return false;
        m_file.close();
        return true;
    }

    static constexpr size_t kRowMax = 512;

private:
    static constexpr size_t kBufferBytes = size_t(1) << 20;
    QFile m_file;
    std::vector<char> m_buf;
    size_t m_fill = 0;
};

char* PutUnsigned(char* p, uint64_t v) {
    return std::to_chars(p, p + 24, v).ptr;
}

char* PutInt(char* p, int64_t v) {
    return std::to_chars(p, p + 24, v).ptr;
}

QString LineList(const std::vector<uint64_t>& lines, uint64_t total) {
    QStringList parts;
    for (uint64_t l : lines)
        parts << QString::number(l);
    QString text = parts.join(QStringLiteral(", "));
    if (total > lines.size())
        text += QStringLiteral(", ...");
    return text;
}

QString ModeText(const SSidecarMode& m) {
    return QStringLiteral("%1 mode, coef %2/%3")
        .arg(m.calibration ? QStringLiteral("Calibration") : QStringLiteral("Test"))
        .arg(m.coef1)
        .arg(m.coef2);
}

} // namespace

// ---- pieces ------------------------------------------------------------------------

QDateTime TimeFromRecordingName(const QString& path) {
    static const QRegularExpression name(
        QStringLiteral("^(\\d{4})(\\d\\d)(\\d\\d)(\\d\\d)(\\d\\d)(\\d\\d)\\.txt$"),
        QRegularExpression::CaseInsensitiveOption);
    const auto m = name.match(QFileInfo(path).fileName());
    if (!m.hasMatch())
        return {};
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    const QTime time(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(6).toInt());
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time);
}

QString SegmentEdfPath(const QString& edf, int k) {
    if (k <= 1)
        return edf;
    const QString suffix = QStringLiteral("-%1").arg(k);
    if (edf.endsWith(QStringLiteral(".edf"), Qt::CaseInsensitive))
        return edf.left(edf.size() - 4) + suffix + edf.right(4);
    return edf + suffix;
}

int FormatMicroseconds(int64_t us, char* out) {
    char* p = out;
    if (us < 0) {
        *p++ = '-';
        us = -us;
    }
    p = PutUnsigned(p, uint64_t(us / 1000000));
    *p++ = '.';
    int64_t frac = us % 1000000;
    for (int d = 5; d >= 0; --d) {
        p[d] = char('0' + frac % 10);
        frac /= 10;
    }
    p += 6;
    return int(p - out);
}

EParse ParseExportOptions(const QStringList& args, SExportOptions& o, QString& message) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Exports a recording made by the Tovrel panel (REC.txt) to EDF+ and/or CSV.\n"
        "\n"
        "The sample rate comes from the panel's measurement in the sidecar REC.json;\n"
        "--rate gives it when there is none, or overrides it. Without either the export\n"
        "is refused. Each line of the recording is one sample period.\n"
        "\n"
        "EDF+: one EDF+C file per recording segment (a start of the recording within\n"
        "the same second appends a segment): OUT.edf, then OUT-2.edf, OUT-3.edf, ...\n"
        "CSV: one file, one row per line; times in seconds from the first line.\n"
        "Outputs are written under a temporary name and renamed when complete.\n"
        "\n"
        "Exit status: 0 done, 1 the export failed (nothing written), 2 bad options.");
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption edf("edf", "Write EDF+ to OUT.edf.", "OUT.edf");
    const QCommandLineOption csv("csv", "Write CSV to OUT.csv.", "OUT.csv");
    const QCommandLineOption rate("rate", "Sample rate in records per second (0.1 to 100000).",
                                  "HZ");
    const QCommandLineOption force("force", "Overwrite output files that exist.");
    const QCommandLineOption skipBad(
        "skip-bad",
        "Skip malformed lines (counted and reported) instead of stopping at the first.");
    const QCommandLineOption noSidecar("no-sidecar", "Ignore the sidecar REC.json.");
    parser.addOptions({help, edf, csv, rate, force, skipBad, noSidecar});
    parser.addPositionalArgument("REC.txt", "The recording.");

    if (!parser.parse(args)) {
        message = parser.errorText();
        return EParse::Error;
    }
    if (parser.isSet(help)) {
        message = parser.helpText();
        return EParse::Help;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        message = positional.isEmpty() ? QStringLiteral("which recording? (REC.txt is missing)")
                                       : QStringLiteral("one recording at a time, not %1")
                                             .arg(positional.join(QLatin1Char(' ')));
        return EParse::Error;
    }
    o.recording = positional.first();
    o.edfPath = parser.value(edf);
    o.csvPath = parser.value(csv);
    if ((parser.isSet(edf) && o.edfPath.isEmpty()) || (parser.isSet(csv) && o.csvPath.isEmpty())) {
        message = QStringLiteral("--edf and --csv need a file name");
        return EParse::Error;
    }
    if (o.edfPath.isEmpty() && o.csvPath.isEmpty()) {
        message = QStringLiteral("nothing to do: give --edf OUT.edf and/or --csv OUT.csv");
        return EParse::Error;
    }
    if (parser.isSet(rate)) {
        bool ok = false;
        const double hz = parser.value(rate).toDouble(&ok);
        if (!ok || !(hz >= 0.1 && hz <= 100000)) {
            message = QStringLiteral("--rate must be a number from 0.1 to 100000, not %1")
                          .arg(parser.value(rate));
            return EParse::Error;
        }
        o.rate = hz;
    }
    o.force = parser.isSet(force);
    o.skipBad = parser.isSet(skipBad);
    o.noSidecar = parser.isSet(noSidecar);
    return EParse::Ok;
}

// ---- the export --------------------------------------------------------------------

namespace {

struct SProblemRun {
    ELineKind kind = ELineKind::Record;
    uint64_t start = 0;
    uint64_t count = 0;
};

struct SProblemTally {
    uint64_t count = 0;
    std::vector<uint64_t> first;
    void Add(uint64_t line) {
        if (count++ < uint64_t(kQuotedLines))
            first.push_back(line);
    }
};

// One line waiting to become a CSV row: rows go out one line late, so that
// markers set after a segment's last line still find their row.
struct SPendingRow {
    bool valid = false;
    uint64_t line = 0;
    int64_t timeUs = 0;
    bool good = true; // false: malformed, values empty
    ELineKind kind = ELineKind::Record;
    uint16_t raw[kEdfSignalCount] = {};
    bool calibration = false;
    int32_t coef1 = 100, coef2 = 100;
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
    bool CheckOutputs(QString& error);
    bool PlanSegments(QString& error);
    bool StartSegment(size_t k, QString& error);
    bool FinishSegment(QString& error);
    bool Line(const SRecordingLine& line, QString& error);
    void EndProblemRun();
    bool EmitRow(bool last, QString& error);

    const SSidecarSegment* Meta(size_t k) const {
        return m_plans[k].sidecarIndex >= 0 ? &m_sidecar.segments[size_t(m_plans[k].sidecarIndex)]
                                            : nullptr;
    }

    SExportOptions m_o;
    CMessages m_msg;
    SSidecar m_sidecar;
    bool m_haveSidecar = false;
    qint64 m_size = 0;
    uint64_t m_estimatedLines = 0;
    std::vector<SSegmentPlan> m_plans;
    int m_edfFiles = 0; // planned: parts that hold lines
    int m_segments = 1;

    // Outputs.
    CTempOutput m_csvTemp;
    CCsvWriter m_csv;
    std::vector<std::unique_ptr<CTempOutput>> m_edfTemps;
    CEdfWriter m_edf;
    bool m_edfOpen = false;

    // The segment being read.
    size_t m_seg = 0;
    bool m_inSegment = false;
    uint64_t m_segLines = 0;
    uint64_t m_lastLine = 0;
    int64_t m_segOffsetUs = 0; // of its first line after the export's first line
    int64_t m_endUs = 0;       // just after the last line so far
    double m_rate = 0;
    std::vector<SSidecarMode> m_modes;
    size_t m_modeAt = 0;
    SSidecarMode m_mode;
    std::vector<std::pair<uint64_t, int>> m_csvMarkers; // row line, number
    size_t m_markerAt = 0;
    int m_segmentNumber = 0;     // of the part being read: its EDF+ file's number
    uint64_t m_segmentLines = 0; // over the parts of its segment so far
    QDateTime m_baseTime;
    SProblemRun m_run;
    int m_problemAnnotations = 0;
    uint16_t m_held[kEdfSignalCount] = {};
    SPendingRow m_row;

    // Totals.
    uint64_t m_lines = 0;
    SProblemTally m_missing, m_malformed;
    int m_droppedAnnotations = 0;
    QStringList m_written;
};

bool CExport::CheckOutputs(QString& error) {
    QStringList outputs;
    if (!m_o.csvPath.isEmpty())
        outputs << m_o.csvPath;
    if (!m_o.edfPath.isEmpty())
        for (int k = 1; k <= std::max(1, m_edfFiles); ++k)
            outputs << SegmentEdfPath(m_o.edfPath, k);
    const QString rec = QFileInfo(m_o.recording).absoluteFilePath();
    const QString side = QFileInfo(SidecarPathFor(m_o.recording)).absoluteFilePath();
    QStringList seen;
    for (const QString& out : outputs) {
        const QFileInfo info(out);
        const QString abs = info.absoluteFilePath();
        if (abs == rec || abs == side ||
            (info.exists() && info.canonicalFilePath() == QFileInfo(rec).canonicalFilePath())) {
            error = QStringLiteral("%1 is the recording or its sidecar; choose another output")
                        .arg(Native(out));
            return false;
        }
        if (seen.contains(abs)) {
            error = QStringLiteral("%1 is given twice as an output").arg(Native(out));
            return false;
        }
        seen << abs;
        if (info.isDir()) {
            error = QStringLiteral("%1 is a folder").arg(Native(out));
            return false;
        }
        if (info.exists() && !m_o.force) {
            error = QStringLiteral("%1 exists (--force overwrites it)").arg(Native(out));
            return false;
        }
    }
    return true;
}

bool CExport::PlanSegments(QString& error) {
    const std::vector<SSidecarSegment>& segs = m_sidecar.segments;
    int segment = 0;
    if (m_haveSidecar && !segs.empty()) {
        if (segs.front().firstLine > 1) {
            SSegmentPlan lead; // lines from before the sidecar's first segment
            lead.segment = ++segment;
            lead.endLine = segs.front().firstLine;
            m_plans.push_back(lead);
        }
        for (size_t i = 0; i < segs.size(); ++i) {
            const uint64_t end = i + 1 < segs.size() ? segs[i + 1].firstLine : UINT64_MAX;
            if (segs[i].firstLine >= end)
                continue; // no lines
            ++segment;
            // One part from the start, one from each resume of the stream.
            uint64_t from = segs[i].firstLine;
            int resume = 0;
            for (size_t r = 0; r <= segs[i].resumes.size(); ++r) {
                const uint64_t to = r < segs[i].resumes.size() ? segs[i].resumes[r].line : end;
                if (to <= from || to > end)
                    continue;
                SSegmentPlan p;
                p.sidecarIndex = int(i);
                p.segment = segment;
                p.resume = resume;
                p.lastOfSegment = to == end;
                p.firstLine = from;
                p.endLine = to;
                m_plans.push_back(p);
                from = to;
                resume = int(r) + 1;
            }
        }
    } else {
        m_plans.push_back({});
        segment = 1;
    }
    m_segments = segment;

    // Rates: given, measured for the segment, or measured over the others.
    uint64_t pooledRecords = 0;
    double pooledSeconds = 0;
    for (const SSidecarSegment& s : segs)
        if (s.rate) {
            pooledRecords += s.rate->records;
            pooledSeconds += s.rate->seconds;
        }
    for (size_t k = 0; k < m_plans.size(); ++k) {
        SSegmentPlan& p = m_plans[k];
        const SSidecarSegment* meta = Meta(k);
        if (m_o.rate) {
            p.rate = *m_o.rate;
            p.rateSource = meta && meta->rate ? QStringLiteral("--rate; the panel measured %1 Hz")
                                                    .arg(meta->rate->hz, 0, 'f', 4)
                                              : QStringLiteral("--rate");
        } else if (meta && meta->rate) {
            p.rate = meta->rate->hz;
            p.rateSource = QStringLiteral("measured by the panel: %1 records in %2 s")
                               .arg(meta->rate->records)
                               .arg(meta->rate->seconds, 0, 'f', 3);
        } else if (pooledSeconds > 0 && pooledRecords > 0) {
            p.rate = double(pooledRecords) / pooledSeconds;
            p.rateSource = QStringLiteral("measured by the panel over the other segments");
        } else {
            error = QStringLiteral(
                        "no sample rate for %1: %2; give it with --rate HZ (926000 baud carry "
                        "at most 6173.3 records a second)")
                        .arg(Native(m_o.recording),
                             m_haveSidecar ? QStringLiteral("its sidecar holds no measured rate")
                                           : QStringLiteral("it has no sidecar"));
            return false;
        }
        if (!ChooseDataRecord(p.rate)) {
            error = QStringLiteral("a rate of %1 Hz cannot be written (0.1 to 100000)").arg(p.rate);
            return false;
        }
        // The first line's time: the start, or better, the first hand-over
        // less the time its records took to arrive.
        if (meta) {
            p.firstLineTime = ParseSidecarTime(meta->start);
            std::optional<SSidecarFirstHandOver> first = meta->firstHandOver;
            if (p.resume > 0) {
                const SSidecarResume& r = meta->resumes[size_t(p.resume - 1)];
                first = SSidecarFirstHandOver{r.afterStart, r.records};
            }
            if (first)
                p.firstLineTime = p.firstLineTime.addMSecs(
                    std::llround((first->afterStart - double(first->records) / p.rate) * 1000.0));
        } else {
            p.firstLineTime = TimeFromRecordingName(m_o.recording);
        }
    }
    m_edfFiles = 0;
    for (const SSegmentPlan& p : m_plans)
        if (p.firstLine <= m_estimatedLines)
            ++m_edfFiles;
    return true;
}

bool CExport::StartSegment(size_t k, QString& error) {
    const SSegmentPlan& p = m_plans[k];
    const SSidecarSegment* meta = Meta(k);
    m_seg = k;
    m_inSegment = true;
    m_segLines = 0;
    if (p.resume == 0)
        m_segmentLines = 0;
    m_rate = p.rate;
    m_run = {};
    m_problemAnnotations = 0;
    std::fill(std::begin(m_held), std::end(m_held), uint16_t(0));
    ++m_segmentNumber;

    // Where its first line lies on the export's time line.
    if (m_segmentNumber == 1) {
        m_baseTime = p.firstLineTime;
        m_segOffsetUs = 0;
    } else if (m_baseTime.isValid() && p.firstLineTime.isValid()) {
        m_segOffsetUs = std::max<int64_t>(m_endUs, m_baseTime.msecsTo(p.firstLineTime) * 1000);
    } else {
        m_segOffsetUs = m_endUs;
        m_msg.Say(QStringLiteral("segment %1: its start time is not known; its times follow on "
                                 "from the lines before")
                      .arg(p.segment));
    }

    m_modes.clear();
    m_modeAt = 0;
    m_mode = SSidecarMode{};
    m_csvMarkers.clear();
    m_markerAt = 0;
    if (meta) {
        m_modes = meta->modes;
        std::stable_sort(
            m_modes.begin(), m_modes.end(),
            [](const SSidecarMode& a, const SSidecarMode& b) { return a.line < b.line; });
        // Each on the last line written before it, in the part that holds that line.
        for (const SSidecarMarker& mk : meta->markers) {
            const uint64_t row = std::max(mk.line, meta->firstLine + 1) - 1;
            if (row >= p.firstLine && (row < p.endLine || p.lastOfSegment))
                m_csvMarkers.emplace_back(row, mk.number);
        }
        std::stable_sort(m_csvMarkers.begin(), m_csvMarkers.end());
    }

    if (!m_o.edfPath.isEmpty()) {
        auto temp = std::make_unique<CTempOutput>();
        const QString path = SegmentEdfPath(m_o.edfPath, m_segmentNumber);
        if (m_segmentNumber > m_edfFiles && QFileInfo::exists(path) && !m_o.force) {
            error = QStringLiteral("%1 exists (--force overwrites it)").arg(Native(path));
            return false;
        }
        if (!temp->Create(path, error))
            return false;
        SEdfSetup setup;
        setup.layout = *ChooseDataRecord(p.rate);
        setup.start = p.firstLineTime;
        setup.equipment = QStringLiteral("Tovrel");
        setup.recordingNote = QFileInfo(m_o.recording).fileName();
        if (m_plans.size() > 1)
            setup.recordingNote +=
                QStringLiteral(" part %1/%2").arg(m_segmentNumber).arg(m_edfFiles);
        const uint64_t end = std::min<uint64_t>(p.endLine, m_estimatedLines + 1);
        setup.expectedSamples = end > p.firstLine ? end - p.firstLine : 1;
        setup.expectedAnnotations = 4 + kMaxProblemAnnotations;
        if (meta)
            setup.expectedAnnotations +=
                int(meta->modes.size() + meta->gains.size() + meta->markers.size());
        QString why;
        if (!m_edf.Open(temp->TempPath(), setup, why)) {
            error = QStringLiteral("%1: %2").arg(Native(path), why);
            return false;
        }
        m_edfOpen = true;
        if (!p.firstLineTime.isValid())
            m_msg.Say(QStringLiteral("%1: the start time is not known; the file says "
                                     "1 January 1985 (EDF's \"unknown\")")
                          .arg(Native(path)));
        m_edfTemps.push_back(std::move(temp));
    }
    return true;
}

void CExport::EndProblemRun() {
    if (m_run.count == 0)
        return;
    if (m_edfOpen) {
        const double rate = m_edf.Layout().Rate();
        const uint64_t first = m_plans[m_seg].firstLine;
        const QString what = m_run.kind == ELineKind::MarkerMissing
                                 ? QStringLiteral("No ':' in byte 1, %1 line%2")
                                 : QStringLiteral("Malformed, value held, %1 line%2");
        if (m_problemAnnotations < kMaxProblemAnnotations)
            m_edf.Annotate({double(m_run.start - first) / rate, double(m_run.count) / rate,
                            what.arg(m_run.count).arg(m_run.count == 1 ? "" : "s").toUtf8(), true});
        else if (m_problemAnnotations == kMaxProblemAnnotations)
            m_edf.Annotate({double(m_run.start - first) / rate, -1,
                            "More input problems, not annotated", true});
        ++m_problemAnnotations;
    }
    m_run = {};
}

bool CExport::EmitRow(bool last, QString& error) {
    if (!m_row.valid || m_o.csvPath.isEmpty())
        return true;
    char* p = m_csv.Reserve(error);
    if (!p)
        return false;
    const SPendingRow& r = m_row;
    p = PutUnsigned(p, r.line);
    *p++ = ',';
    p += FormatMicroseconds(r.timeUs, p);
    if (r.good) {
        for (int s = 0; s < kEdfSignalCount; ++s) {
            *p++ = ',';
            p = PutUnsigned(p, r.raw[s]);
        }
        for (int s = 0; s < 4; ++s) {
            *p++ = ',';
            p = PutUnsigned(p, r.raw[s] / kSampleDivisor);
        }
        *p++ = ',';
        p = PutInt(p, r.calibration ? CalibratePressure(r.raw[4], r.coef1) : r.raw[4]);
        *p++ = ',';
        p = PutInt(p, r.calibration ? CalibratePressure(r.raw[5], r.coef2) : r.raw[5]);
    } else {
        for (int s = 0; s < kEdfSignalCount + 6; ++s)
            *p++ = ',';
    }
    *p++ = ',';
    // Markers for this row; at a segment's end, every marker left. A row
    // takes a bounded number, the rest go on the rows that follow.
    constexpr int kMarkersPerRow = 24;
    for (int n = 0; n < kMarkersPerRow && m_markerAt < m_csvMarkers.size() &&
                    (m_csvMarkers[m_markerAt].first <= r.line || last);
         ++n, ++m_markerAt) {
        if (n > 0)
            *p++ = ';';
        p = PutInt(p, m_csvMarkers[m_markerAt].second);
    }
    *p++ = ',';
    if (r.kind == ELineKind::MarkerMissing) {
        static const char kText[] = "no-marker-byte";
        p = std::copy(kText, kText + sizeof kText - 1, p);
    } else if (!r.good) {
        static const char kText[] = "malformed";
        p = std::copy(kText, kText + sizeof kText - 1, p);
    }
    *p++ = '\n';
    m_csv.Commit(p);
    m_row.valid = false;
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
    while (!m_inSegment || line.number >= m_plans[m_seg].endLine) {
        if (m_inSegment) {
            if (!FinishSegment(error))
                return false;
            ++m_seg;
            continue;
        }
        // Segments that end before this line hold none.
        while (line.number >= m_plans[m_seg].endLine)
            ++m_seg;
        if (!StartSegment(m_seg, error))
            return false;
    }
    const uint64_t first = m_plans[m_seg].firstLine;
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
    const int64_t timeUs = m_segOffsetUs + std::llround(double(line.number - first) * 1e6 / m_rate);
    m_row.valid = true;
    m_row.line = line.number;
    m_row.timeUs = timeUs;
    m_row.good = good;
    m_row.kind = line.kind;
    std::copy(raw, raw + kEdfSignalCount, m_row.raw);
    m_row.calibration = m_mode.calibration;
    m_row.coef1 = m_mode.coef1;
    m_row.coef2 = m_mode.coef2;

    m_endUs = m_segOffsetUs + std::llround(double(line.number + 1 - first) * 1e6 / m_rate);
    m_lastLine = line.number;
    ++m_segLines;
    ++m_lines;
    return true;
}

bool CExport::FinishSegment(QString& error) {
    if (!m_inSegment)
        return true;
    m_inSegment = false;
    EndProblemRun();
    if (!EmitRow(true, error))
        return false;
    const SSegmentPlan& p = m_plans[m_seg];
    const SSidecarSegment* meta = Meta(m_seg);
    m_segmentLines += m_segLines;
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
    m_written << QStringLiteral("segment %1%2: lines %3-%4, %5 Hz (%6)%7")
                     .arg(p.segment)
                     .arg(p.resume > 0 ? QStringLiteral(" after resume %1").arg(p.resume)
                                       : QString())
                     .arg(p.firstLine)
                     .arg(m_lastLine)
                     .arg(p.rate, 0, 'f', 4)
                     .arg(p.rateSource)
                     .arg(p.firstLineTime.isValid() ? QStringLiteral(", first line at ") +
                                                          p.firstLineTime.toString(QStringLiteral(
                                                              "yyyy-MM-dd HH:mm:ss.zzz"))
                                                    : QString());
    if (!m_edfOpen)
        return true;

    // Annotations from the sidecar, each at the time of the line it names,
    // in the file that holds that line (an event after a part's last line
    // goes with the next part, unless there is none).
    const double rate = m_edf.Layout().Rate();
    auto here = [&](uint64_t line) {
        return line >= p.firstLine && (line < p.endLine || p.lastOfSegment);
    };
    auto onset = [&](uint64_t line) {
        const uint64_t l = std::clamp<uint64_t>(line, p.firstLine, m_lastLine + 1);
        return double(l - p.firstLine) / rate;
    };
    m_edf.Annotate(
        {0, -1,
         (p.resume == 0
              ? QStringLiteral("Segment %1/%2 starts at line %3")
                    .arg(p.segment)
                    .arg(m_segments)
                    .arg(p.firstLine)
              : QStringLiteral("Segment %1 resumes at line %2").arg(p.segment).arg(p.firstLine))
             .toUtf8()});
    if (meta) {
        // The mode in force where a part after a resume begins.
        if (p.resume > 0) {
            const SSidecarMode* inForce = nullptr;
            for (const SSidecarMode& m : meta->modes)
                if (m.line < p.firstLine)
                    inForce = &m;
            if (inForce)
                m_edf.Annotate({0, -1, ModeText(*inForce).toUtf8()});
        }
        for (const SSidecarMode& m : meta->modes)
            if (here(m.line))
                m_edf.Annotate({onset(m.line), -1, ModeText(m).toUtf8()});
        for (const SSidecarGain& g : meta->gains)
            if (here(g.line))
                m_edf.Annotate(
                    {onset(g.line), -1,
                     QStringLiteral("Pulse gains %1/%2 sent").arg(g.gain1).arg(g.gain2).toUtf8()});
        for (const SSidecarMarker& mk : meta->markers)
            if (here(mk.line))
                m_edf.Annotate(
                    {onset(mk.line), -1, QStringLiteral("Marker %1").arg(mk.number).toUtf8()});
    }
    QString why;
    const QString path = m_edfTemps.back()->FinalPath();
    if (!m_edf.Close(why)) {
        m_edfOpen = false;
        error = QStringLiteral("%1: %2").arg(Native(path), why);
        return false;
    }
    m_edfOpen = false;
    m_droppedAnnotations += m_edf.DroppedAnnotations();
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

int CExport::Run() {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    std::signal(SIGHUP, OnInterrupt);

    // The recording.
    const QFileInfo info(m_o.recording);
    if (!info.exists())
        return Fail(QStringLiteral("cannot read %1: no such file").arg(Native(m_o.recording)));
    if (info.isDir())
        return Fail(QStringLiteral("%1 is a folder, not a recording").arg(Native(m_o.recording)));
    QFile rec(m_o.recording);
    if (!rec.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return Fail(
            QStringLiteral("cannot read %1: %2").arg(Native(m_o.recording), rec.errorString()));
    m_size = rec.size();
    if (m_size == 0)
        return Fail(QStringLiteral("%1 is empty: it holds no records").arg(Native(m_o.recording)));
    // The panel holds a shared lock on a recording while it writes it.
    if (::flock(rec.handle(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return Fail(QStringLiteral("%1 is still being recorded (a panel has it open); stop "
                                       "the recording first")
                            .arg(Native(m_o.recording)));
    } else {
        ::flock(rec.handle(), LOCK_UN);
    }
    m_estimatedLines = uint64_t((m_size + kLineBytes - 1) / kLineBytes);

    // Its sidecar.
    const QString sidecarPath = SidecarPathFor(m_o.recording);
    if (!m_o.noSidecar && QFileInfo::exists(sidecarPath)) {
        QString why;
        if (!ReadSidecar(sidecarPath, m_sidecar, why))
            return Fail(QStringLiteral("the sidecar %1 cannot be used: %2 (--no-sidecar exports "
                                       "without it)")
                            .arg(Native(sidecarPath), why));
        m_haveSidecar = true;
    }

    QString error;
    if (!PlanSegments(error) || !CheckOutputs(error))
        return Fail(error);
    if (!m_o.csvPath.isEmpty()) {
        QString why;
        if (!m_csvTemp.Create(m_o.csvPath, error))
            return Fail(error);
        if (!m_csv.Open(m_csvTemp.TempPath(), why))
            return Fail(QStringLiteral("%1: %2").arg(Native(m_o.csvPath), why));
        static const char kHeader[] =
            "line,time_s,pulse1_raw,pulse2_raw,ecg_raw,heart_sound_raw,pressure1_raw,"
            "pressure2_raw,pulse1,pulse2,ecg,heart_sound,pressure1,pressure2,marker,problem\n";
        char* p = m_csv.Reserve(why);
        m_csv.Commit(std::copy(kHeader, kHeader + sizeof kHeader - 1, p));
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
                error = QStringLiteral("interrupted; nothing written");
                break;
            }
            m_msg.Progress(reader.BytesRead(), m_size, m_lines);
        }
    }
    if (error.isEmpty() && reader.Failed())
        error = QStringLiteral("cannot read %1: %2").arg(Native(m_o.recording), reader.Error());
    if (error.isEmpty() && g_interrupted)
        error = QStringLiteral("interrupted; nothing written");
    if (error.isEmpty())
        FinishSegment(error);
    if (error.isEmpty() && m_lines == 0)
        error = QStringLiteral("%1 holds no records").arg(Native(m_o.recording));
    QString why;
    if (error.isEmpty() && !m_o.csvPath.isEmpty() && !m_csv.Close(why))
        error = QStringLiteral("%1: %2").arg(Native(m_o.csvPath), why);
    m_msg.ClearProgress();
    if (!error.isEmpty()) {
        m_edf.Abandon();
        return Fail(error); // the temporary files go with their owners
    }

    // Everything is whole: give the files their names.
    std::vector<CTempOutput*> outputs;
    if (!m_o.csvPath.isEmpty())
        outputs.push_back(&m_csvTemp);
    for (auto& t : m_edfTemps)
        outputs.push_back(t.get());
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (!outputs[i]->Commit(m_o.force, error)) {
            for (size_t j = 0; j < i; ++j)
                outputs[j]->Withdraw();
            return Fail(error);
        }
    }

    m_msg.Say(QStringLiteral("%1: %2 lines in %3 segment%4")
                  .arg(Native(m_o.recording))
                  .arg(m_lines)
                  .arg(m_segments)
                  .arg(m_segments == 1 ? "" : "s"));
    for (const QString& w : m_written)
        m_msg.Say(w);
    if (!m_o.csvPath.isEmpty())
        m_msg.Say(QStringLiteral("%1: %2 rows").arg(Native(m_o.csvPath)).arg(m_lines));
    if (m_missing.count > 0)
        m_msg.Say(QStringLiteral("%1 line(s) without the record marker ':' in byte 1, exported as "
                                 "they stand: line %2")
                      .arg(m_missing.count)
                      .arg(LineList(m_missing.first, m_missing.count)));
    if (m_malformed.count > 0)
        m_msg.Say(QStringLiteral("%1 malformed line(s) skipped (EDF+: the sample before held; "
                                 "CSV: empty values): line %2")
                      .arg(m_malformed.count)
                      .arg(LineList(m_malformed.first, m_malformed.count)));
    if (reader.CutOffBytes() > 0)
        m_msg.Say(QStringLiteral("the last %1 bytes are not a whole line (cut off when the "
                                 "recording ended abruptly) and were left out")
                      .arg(reader.CutOffBytes()));
    if (m_droppedAnnotations > 0)
        m_msg.Say(QStringLiteral("%1 annotation(s) did not fit in the EDF+ file(s)")
                      .arg(m_droppedAnnotations));
    return kExitOk;
}

} // namespace

int RunExport(const SExportOptions& options, std::FILE* messages) {
    CExport job(options, messages);
    return job.Run();
}
