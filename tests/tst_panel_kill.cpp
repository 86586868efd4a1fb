// The panel as a process of its own, recording the simulated device at the
// full line rate, killed without warning: what the recording file holds
// afterwards must be whole, correct records up to the buffer in hand. And the
// device process killed under a recording panel: the recording goes on, and
// so does the stream once the device is back.
//
// The same program is also the driver that runs the panel in that process:
//   tst_panel_kill --drive --port N [--seconds S] [--calib-period P]
//                  [--status-every S] [--report-records]
// It records into its own folder, opens COMn, starts sampling and prints
// "READY"; with --seconds 0 (the default) it runs until killed. Otherwise it
// ends in order and prints a RESULT line (bench/soak.sh reads it).
#include "acquisition/Recorder.h"
#include "acquisition/Sidecar.h"
#include "platform/MessageBox.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"
#include "support/panelsupport.h"
#include "support/testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kDevicePort = 14;

// ---------------------------------------------------------------- driver

struct DriverOptions {
    int port = 0;
    double seconds = 0;      // 0: until killed
    double calibPeriod = 0;  // switch between test and calibration mode this often
    double statusEvery = 10; // seconds between status lines
    bool reportRecords = false;
    bool recordOnly = false; // start a recording, say where it went, end
};

long ResidentKb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression rss(QStringLiteral("^VmRSS:\\s+(\\d+)"),
                                 QRegularExpression::MultilineOption);
    const auto m = rss.match(QString::fromLatin1(f.readAll()));
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

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

int RunDriver(int argc, char** argv) {
    QApplication app(argc, argv);
    InitPanelTestApp();
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
                    kind, clock.elapsed() / 1000.0, ResidentKb(),
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
            QTest::qWait(300);
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
                QTest::qWait(20);
            // Ten records are skipped for every one decoded, over the panel's
            // whole life, so this is every record the worker cut. The acquire
            // of the ready flags above orders the counter's read after the
            // worker's last update.
            const uint64_t cut =
                decoded.load() * (kRecordDecimation + 1) + uint64_t(dlg.m_recv.RecordCount());
            click(IDC_BUTTON_STOPSAVE);
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

// ---------------------------------------------------------------- test

QString SimDevicePath() {
    return QCoreApplication::applicationDirPath() + "/../tools/tovrel-simdevice";
}

QString ExportPath() {
    return QCoreApplication::applicationDirPath() + "/../tools/export/tovrel-export";
}

// A recording line: 15 groups of two upper-case hex digits and a space, CR LF.
bool ParseLine(const char* p, uint8_t rec[kRecordSize]) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    for (int i = 0; i < kRecordSize; ++i) {
        const int hi = hex(p[3 * i]), lo = hex(p[3 * i + 1]);
        if (hi < 0 || lo < 0 || p[3 * i + 2] != ' ')
            return false;
        rec[i] = uint8_t(hi * 16 + lo);
    }
    return p[45] == '\r' && p[46] == '\n';
}

// The simulated device's records: the marker, and byte 14 the sum of 0..13.
bool DeviceRecordIntact(const uint8_t* rec) {
    unsigned sum = 0;
    for (int i = 0; i < kRecordSize - 1; ++i)
        sum += rec[i];
    return rec[1] == kRecordMarker && uint8_t(sum) == rec[kRecordSize - 1];
}

// a and b are consecutive lines of one buffer that began s bytes into a
// record: bytes s..14 of a and 0..s-1 of b make one whole record.
bool HoldsShiftedRecord(const std::array<uint8_t, kRecordSize>& a,
                        const std::array<uint8_t, kRecordSize>& b) {
    for (int s = 1; s < kRecordSize; ++s) {
        uint8_t rec[kRecordSize];
        std::memcpy(rec, a.data() + s, size_t(kRecordSize - s));
        std::memcpy(rec + kRecordSize - s, b.data(), size_t(s));
        if (DeviceRecordIntact(rec))
            return true;
    }
    return false;
}

