// tovrel-bench-drive: the panel in a process of its own, recording the
// simulated device, for the soak (bench/soak.sh) and for the test that kills
// it (tests/tst_panel_kill):
//   tovrel-bench-drive --port N [--seconds S] [--calib-period P]
//                      [--status-every S] [--report-records] [--record-only]
// It records into the panel's recording folder (its own program's folder
// when it may write there), opens COMn, starts sampling, sets a marker a
// second and prints "READY FILE"; with --seconds 0 (the default) it runs
// until killed. Otherwise it ends in order and prints a RESULT line.
// --report-records prints "D LINE DROPS" for every decoded record, after its
// buffer was written and flushed; --record-only starts a recording, prints
// where it went and the log's line, and ends.
#include "acquisition/RecordFormat.h"
#include "bench/BenchSupport.h"
#include "platform/Fonts.h"
#include "platform/MessageBox.h"
#include "platform/PortMap.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <unistd.h>

namespace {

void Pump(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct DriverOptions {
    int port = 0;
    double seconds = 0;      // 0: until killed
    double calibPeriod = 0;  // switch between test and calibration mode this often
    double statusEvery = 10; // seconds between status lines
    bool reportRecords = false;
    bool recordOnly = false; // start a recording, say where it went, end
};

// Recordings are named after their start time: 14 digits and ".txt".
QStringList RecordingFiles(const QString& dir) {
    const QRegularExpression name(QStringLiteral("^\\d{14}\\.txt$"));
    QStringList out;
    for (const QString& f : QDir(dir).entryList(QDir::Files))
        if (name.match(f).hasMatch())
            out << QDir(dir).filePath(f);
    return out;
}

bool IsErrorLine(const QString& line) {
    return line.contains(QStringLiteral("失败")) || line.contains(QStringLiteral("中断")) ||
           line.contains(QStringLiteral("错误"));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The port map where tovrel-simdevice keeps it under TOVREL_TEST_MODE=1,
    // below the HOME the caller gives.
    QStandardPaths::setTestModeEnabled(true);
    SetTovrelApplicationNames();
    InstallFontSubstitutions();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    DriverOptions o;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args[i + 1] : QString();
        if (args[i] == "--port")
            o.port = next.toInt(), ++i;
        else if (args[i] == "--seconds")
            o.seconds = next.toDouble(), ++i;
        else if (args[i] == "--calib-period")
            o.calibPeriod = next.toDouble(), ++i;
        else if (args[i] == "--status-every")
            o.statusEvery = next.toDouble(), ++i;
        else if (args[i] == "--report-records")
            o.reportRecords = true;
        else if (args[i] == "--record-only")
            o.recordOnly = true;
    }
    if (o.port < 1 || o.port > 16) {
        std::fprintf(stderr, "driver: --port 1..16 is needed\n");
        return 2;
    }

    std::atomic<int> errors{0};
    SetMessageBoxHook([&](const QString& text) {
        ++errors;
        std::fprintf(stderr, "message box: %s\n", qPrintable(text));
    });

    CTovrelDlg dlg;
    dlg.Create();
    dlg.show();
    auto click = [&](int id) { qobject_cast<QAbstractButton*>(dlg.GetDlgItem(id))->click(); };

    // Every decoded record passes here on the worker thread, after its whole
    // buffer has been written and flushed; the test reads these lines after
    // the kill to know what the file must hold.
    std::atomic<uint64_t> decoded{0};
    dlg.m_decodeTap = [&](const std::uint8_t* rec) {
        decoded.fetch_add(1, std::memory_order_relaxed);
        if (!o.reportRecords)
            return;
        char line[kRecordLineSize];
        FormatRecordLine(rec, line);
        char out[128];
        const uint64_t drops = dlg.m_recv.ChunksTooLarge() + dlg.m_recv.ChunksNextHeld();
        const int n = std::snprintf(out, sizeof out, "D %.*s%llu\n", kRecordLineSize - 2, line,
                                    static_cast<unsigned long long>(drops));
        // One write per line: a pipe keeps it whole.
        [[maybe_unused]] const ssize_t w = ::write(STDOUT_FILENO, out, size_t(n));
    };

    qsizetype logMax = 0;
    QObject::connect(&dlg.m_editHistory, &QPlainTextEdit::textChanged, [&] {
        const QString& text = dlg.m_editHistory.GetWindowText();
        logMax = std::max(logMax, dlg.m_editHistory.GetWindowTextBytes());
        const QString last = text.mid(text.lastIndexOf(QStringLiteral("\r\n")) + 1);
        if (IsErrorLine(last)) {
            ++errors;
            std::fprintf(stderr, "log: %s\n", qPrintable(last.trimmed()));
        }
    });
    QObject::connect(&dlg.m_comm, &CMscomm1::PortLost, [&](const QString& reason) {
        ++errors;
        std::fprintf(stderr, "port lost: %s\n", qPrintable(reason));
    });

    const QString dir = QString::fromStdString(RecordingDir());
    const QStringList before = RecordingFiles(dir);
    dlg.m_cbComPort->setCurrentIndex(o.port - 1);
    click(IDC_BUTTON_SAVEFILE);
    QString file;
    for (const QString& f : RecordingFiles(dir))
        if (!before.contains(f))
            file = f;
    if (file.isEmpty() || dlg.GetDlgItem(IDC_BUTTON_SAVEFILE)->isEnabled()) {
        std::fprintf(stderr, "driver: the recording did not start in %s\n", qPrintable(dir));
        return 3;
    }
    if (o.recordOnly) {
        const QString& log = dlg.m_editHistory.GetWindowText();
        std::printf("READY %s\nLOG %s\n", qPrintable(file),
                    qPrintable(log.mid(log.lastIndexOf(QStringLiteral("\r\n")) + 1).trimmed()));
        click(IDC_BUTTON_STOPSAVE);
        dlg.close();
        return 0;
    }
    click(IDC_BUTTON_OPENPORT);
    if (dlg.m_bPortOpen != 1) {
        std::fprintf(stderr, "driver: COM%d did not open\n", o.port);
        return 3;
    }
    click(IDC_BUTTON_START);
    // A marker at once and one a second: each rewrites the sidecar, so a
    // kill finds one written at some moment of the recording.
    dlg.OnMarkerKey();
    QTimer markerTimer;
    QObject::connect(&markerTimer, &QTimer::timeout, [&] { dlg.OnMarkerKey(); });
    markerTimer.start(1000);
    std::printf("READY %s\n", qPrintable(file));

    QElapsedTimer clock;
    clock.start();
    auto status = [&](const char* kind) {
        std::printf("%s t=%.1f rss_kb=%ld log_bytes=%lld log_max=%lld decoded=%llu "
                    "handovers=%llu processed=%llu too_large=%llu next_held=%llu "
                    "deferred=%llu bytes_skipped=%llu steps_lost=%llu errors=%d calib=%d\n",
                    kind, clock.elapsed() / 1000.0, bench::ResidentKb(),
                    static_cast<long long>(dlg.m_editHistory.GetWindowTextBytes()),
                    static_cast<long long>(logMax), static_cast<unsigned long long>(decoded.load()),
                    static_cast<unsigned long long>(dlg.m_recv.HandOvers()),
                    static_cast<unsigned long long>(dlg.m_recv.BuffersProcessed()),
                    static_cast<unsigned long long>(dlg.m_recv.ChunksTooLarge()),
                    static_cast<unsigned long long>(dlg.m_recv.ChunksNextHeld()),
                    static_cast<unsigned long long>(dlg.m_recv.ChunksDeferred()),
                    static_cast<unsigned long long>(dlg.m_recv.BytesSkipped()),
                    static_cast<unsigned long long>(dlg.m_recv.StepsLost()), errors.load(),
                    dlg.m_bTestMode.load() == 0 ? 1 : 0);
    };
    QTimer statusTimer;
    QObject::connect(&statusTimer, &QTimer::timeout, [&] { status("STATUS"); });
    statusTimer.start(int(o.statusEvery * 1000));

    // Calibration mode is offered after a zero calibration and only while
    // sampling is stopped; test mode can be chosen at any time.
    QTimer modeTimer;
    QObject::connect(&modeTimer, &QTimer::timeout, [&] {
        if (dlg.m_bTestMode.load() != 0) {
            click(IDC_BUTTON_STOP);
            click(IDC_BUTTON_ZERO);
            click(IDC_RADIO_CALIB);
            click(IDC_BUTTON_START);
        } else {
            click(IDC_RADIO_TEST);
        }
    });
    if (o.calibPeriod > 0)
        modeTimer.start(int(o.calibPeriod * 1000));

    int rc = 0;
    if (o.seconds > 0)
        QTimer::singleShot(int(o.seconds * 1000), [&] {
            statusTimer.stop();
            markerTimer.stop();
            modeTimer.stop();
            click(IDC_BUTTON_STOP);
            Pump(300);
            click(IDC_BUTTON_CLOSEPORT);
            // No chunk comes any more; the worker finishes what it was handed.
            QElapsedTimer wait;
            wait.start();
            auto busy = [&] {
                for (int i = 0; i < kRecvBufCount; ++i)
                    if (dlg.m_recv.IsReady(i))
                        return true;
                return false;
            };
            while (busy() && wait.elapsed() < 10000)
                Pump(20);
            // Stopping the recording hands over what the closed port still
            // kept, which came before the stop and is the recording's too:
            // the worker writes that as well before anything is counted.
            click(IDC_BUTTON_STOPSAVE);
            while (busy() && wait.elapsed() < 10000)
                Pump(20);
            // Ten records are skipped for every one decoded, over the panel's
            // whole life, so this is every record the worker cut. The acquire
            // of the ready flags above orders the counter's read after the
            // worker's last update.
            const uint64_t cut =
                decoded.load() * (kRecordDecimation + 1) + uint64_t(dlg.m_recv.RecordCount());
            const qint64 bytes = QFileInfo(file).size();
            status("FINAL");
            std::printf("RESULT file=%s file_bytes=%lld records_cut=%llu "
                        "expected_bytes=%llu errors=%d log_max=%lld\n",
                        qPrintable(file), bytes, static_cast<unsigned long long>(cut),
                        static_cast<unsigned long long>(cut * kRecordLineSize), errors.load(),
                        static_cast<long long>(logMax));
            rc = (busy() || uint64_t(bytes) != cut * kRecordLineSize || errors.load() != 0) ? 1 : 0;
            dlg.close();
            QCoreApplication::quit();
        });
    app.exec();
    return rc;
}
