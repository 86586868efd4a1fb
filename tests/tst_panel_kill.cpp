// The panel as a process of its own, recording the simulated device at the
// full line rate, killed without warning: what the recording file holds
// afterwards must be whole, correct records up to the buffer in hand. And the
// device process killed under a recording panel: the recording goes on, and
// so does the stream once the device is back. The panel's process is the
// soak's driver, bench/tovrel-bench-drive.
#include "acquisition/Recorder.h"
#include "acquisition/Sidecar.h"
#include "platform/MessageBox.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"
#include "support/panelsupport.h"
#include "support/testsupport.h"
#include "tools/SimDevice.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <array>
#include <csignal>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kDevicePort = 14;

QString SimDevicePath() {
    return QCoreApplication::applicationDirPath() + "/../tools/tovrel-simdevice";
}

QString ExportPath() {
    return QCoreApplication::applicationDirPath() + "/../tools/export/tovrel-export";
}

QString DriverPath() {
    return QCoreApplication::applicationDirPath() + "/../bench/tovrel-bench-drive";
}

// A whole recording line: the record's byte pairs, then CR LF.
bool ParseLine(const char* p, uint8_t rec[kRecordSize]) {
    return p[kRecordLineSize - 2] == '\r' && p[kRecordLineSize - 1] == '\n' &&
           ParseRecordingLine(p, kRecordLineText, rec) != ELineKind::Malformed;
}

// a and b are consecutive lines of one buffer that began s bytes into a
// record: bytes s..14 of a and 0..s-1 of b make one whole record.
bool HoldsShiftedRecord(const std::array<uint8_t, kRecordSize>& a,
                        const std::array<uint8_t, kRecordSize>& b) {
    for (int s = 1; s < kRecordSize; ++s) {
        uint8_t rec[kRecordSize];
        std::memcpy(rec, a.data() + s, size_t(kRecordSize - s));
        std::memcpy(rec + kRecordSize - s, b.data(), size_t(s));
        if (simdev::RecordIntact(rec))
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
        if (!simdev::RecordIntact(recs[k].data()) &&
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
        QVERIFY(QFile::copy(DriverPath(), exe));
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
        panel.start(exe, {"--port", "1", "--record-only"});
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
        QVERIFY(QFile::copy(DriverPath(), exe));

        QProcess panel;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("TOVREL_TEST_HOME", home.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.remove("XDG_DOCUMENTS_DIR");
        panel.setProcessEnvironment(env);
        panel.start(exe, {"--port", "1", "--record-only"});
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
        QVERIFY(QFile::copy(DriverPath(), exe));
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
        driver.start(exe, {"--port", QString::number(kDevicePort), "--report-records"});
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
            if (!simdev::RecordIntact(recs[k].data()))
                ++shifted;
            else if (k > 0 && simdev::RecordIntact(recs[k - 1].data()) &&
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
        // The sidecar was last rewritten at a marker or its once-a-second
        // update: whole, the segment still open. It counts records as they
        // arrive, so it may be ahead of the file by what the three receive
        // buffers held when the kill came, never by more.
        const qsizetype inFlight = 3 * kRecordsPerBuffer;
        SSidecar sc;
        QString error;
        QVERIFY2(ReadSidecar(SidecarPathFor(file), sc, error), qPrintable(error));
        QCOMPARE(sc.segments.size(), size_t(1));
        const SSidecarSegment& seg = sc.segments[0];
        QVERIFY(seg.stop.isEmpty());
        QCOMPARE(seg.firstLine, uint64_t(1));
        QVERIFY2(seg.records <= uint64_t(lines + inFlight),
                 qPrintable(QString("the sidecar counts %1 records, the file holds %2 lines")
                                .arg(seg.records)
                                .arg(lines)));
        QVERIFY(!seg.markers.empty());
        for (size_t m = 0; m < seg.markers.size(); ++m) {
            QCOMPARE(seg.markers[m].number, int(m + 1));
            QVERIFY(seg.markers[m].line <= uint64_t(lines + inFlight) + 1);
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
              "dropped, %lld lines after the last reported, %llu records in the sidecar",
              static_cast<long long>(lines), static_cast<long long>(tail), shifted, gaps,
              static_cast<long long>(reports), dropsAtLastReport,
              static_cast<long long>(lines - 1 - found),
              static_cast<unsigned long long>(seg.records));
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
        const QStringList files = QDir(dir.path()).entryList({"*.txt"}, QDir::Files);
        QCOMPARE(files.size(), 1);
        QFile file(dir.filePath(files[0]));
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
    QApplication app(argc, argv);
    TestPanelKill tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_panel_kill.moc"