// Lines [from, to) of a recording that are neither the device's records nor
// slices of them: a buffer that began s bytes into a record holds the
// device's bytes shifted by s, so each of its lines and a neighbour make a
// whole record at offset s.
int ForeignLines(const QByteArray& text, qsizetype from, qsizetype to) {
    std::vector<std::array<uint8_t, kRecordSize>> recs(static_cast<size_t>(to - from));
    for (qsizetype k = from; k < to; ++k)
        if (!ParseLine(text.constData() + k * kRecordLineSize, recs[size_t(k - from)].data()))
            return int(to - from); // torn: nothing here can be trusted
    int foreign = 0;
    for (size_t k = 0; k < recs.size(); ++k)
        if (!DeviceRecordIntact(recs[k].data()) &&
            !(k > 0 && HoldsShiftedRecord(recs[k - 1], recs[k])) &&
            !(k + 1 < recs.size() && HoldsShiftedRecord(recs[k], recs[k + 1])))
            ++foreign;
    return foreign;
}

bool WorkerIdle(const CTovrelDlg& dlg) {
    for (int i = 0; i < kRecvBufCount; ++i)
        if (dlg.m_recv.IsReady(i))
            return false;
    return true;
}

} // namespace

class TestPanelKill : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    QProcess m_device;

    // Starts the simulated device on COMn and waits until it serves.
    bool StartDevice() {
        m_device.start(SimDevicePath(), {"--port", QString("COM%1").arg(kDevicePort)});
        if (!m_device.waitForStarted())
            return false;
        QElapsedTimer t;
        t.start();
        while (!m_device.canReadLine() && m_device.state() == QProcess::Running &&
               t.elapsed() < 20000)
            m_device.waitForReadyRead(100);
        return m_device.readLine().startsWith("serving COM");
    }

