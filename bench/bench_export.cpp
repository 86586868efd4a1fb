// tovrel-bench-export: how long tovrel-export takes, and how much memory, on a
// long recording at the full line rate.
//
//   tovrel-bench-export --export PATH [--seconds S] [--dir DIR] [--keep]
//
// Generates a recording of S seconds (default 3600) of the simulated device's
// waves at 92600/15 records a second, with its sidecar (measured rate, mode
// changes, a gain, markers) and a few lines without the record marker, into a
// folder of its own under DIR (default /tmp). Then runs the program twice,
// to EDF+ and to CSV, each a child process timed on the wall clock, its peak
// resident size taken from wait4(). The files are deleted afterwards unless
// --keep. Prints one "RESULT kind=export key=value ..." line.

#include "acquisition/Recorder.h"
#include "acquisition/Sidecar.h"
#include "tools/SimDevice.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kLineRate = 92600.0 / 15; // 6173.33 records a second
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

Child RunChild(const std::vector<std::string>& args) {
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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString tool, base = QStringLiteral("/tmp");
    double seconds = 3600;
    bool keep = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (args[i] == "--export")
            tool = next, ++i;
        else if (args[i] == "--seconds")
            seconds = next.toDouble(), ++i;
        else if (args[i] == "--dir")
            base = next, ++i;
        else if (args[i] == "--keep")
            keep = true;
        else {
            std::fprintf(stderr, "usage: tovrel-bench-export --export PATH [--seconds S] "
                                 "[--dir DIR] [--keep]\n");
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
    seg.rate = MeasuredRate(uint64_t(lines - 68), (lines - 68) / kLineRate);
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
    const Child e = RunChild({exe, recPath, "--edf", QFile::encodeName(edf).toStdString()});
    const long long edfBytes = FileSize(edf);
    QFile::remove(edf);
    const Child c = RunChild({exe, recPath, "--csv", QFile::encodeName(csv).toStdString()});
    const long long csvBytes = FileSize(csv);
    QFile::remove(csv);
    if (!keep) {
        QFile::remove(rec);
        QFile::remove(SidecarPathFor(rec));
    }
    if (!e.ok || !c.ok) {
        std::fprintf(stderr, "tovrel-bench-export: the export failed (status %d, %d)\n", e.status,
                     c.status);
        return 1;
    }
    std::printf("RESULT kind=export seconds=%.0f lines=%ld rec_bytes=%lld gen_s=%.2f edf_s=%.2f "
                "edf_peak_kb=%ld edf_bytes=%lld csv_s=%.2f csv_peak_kb=%ld csv_bytes=%lld\n",
                seconds, lines, recBytes, genSeconds, e.seconds, e.peakKb, edfBytes, c.seconds,
                c.peakKb, csvBytes);
    return 0;
}
