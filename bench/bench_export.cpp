// tovrel-bench-export: how long tovrel-export takes, and how much memory, on a
// long recording at the full line rate.
//
//   tovrel-bench-export --export PATH [--seconds S] [--resumes N] [--segments N]
//                       [--dir DIR] [--keep]
//
// Generates a recording of S seconds (default 3600) of the simulated device's
// waves at 92600/15 records a second, with its sidecar (measured rate, mode
// changes, a gain, markers) and a few lines without the record marker, into a
// folder of its own under DIR (default /tmp). Then runs the program twice,
// to EDF+ and to CSV, each a child process timed on the wall clock, its peak
// resident size taken from wait4(). With --resumes N the same recording is
// exported again with a sidecar in which the stream resumed N times (N + 1
// EDF+ files), with --segments N with one that splits it into N segments,
// each with a rate of its own. The files are deleted afterwards unless
// --keep. Prints one "RESULT kind=export key=value ..." line.

#include "acquisition/Recorder.h"
#include "acquisition/Sidecar.h"
#include "tools/SimDevice.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kLineRate = 92600.0 / kRecordSize; // 6173.33 records a second
// What the panel measures of such a stream: never the line's rate exactly,
// so no data record holds it exactly either.
constexpr double kMeasuredRate = 6173.2917043;
// The waves repeat after a minute; the file is that minute over and over,
// so generating an hour costs little beside writing it.
constexpr long kBlockRecords = 370400;        // 60 s
constexpr long kMarkerMissingEvery = 5000001; // a few such lines in an hour

struct Child {
    bool ok = false;
    double seconds = 0;
    long peakKb = 0;
    int status = 0;
};

// The export's messages go to `log` (one line a stretch of the recording
// for the first few, so thousands of parts say little).
Child RunChild(const std::vector<std::string>& args, const std::string& log = "/dev/null") {
    Child c;
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid < 0)
        return c;
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0)
            dup2(fd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    struct rusage usage = {};
    if (wait4(pid, &c.status, 0, &usage) != pid)
        return c;
    c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    c.peakKb = usage.ru_maxrss;
    c.ok = WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0;
    return c;
}

long long FileSize(const QString& path) {
    return QFileInfo(path).size();
}

// The end of what the exports said, when one failed.
void ShowLog(const QTemporaryDir& dir) {
    QFile f(dir.filePath(QStringLiteral("export.log")));
    if (!f.open(QIODevice::ReadOnly))
        return;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (qsizetype i = std::max<qsizetype>(0, lines.size() - 20); i < lines.size(); ++i)
        std::fprintf(stderr, "  %s\n", lines[i].constData());
}

// Removes the EDF+ files an export wrote (out.edf, out-2.edf, ...); returns
// how many there were.
long RemoveEdfFiles(const QString& dir) {
    long n = 0;
    for (const QString& name : QDir(dir).entryList({QStringLiteral("out*.edf")}, QDir::Files)) {
        QFile::remove(QDir(dir).filePath(name));
        ++n;
    }
    return n;
}

struct Variant {
    bool ok = true;
    Child edf, csv;
    long edfFiles = 0;
};

// Both exports of the recording with the sidecar as it now stands.
Variant ExportBoth(const std::string& exe, const QString& rec, const QTemporaryDir& dir) {
    Variant v;
    const std::string recPath = QFile::encodeName(rec).toStdString();
    const QString edf = dir.filePath(QStringLiteral("out.edf"));
    const QString csv = dir.filePath(QStringLiteral("out.csv"));
    const std::string log =
        QFile::encodeName(dir.filePath(QStringLiteral("export.log"))).toStdString();
    v.edf = RunChild({exe, recPath, "--edf", QFile::encodeName(edf).toStdString()}, log);
    v.edfFiles = RemoveEdfFiles(dir.path());
    v.csv = RunChild({exe, recPath, "--csv", QFile::encodeName(csv).toStdString()}, log);
    QFile::remove(csv);
    v.ok = v.edf.ok && v.csv.ok;
    return v;
}