private slots:
    void initTestCase() {
        // The port map lives under the home folder, which the device and the
        // panel processes inherit: a home of our own keeps our link away from
        // other programs'.
        QVERIFY(m_home.isValid());
        qputenv("HOME", QFile::encodeName(m_home.path()));
        InitPanelTestApp();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TOVREL_TEST_MODE", "1");
        m_device.setProcessEnvironment(env);
        QVERIFY2(StartDevice(), qPrintable(SimDevicePath()));
    }
    void cleanupTestCase() {
        if (m_device.state() == QProcess::NotRunning)
            return;
        m_device.terminate(); // the device removes its port link on the way out
        if (!m_device.waitForFinished(10000))
            m_device.kill();
    }

    // Installed where the user may not write (bin/ of a prefix owned by
    // root, as cmake --install or the package leaves it), the panel records
    // into the user's documents folder and says so in the log.
    void installedPanelRecordsIntoTheDocumentsFolder() {
        const passwd* pw = ::getpwnam("nobody");
        if (::geteuid() != 0 || !pw)
            QSKIP("running the panel as a plain user needs root and the user nobody");
        QTemporaryDir prefix, home;
        QVERIFY(prefix.isValid() && home.isValid());
        const QString bin = prefix.filePath("bin");
        QVERIFY(QDir().mkpath(bin));
        const QString exe = bin + "/tovrel";
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), exe));
        for (const QString& p : {prefix.path(), bin, exe})
            QVERIFY(::chmod(QFile::encodeName(p).constData(), 0755) == 0);
        QVERIFY(::chown(QFile::encodeName(home.path()).constData(), pw->pw_uid, pw->pw_gid) == 0);

        QProcess panel;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("TOVREL_TEST_HOME", home.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("XDG_RUNTIME_DIR");
        env.remove("XDG_DOCUMENTS_DIR");
        panel.setProcessEnvironment(env);
        const uid_t uid = pw->pw_uid;
        const gid_t gid = pw->pw_gid;
        panel.setChildProcessModifier([uid, gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(77);
        });
        panel.start(exe, {"--drive", "--port", "1", "--record-only"});
        QVERIFY(panel.waitForFinished(60000));
        const QString out = QString::fromLocal8Bit(panel.readAllStandardOutput());
        QVERIFY2(panel.exitCode() == 0, qPrintable(panel.readAllStandardError()));
        const QRegularExpression ready(QStringLiteral("^READY (.+)$"),
                                       QRegularExpression::MultilineOption);
        const QString file = ready.match(out).captured(1);
        QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(home.path()) +
                                    "/Documents/Tovrel/\\d{14}\\.txt$")
                     .match(file)
                     .hasMatch(),
                 qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral(": 开始保存文件(%1)\n").arg(file)), qPrintable(out));
        QVERIFY(QFileInfo(file).isFile());
        QCOMPARE(QFileInfo(file).ownerId(), uint(uid));
        QVERIFY(QDir(bin).entryList(QDir::Files) == QStringList{"tovrel"});
    }

    // Installed (the desktop entry in the prefix's share/), the panel records
    // into the documents folder of whoever runs it, root included, though
    // root may write into its bin/.
    void installedPanelRunByRootRecordsIntoItsDocumentsFolder() {
        if (::geteuid() != 0)
            QSKIP("needs root");
        QTemporaryDir prefix, home;
        QVERIFY(prefix.isValid() && home.isValid());
        const QString bin = prefix.filePath("bin");
        QVERIFY(QDir().mkpath(bin) && QDir().mkpath(prefix.filePath("share/applications")));
        QFile entry(prefix.filePath("share/applications/tovrel.desktop"));
        QVERIFY(entry.open(QIODevice::WriteOnly));
        entry.close();
        const QString exe = bin + "/tovrel";
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), exe));

        QProcess panel;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("TOVREL_TEST_HOME", home.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("XDG_DOCUMENTS_DIR");
        panel.setProcessEnvironment(env);
        panel.start(exe, {"--drive", "--port", "1", "--record-only"});
        QVERIFY(panel.waitForFinished(60000));
        const QString out = QString::fromLocal8Bit(panel.readAllStandardOutput());
        QVERIFY2(panel.exitCode() == 0, qPrintable(panel.readAllStandardError()));
        const QString file =
            QRegularExpression(QStringLiteral("^READY (.+)$"), QRegularExpression::MultilineOption)
                .match(out)
                .captured(1);
        QVERIFY2(QRegularExpression("^" + QRegularExpression::escape(home.path()) +
                                    "/Documents/Tovrel/\\d{14}\\.txt$")
                     .match(file)
                     .hasMatch(),
                 qPrintable(out));
        QVERIFY(QFileInfo(file).isFile());
        QVERIFY(QDir(bin).entryList(QDir::Files) == QStringList{"tovrel"});
    }

    // Killed early (the file just started), and later (thousands of lines,
    // the worker in its stride). Each round starts a fresh panel process.
    void killedWhileRecording_data() {
        QTest::addColumn<int>("linesBeforeKill");
        QTest::newRow("early") << 300;
        QTest::newRow("in stride") << 20000;
        QTest::newRow("again") << 8000;
    }
    void killedWhileRecording() {
        QFETCH(int, linesBeforeKill);
        // The panel records into its own program's folder: give it one.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString exe = dir.filePath("panel-driver");
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), exe));
        QVERIFY(QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        QProcess driver;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        driver.setProcessEnvironment(env);
        QByteArray out;
        QString file;
        QByteArray lastReported;
        qint64 reports = 0;
        unsigned long long dropsAtLastReport = 0;
        auto readOut = [&] {
            out += driver.readAllStandardOutput();
            qsizetype nl;
            while ((nl = out.indexOf('\n')) >= 0) {
                const QByteArray line = out.left(nl);
                out.remove(0, nl + 1);
                if (line.startsWith("READY "))
                    file = QString::fromLocal8Bit(line.mid(6));
                else if (line.startsWith("D ") && line.size() > 2 + kRecordLineSize - 2) {
                    lastReported = line.mid(2, kRecordLineSize - 2) + "\r\n";
                    dropsAtLastReport = line.mid(2 + kRecordLineSize - 2).toULongLong();
                    ++reports;
                }
            }
        };
        connect(&driver, &QProcess::readyReadStandardOutput, this, readOut);
        driver.setProcessChannelMode(QProcess::SeparateChannels);
        driver.start(exe, {"--drive", "--port", QString::number(kDevicePort), "--report-records"});
        QVERIFY(driver.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!file.isEmpty() || driver.state() == QProcess::NotRunning, 30000);
        QVERIFY2(!file.isEmpty(), driver.readAllStandardError().constData());
        QCOMPARE(QFileInfo(file).absolutePath(), QFileInfo(exe).absolutePath());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(file).size() >=
                                         qint64(linesBeforeKill) * kRecordLineSize ||
                                     driver.state() == QProcess::NotRunning,
                                 120000);
        QCOMPARE(driver.state(), QProcess::Running);

        ::kill(pid_t(driver.processId()), SIGKILL);
        QVERIFY(driver.waitForFinished(10000));
        QCOMPARE(driver.exitStatus(), QProcess::CrashExit);
        readOut();
        QVERIFY2(reports > 0, "the worker reported no decoded record before the kill");

        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray text = f.readAll();
        const qsizetype lines = text.size() / kRecordLineSize;
        const qsizetype tail = text.size() % kRecordLineSize;
        QVERIFY(lines >= linesBeforeKill);

        // No torn line anywhere: every complete line is a whole record line.
        // A piece of a line can only be the very end, cut by the kill.
        std::vector<std::array<uint8_t, kRecordSize>> recs(static_cast<size_t>(lines));
        for (qsizetype k = 0; k < lines; ++k) {
            const char* p = text.constData() + k * kRecordLineSize;
            QVERIFY2(ParseLine(p, recs[size_t(k)].data()),
                     qPrintable(QString("line %1 is torn: %2")
                                    .arg(k + 1)
                                    .arg(QString::fromLatin1(p, kRecordLineSize - 2))));
        }
        for (qsizetype i = 0; i < tail; ++i) {
            const char c = text[lines * kRecordLineSize + i];
            QVERIFY2(i % 3 == 2 ? c == ' ' || c == '\r' : std::isxdigit(uchar(c)),
                     "the cut-off end is not the start of a record line");
        }

        // Every line is the device's record, or, where a buffer began in the
        // middle of a record (chunks are never split and there is no
        // re-alignment), a slice of the device's records.
        QCOMPARE(ForeignLines(text, 0, lines), 0);
        int shifted = 0, gaps = 0;
        for (size_t k = 0; k < recs.size(); ++k) {
            if (!DeviceRecordIntact(recs[k].data()))
                ++shifted;
            else if (k > 0 && DeviceRecordIntact(recs[k - 1].data()) &&
                     uint8_t(recs[k - 1][0] + 1) != recs[k][0])
                ++gaps;
        }

        // The last decoded record the worker reported had its buffer written
        // and flushed before the report: it must be in the file, and after it
        // at most the rest of its buffer and the buffer in hand at the kill.
        const qsizetype from = std::max<qsizetype>(0, lines - 4 * kRecordsPerBuffer);
        qsizetype found = -1;
        for (qsizetype k = lines - 1; k >= from && found < 0; --k)
            if (text.mid(k * kRecordLineSize, kRecordLineSize) == lastReported)
                found = k;
        QVERIFY2(found >= 0, "a record whose buffer had been written is missing after the kill");
        QVERIFY2(
            lines - 1 - found <= 2 * kRecordsPerBuffer - 1,
            qPrintable(QString("%1 lines after the last reported record").arg(lines - 1 - found)));
        // The sidecar was last rewritten at a marker: whole, the segment
        // still open, its counts and events within what the file holds.
        SSidecar sc;
        QString error;
        QVERIFY2(ReadSidecar(SidecarPathFor(file), sc, error), qPrintable(error));
        QCOMPARE(sc.segments.size(), size_t(1));
        const SSidecarSegment& seg = sc.segments[0];
        QVERIFY(seg.stop.isEmpty());
        QCOMPARE(seg.firstLine, uint64_t(1));
        QVERIFY(seg.records <= uint64_t(lines));
        QVERIFY(!seg.markers.empty());
        for (size_t m = 0; m < seg.markers.size(); ++m) {
            QCOMPARE(seg.markers[m].number, int(m + 1));
            QVERIFY(seg.markers[m].line <= uint64_t(lines) + 1);
        }
        // And the export takes it as it is: every whole line, the cut-off
        // piece left out.
        QProcess exporter;
        const QString csv = dir.filePath("out.csv");
        QStringList args{file, "--csv", csv};
        if (!seg.rate)
            args << "--rate"
                 << "6173";
        exporter.start(ExportPath(), args);
        QVERIFY(exporter.waitForFinished(60000));
        const QString said = QString::fromLocal8Bit(exporter.readAllStandardError());
        QVERIFY2(exporter.exitCode() == 0, qPrintable(said));
        QVERIFY2(said.contains("was not stopped"), qPrintable(said));
        QFile rows(csv);
        QVERIFY(rows.open(QIODevice::ReadOnly));
        QCOMPARE(rows.readAll().count('\n'), lines + 1);

        qInfo("%lld lines, %lld bytes cut off at the end, %d lines of buffers that began "
              "mid-record, %d gaps in the running numbers, %lld records reported, %llu chunks "
              "dropped, %lld lines after the last reported",
              static_cast<long long>(lines), static_cast<long long>(tail), shifted, gaps,
              static_cast<long long>(reports), dropsAtLastReport,
              static_cast<long long>(lines - 1 - found));
    }

    // The device vanishes (its process killed) while the panel records: the
    // panel says so once, the recording stays on and keeps every line written
    // so far; once the device is back on the same port, Open works and the
    // records flow into the same file again.
    void deviceVanishesWhileRecording() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        SetRecordingDir(QFile::encodeName(dir.path()).toStdString() + '/');
        auto restoreDir = qScopeGuard([] { SetRecordingDir(std::string()); });
        QStringList boxes;
        SetMessageBoxHook([&](const QString& t) { boxes << t; });
        auto restoreBoxes = qScopeGuard([] { SetMessageBoxHook({}); });

        CTovrelDlg dlg;
        dlg.Create();
        dlg.show();
        auto click = [&](int id) { qobject_cast<QAbstractButton*>(dlg.GetDlgItem(id))->click(); };
        auto count = [&](const QString& text) {
            return int(dlg.m_editHistory.GetWindowText().count(text));
        };
        dlg.m_cbComPort->setCurrentIndex(kDevicePort - 1);
        click(IDC_BUTTON_SAVEFILE);
        const QStringList files = RecordingFiles(dir.path());
        QCOMPARE(files.size(), 1);
        QFile file(files[0]);
        click(IDC_BUTTON_OPENPORT);
        QCOMPARE(dlg.m_bPortOpen, 1);
        click(IDC_BUTTON_STOP); // whatever an earlier panel left the device doing
        click(IDC_BUTTON_START);
        QTRY_VERIFY_WITH_TIMEOUT(file.size() >= 3000 * kRecordLineSize, 60000);

        ::kill(pid_t(m_device.processId()), SIGKILL);
        QVERIFY(m_device.waitForFinished(10000));
        const QString lost = QStringLiteral("串口(COM%1)连接中断").arg(kDevicePort);
        QTRY_COMPARE_WITH_TIMEOUT(count(lost), 1, 20000);
        QCOMPARE(dlg.m_bPortOpen, 0);
        QVERIFY(!dlg.m_comm.get_PortOpen());
        QVERIFY(boxes.isEmpty());
        // Still recording, with the buttons saying so.
        QVERIFY(dlg.m_save.IsSaving() && dlg.m_save.HasFile());
        QVERIFY(!dlg.GetDlgItem(IDC_BUTTON_SAVEFILE)->isEnabled());
        QVERIFY(dlg.GetDlgItem(IDC_BUTTON_STOPSAVE)->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(WorkerIdle(dlg), 10000);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        QCOMPARE(before.size() % kRecordLineSize, 0);
        const qsizetype linesBefore = before.size() / kRecordLineSize;
        QCOMPARE(ForeignLines(before, 0, linesBefore), 0);

        // Nothing arrives while the device is away, and nothing is said twice.
        QVERIFY(EventLoopPassesUntilIdle() < 1000);
        QCOMPARE(QFileInfo(file).size(), qint64(before.size()));
        QCOMPARE(count(lost), 1);

        QVERIFY(StartDevice());
        click(IDC_BUTTON_OPENPORT);
        QCOMPARE(dlg.m_bPortOpen, 1);
        QCOMPARE(count(QStringLiteral("串口打开成功")), 2);
        QVERIFY(boxes.isEmpty());
        click(IDC_BUTTON_STOP);
        click(IDC_BUTTON_START);
        QTRY_VERIFY_WITH_TIMEOUT(file.size() >= before.size() + 3000 * kRecordLineSize, 60000);
        click(IDC_BUTTON_STOP);
        click(IDC_BUTTON_CLOSEPORT);
        QTRY_VERIFY_WITH_TIMEOUT(WorkerIdle(dlg), 10000);
        click(IDC_BUTTON_STOPSAVE);

        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray after = file.readAll();
        QCOMPARE(after.size() % kRecordLineSize, 0);
        QVERIFY(after.startsWith(before));
        // The bytes the filling buffer held when the line went dead go out
        // with the first bytes of the new stream, one buffer that may hold a
        // record made of both; everything after it is the device's again.
        const qsizetype lines = after.size() / kRecordLineSize;
        QVERIFY(ForeignLines(after, linesBefore, linesBefore + kRecordsPerBuffer) <=
                kRecordsPerBuffer);
        QCOMPARE(ForeignLines(after, linesBefore + kRecordsPerBuffer, lines), 0);
        QCOMPARE(count(lost), 1);
        dlg.close();
    }
};

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--drive") == 0)
        return RunDriver(argc, argv);
    QApplication app(argc, argv);
    TestPanelKill tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_panel_kill.moc"