// The sidecar's segment split at n - 1 places into segments of their own,
// each measured at a slightly different rate, a short gap before each.
SSidecar SplitIntoSegments(const SSidecar& one, long n) {
    SSidecar sc = one;
    const SSidecarSegment& whole = one.segments.front();
    const QDateTime start = ParseSidecarTime(whole.start);
    sc.segments.clear();
    const uint64_t lines = whole.records;
    for (long k = 0; k < n; ++k) {
        const uint64_t first = 1 + lines * uint64_t(k) / uint64_t(n);
        const uint64_t end = 1 + lines * uint64_t(k + 1) / uint64_t(n);
        SSidecarSegment s;
        const double at = double(first - 1) / kLineRate + 0.5 * double(k);
        s.start = SidecarTime(start.addMSecs(qint64(at * 1000)));
        s.stop = SidecarTime(start.addMSecs(qint64((at + double(end - first) / kLineRate) * 1000)));
        s.firstLine = first;
        s.records = end - first;
        s.firstHandOver = SSidecarFirstHandOver{0.011, std::min<uint64_t>(68, s.records)};
        const double hz = kMeasuredRate * (1 + 1e-7 * double(k % 13));
        if (s.records > 68) {
            s.rate = MeasuredRate(s.records - 68, double(s.records - 68) / hz);
            s.rate->uncertaintyHz = 0.01;
        }
        s.port = whole.port;
        for (const SSidecarMode& m : whole.modes)
            if (m.line >= first && m.line < end)
                s.modes.push_back(m);
        if (s.modes.empty() || s.modes.front().line != first)
            s.modes.insert(s.modes.begin(), {first, s.start, false, 100, 100});
        for (const SSidecarGain& g : whole.gains)
            if (g.line >= first && g.line < end)
                s.gains.push_back(g);
        for (const SSidecarMarker& m : whole.markers)
            if (m.line >= first && m.line < end)
                s.markers.push_back(m);
        sc.segments.push_back(s);
    }
    return sc;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString tool, base = QStringLiteral("/tmp");
    double seconds = 3600;
    long resumes = 0, segments = 0;
    bool keep = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (args[i] == "--export")
            tool = next, ++i;
        else if (args[i] == "--seconds")
            seconds = next.toDouble(), ++i;
        else if (args[i] == "--resumes")
            resumes = next.toLong(), ++i;
        else if (args[i] == "--segments")
            segments = next.toLong(), ++i;
        else if (args[i] == "--dir")
            base = next, ++i;
        else if (args[i] == "--keep")
            keep = true;
        else {
            std::fprintf(stderr, "usage: tovrel-bench-export --export PATH [--seconds S] "
                                 "[--resumes N] [--segments N] [--dir DIR] [--keep]\n");
            return 2;
        }
    }
    if (tool.isEmpty() || !QFileInfo(tool).isExecutable() || !(seconds > 0)) {
        std::fprintf(stderr, "tovrel-bench-export: --export must name tovrel-export\n");
        return 2;
    }

    QTemporaryDir dir(base + QStringLiteral("/tovrel-bench-export.XXXXXX"));
    dir.setAutoRemove(!keep);
    if (!dir.isValid()) {
        std::fprintf(stderr, "tovrel-bench-export: cannot make a folder in %s\n", qPrintable(base));
        return 1;
    }
    const QString rec = dir.filePath(QStringLiteral("20261207100000.txt"));
    const long lines = long(seconds * kLineRate);

    // The recording: one minute of lines, written again and again.
    const auto genStart = std::chrono::steady_clock::now();
    {
        simdev::WaveformGenerator waves(kLineRate, 72);
        simdev::DeviceState state;
        const long block = std::min(lines, kBlockRecords);
        std::vector<char> text(size_t(block) * kRecordLineSize);
        for (long i = 0; i < block; ++i) {
            const simdev::Record r = simdev::BuildRecord(uint8_t(i), waves.At(uint64_t(i), state));
            FormatRecordLine(r.data(), text.data() + size_t(i) * kRecordLineSize);
        }
        std::FILE* f = std::fopen(QFile::encodeName(rec).constData(), "wb");
        if (!f) {
            std::fprintf(stderr, "tovrel-bench-export: cannot write %s\n", qPrintable(rec));
            return 1;
        }
        for (long done = 0; done < lines;) {
            const long n = std::min(block, lines - done);
            // A line without the marker now and then takes the reporting path.
            for (long k = (done / kMarkerMissingEvery + 1) * kMarkerMissingEvery; k < done + n;
                 k += kMarkerMissingEvery)
                std::memcpy(text.data() + size_t(k - done) * kRecordLineSize + 3, "00", 2);
            std::fwrite(text.data(), kRecordLineSize, size_t(n), f);
            for (long k = (done / kMarkerMissingEvery + 1) * kMarkerMissingEvery; k < done + n;
                 k += kMarkerMissingEvery)
                std::memcpy(text.data() + size_t(k - done) * kRecordLineSize + 3, "3A", 2);
            done += n;
        }
        if (std::fclose(f) != 0) {
            std::fprintf(stderr, "tovrel-bench-export: cannot write %s\n", qPrintable(rec));
            return 1;
        }
    }

    // Its sidecar, as the panel would leave it.
    SSidecar sc;
    sc.recording = QFileInfo(rec).fileName();
    sc.programVersion = SidecarProgramVersion();
    SSidecarSegment seg;
    const QDateTime start(QDate(2026, 12, 7), QTime(10, 0, 0, 123), Qt::UTC);
    seg.start = SidecarTime(start);
    seg.stop = SidecarTime(start.addMSecs(qint64(seconds * 1000) + 20));
    seg.records = uint64_t(lines);
    seg.firstHandOver = SSidecarFirstHandOver{0.011, 68};
    seg.rate = MeasuredRate(uint64_t(lines - 68), (lines - 68) / kMeasuredRate);
    seg.port = {QStringLiteral("COM1"), true, QStringLiteral("926000,n,8,1")};
    seg.modes.push_back({1, seg.start, false, 100, 100});
    for (int m = 1; m <= 20; ++m) {
        const uint64_t line = uint64_t(lines) * uint64_t(m) / 21;
        seg.markers.push_back({m, line, seg.start});
        if (m % 5 == 0)
            seg.modes.push_back({line, seg.start, m % 10 == 5, 100, 50});
    }
    seg.gains.push_back({uint64_t(lines) / 3, seg.start, 10, 20});
    sc.segments.push_back(seg);
    QString error;
    if (!WriteSidecar(SidecarPathFor(rec), sc, error)) {
        std::fprintf(stderr, "tovrel-bench-export: %s\n", qPrintable(error));
        return 1;
    }
    const double genSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - genStart).count();
    const long long recBytes = FileSize(rec);

    const std::string exe = QFile::encodeName(tool).toStdString();
    const std::string recPath = QFile::encodeName(rec).toStdString();
    const QString edf = dir.filePath(QStringLiteral("out.edf"));
    const QString csv = dir.filePath(QStringLiteral("out.csv"));
    const std::string log =
        QFile::encodeName(dir.filePath(QStringLiteral("export.log"))).toStdString();
    const Child e = RunChild({exe, recPath, "--edf", QFile::encodeName(edf).toStdString()}, log);
    const long long edfBytes = FileSize(edf);
    QFile::remove(edf);
    const Child c = RunChild({exe, recPath, "--csv", QFile::encodeName(csv).toStdString()}, log);
    const long long csvBytes = FileSize(csv);
    QFile::remove(csv);
    if (!e.ok || !c.ok) {
        std::fprintf(stderr, "tovrel-bench-export: the export failed (status %d, %d)\n", e.status,
                     c.status);
        ShowLog(dir);
        return 1;
    }
    std::string more;
    auto variant = [&](const char* key, long n, const SSidecar& sidecar) {
        // Without the panel's indentation: 100,000 segments take 104 MB
        // indented, 48 MB so, and a sidecar reader may take only 64 MB.
        QString why;
        QFile side(SidecarPathFor(rec));
        const QByteArray json =
            QJsonDocument::fromJson(SidecarToJson(sidecar)).toJson(QJsonDocument::Compact);
        if (!side.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            side.write(json) != json.size()) {
            std::fprintf(stderr, "tovrel-bench-export: cannot write %s\n",
                         qPrintable(side.fileName()));
            return false;
        }
        side.close();
        const Variant v = ExportBoth(exe, rec, dir);
        if (!v.ok) {
            std::fprintf(stderr,
                         "tovrel-bench-export: the export with %ld %s failed (status %d, "
                         "%d)\n",
                         n, key, v.edf.status, v.csv.status);
            ShowLog(dir);
            return false;
        }
        char text[400];
        std::snprintf(text, sizeof text,
                      " %s=%ld %s_edf_s=%.2f %s_edf_peak_kb=%ld %s_edf_files=%ld %s_csv_s=%.2f "
                      "%s_csv_peak_kb=%ld",
                      key, n, key, v.edf.seconds, key, v.edf.peakKb, key, v.edfFiles, key,
                      v.csv.seconds, key, v.csv.peakKb);
        more += text;
        return true;
    };
    if (resumes > 0) {
        // The stream paused and resumed evenly over the hour, 0.2 s each time.
        SSidecar withResumes = sc;
        SSidecarSegment& s = withResumes.segments.front();
        for (long r = 1; r <= resumes; ++r) {
            const uint64_t line = 1 + uint64_t(lines) * uint64_t(r) / uint64_t(resumes + 1);
            s.resumes.push_back({line, double(line - 1) / kMeasuredRate + 0.2 * double(r), 68});
        }
        if (!variant("resumes", resumes, withResumes))
            return 1;
    }
    if (segments > 1 && !variant("segments", segments, SplitIntoSegments(sc, segments)))
        return 1;
    if (!keep) {
        QFile::remove(rec);
        QFile::remove(SidecarPathFor(rec));
        QFile::remove(dir.filePath(QStringLiteral("export.log")));
    }
    std::printf("RESULT kind=export seconds=%.0f lines=%ld rec_bytes=%lld gen_s=%.2f edf_s=%.2f "
                "edf_peak_kb=%ld edf_bytes=%lld csv_s=%.2f csv_peak_kb=%ld csv_bytes=%lld%s\n",
                seconds, lines, recBytes, genSeconds, e.seconds, e.peakKb, edfBytes, c.seconds,
                c.peakKb, csvBytes, more.c_str());
    return 0;
}
