// Runs the real tovrel-simdevice and talks to it through its pseudo-terminal,
// as the panel would: link in the port map, commands in, records out, clean
// exit on a signal.

#include "platform/PortMap.h"
#include "tools/SimDevice.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using simdev::Record;

namespace {

QString ToolPath() {
    return QCoreApplication::applicationDirPath() + "/../tools/tovrel-simdevice";
}

int OpenRaw(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

bool WriteAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
    }
    return true;
}

// The byte stream cut into records, as it arrives.
struct Stream {
    QByteArray pending;
    std::vector<Record> records;

    // Reads whatever arrives within ms; returns the number of bytes.
    qsizetype ReadFor(int fd, int ms) { return ReadUntil(fd, ms, SIZE_MAX, 0); }
    // Reads until `count` records in all or the time is up.
    void ReadRecords(int fd, size_t count, int maxMs) { ReadUntil(fd, maxMs, count, 0); }
    // Reads until nothing has come for quietMs.
    void ReadUntilQuiet(int fd, int quietMs, int maxMs) { ReadUntil(fd, maxMs, SIZE_MAX, quietMs); }

    qsizetype ReadUntil(int fd, int maxMs, size_t count, int quietMs) {
        QElapsedTimer total, quiet;
        total.start();
        quiet.start();
        qsizetype got = 0;
        while (records.size() < count && total.elapsed() < maxMs &&
               (quietMs == 0 || quiet.elapsed() < quietMs)) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                continue;
            got += n;
            quiet.restart();
            pending.append(buf, n);
            while (pending.size() >= qsizetype(kRecordSize)) {
                Record r;
                std::copy_n(reinterpret_cast<const uint8_t*>(pending.constData()), kRecordSize,
                            r.begin());
                records.push_back(r);
                pending.remove(0, kRecordSize);
            }
        }
        return got;
    }
};

// Every record whole and its running number one more than the one before,
// from record `from` on. Returns the number of places where numbers jump.
int CheckRecords(const std::vector<Record>& records, size_t from, bool& allIntact) {
    allIntact = true;
    int jumps = 0;
    for (size_t i = from; i < records.size(); ++i) {
        if (!simdev::RecordIntact(records[i].data()))
            allIntact = false;
        if (i > from && records[i][0] != uint8_t(records[i - 1][0] + 1))
            ++jumps;
    }
    return jumps;
}

// A failed check must not leave the tool running.
struct StopOnExit {
    QProcess& process;
    ~StopOnExit() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

} // namespace

class TestSimDeviceRun : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void streamsAnswersCommandsAndCleansUp();
    void keepsServingWhenThePanelSideCloses();
    void answersHelpVersionAndBadOptions();
    void refusesToReplaceARealDevice_data();
    void refusesToReplaceARealDevice();
    void replaysARecordingForAWhile();
    void catchesUpAfterRunningLate();
    void writesInPiecesOfTheSizesAsked_data();
    void writesInPiecesOfTheSizesAsked();

private:
    bool Start(QProcess& process, const QStringList& args, QString& slave);
    QProcessEnvironment Environment() const;

    QTemporaryDir m_home;
};

void TestSimDeviceRun::initTestCase() {
    QVERIFY2(QFileInfo(ToolPath()).isExecutable(),
             qPrintable("build tovrel-simdevice first: " + ToolPath()));
    QVERIFY(m_home.isValid());
    // A home of our own, so neither a developer's port map nor another test
    // run's is touched.
    qputenv("HOME", QFile::encodeName(m_home.path()));
    QStandardPaths::setTestModeEnabled(true);
    SetTovrelApplicationNames();
    QVERIFY(PortMapDir().startsWith(m_home.path()));
    QVERIFY(QDir().mkpath(PortMapDir()));
}

QProcessEnvironment TestSimDeviceRun::Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", m_home.path());
    env.insert("TOVREL_TEST_MODE", "1");
    return env;
}

bool TestSimDeviceRun::Start(QProcess& process, const QStringList& args, QString& slave) {
    process.setProcessEnvironment(Environment());
    process.start(ToolPath(), args);
    if (!process.waitForStarted(10000))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (!process.canReadLine() && timer.elapsed() < 10000)
        process.waitForReadyRead(100);
    const QString line = QString::fromUtf8(process.readLine()).trimmed();
    const auto match =
        QRegularExpression("^serving (COM\\d+) at (/dev/pts/\\d+) \\(link (.+)\\)$").match(line);
    if (!match.hasMatch()) {
        qWarning() << "unexpected first line:" << line << process.readAllStandardError();
        return false;
    }
    slave = match.captured(2);
    return QFileInfo(match.captured(3)).symLinkTarget() == slave;
}

void TestSimDeviceRun::streamsAnswersCommandsAndCleansUp() {
    // A link left behind to a device that is gone is taken over.
    const QString link = PortMapLink(7);
    QFile::remove(link);
    QVERIFY(QFile::link(m_home.filePath("unplugged"), link));

    QProcess tool;
    StopOnExit guard{tool};
    QString slave;
    QVERIFY(Start(tool, {"--port", "COM7", "--rate", "1000", "--duration", "120"}, slave));
    QCOMPARE(QFileInfo(link).symLinkTarget(), slave);
    const int fd = OpenRaw(slave);
    QVERIFY(fd >= 0);
    Stream stream;

    // Silent until told to start.
    QCOMPARE(stream.ReadFor(fd, 300), qsizetype(0));

    QVERIFY(WriteAll(fd, QByteArray::fromHex("F03222")));
    stream.ReadRecords(fd, 300, 10000);
    QVERIFY(stream.records.size() >= 300);
    QCOMPARE(stream.records[0][0], uint8_t(0));
    bool intact = false;
    QCOMPARE(CheckRecords(stream.records, 0, intact), 0);
    QVERIFY(intact);
    QVERIFY(simdev::DecodeSamples(stream.records.back().data()).pressure1 > 10000);

    // A stop frame with a bad checksum, wrapped in garbage, is ignored.
    QVERIFY(WriteAll(fd, QByteArray::fromHex("0102F03324FF")));
    stream.ReadRecords(fd, 500, 10000);
    QVERIFY(stream.records.size() >= 500);

    // Zero calibration, its frame split over two writes.
    QVERIFY(WriteAll(fd, QByteArray::fromHex("F0")));
    QTest::qWait(30);
    QVERIFY(WriteAll(fd, QByteArray::fromHex("4030")));
    stream.ReadRecords(fd, 900, 10000);
    QVERIFY(stream.records.size() >= 900);
    for (size_t i = stream.records.size() - 100; i < stream.records.size(); ++i)
        QVERIFY(simdev::DecodeSamples(stream.records[i].data()).pressure1 < 2000);

    // Stop: the stream ends on a record boundary and stays quiet.
    QVERIFY(WriteAll(fd, QByteArray::fromHex("F03323")));
    stream.ReadUntilQuiet(fd, 300, 10000);
    const size_t total = stream.records.size();
    QCOMPARE(stream.pending.size(), qsizetype(0));
    QCOMPARE(stream.ReadFor(fd, 300), qsizetype(0));
    QCOMPARE(CheckRecords(stream.records, 0, intact), 0);
    QVERIFY(intact);
    QVERIFY(total >= 900);
    ::close(fd);

    tool.terminate(); // SIGTERM
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
    const QString log = QString::fromUtf8(tool.readAllStandardError());
    QVERIFY2(log.contains("bad checksum"), qPrintable(log));
    QVERIFY2(log.contains("zero calibration"), qPrintable(log));
}

void TestSimDeviceRun::keepsServingWhenThePanelSideCloses() {
    QProcess tool;
    StopOnExit guard{tool};
    QString slave;
    QVERIFY(
        Start(tool, {"--port", "COM8", "--rate", "5000", "--start", "--duration", "120"}, slave));
    Stream stream;
    int fd = OpenRaw(slave);
    QVERIFY(fd >= 0);
    stream.ReadRecords(fd, 200, 10000);
    QVERIFY(stream.records.size() >= 200);

    // The panel closes the port for longer than the terminal can buffer,
    // then opens it again: the stream goes on, whole and in step.
    ::close(fd);
    QTest::qWait(1500);
    QCOMPARE(tool.state(), QProcess::Running);
    fd = OpenRaw(slave);
    QVERIFY(fd >= 0);
    const size_t before = stream.records.size();
    stream.ReadRecords(fd, before + 8000, 20000);
    QVERIFY(stream.records.size() >= before + 8000);
    // Every record read is whole and in step. Gaps in the running numbers
    // are not counted here: a reader that falls behind (a loaded machine)
    // makes the device drop whole records, which is what it is meant to do.
    bool intact = false;
    CheckRecords(stream.records, 0, intact);
    QVERIFY(intact);
    ::close(fd);

    ::kill(static_cast<pid_t>(tool.processId()), SIGINT);
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY(!QFileInfo(PortMapLink(8)).isSymLink());
    // What the closed port could not take was dropped, not queued without end.
    const QString log = QString::fromUtf8(tool.readAllStandardError());
    const auto dropped = QRegularExpression("(\\d+) dropped").match(log);
    QVERIFY2(dropped.hasMatch(), qPrintable(log));
    QVERIFY2(dropped.captured(1).toLongLong() > 0, qPrintable(log));
}

void TestSimDeviceRun::refusesToReplaceARealDevice_data() {
    QTest::addColumn<bool>("asLink");
    QTest::newRow("link to a device") << true;
    QTest::newRow("plain file") << false;
}

void TestSimDeviceRun::refusesToReplaceARealDevice() {
    QFETCH(bool, asLink);
    const QString link = PortMapLink(4);
    QFile::remove(link);
    if (asLink) {
        QVERIFY(QFile::link("/dev/null", link));
    } else {
        QFile file(link);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    QProcess tool;
    StopOnExit guard{tool};
    tool.setProcessEnvironment(Environment());
    tool.start(ToolPath(), {"--port", "COM4", "--duration", "5"});
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode(), 1); // it cannot serve; 2 is for bad options
    QVERIFY(tool.readAllStandardOutput().isEmpty());
    QVERIFY(QString::fromUtf8(tool.readAllStandardError()).contains("refusing"));
    if (asLink)
        QCOMPARE(QFileInfo(link).symLinkTarget(), QString("/dev/null"));
    else
        QVERIFY(QFileInfo(link).isFile() && !QFileInfo(link).isSymLink());
    QFile::remove(link);
}

// As the other tools: help and version on stdout with 0, a bad option on
// stderr with 2, before any port is served.
void TestSimDeviceRun::answersHelpVersionAndBadOptions() {
    const auto run = [&](const QStringList& args, int code, QByteArray& out, QByteArray& err) {
        QProcess tool;
        tool.setProcessEnvironment(Environment());
        tool.start(ToolPath(), args);
        QVERIFY(tool.waitForFinished(10000));
        QCOMPARE(tool.exitCode(), code);
        out = tool.readAllStandardOutput();
        err = tool.readAllStandardError();
    };
    QByteArray out, err;
    run({"--version"}, 0, out, err);
    QVERIFY2(QRegularExpression("^tovrel-simdevice \\d+\\.\\d+\\.\\d+\\n$")
                 .match(QString::fromUtf8(out))
                 .hasMatch(),
             out.constData());
    QVERIFY(err.isEmpty());
    run({"--help"}, 0, out, err);
    QVERIFY(out.contains("--version") && err.isEmpty());
    for (const QStringList& bad : {QStringList{"--bogus"}, QStringList{"--port", "COM17"}}) {
        run(bad, 2, out, err);
        QVERIFY(out.isEmpty());
        QVERIFY2(err.startsWith("tovrel-simdevice: ") && err.endsWith(" (see --help)\n"),
                 err.constData());
    }
}

void TestSimDeviceRun::replaysARecordingForAWhile() {
    const QString path = m_home.filePath("recording.txt");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("A5 3A 12 34 0F A0 08 00 00 64 30 39 02 A6 5C \r\n"
               "A6 3A 00 01 00 02 00 03 00 04 00 05 00 06 99 \r\n"
               "A7 00 00 00 00 00 00 00 00 00 00 00 00 00 00 \r\n");
    file.close();

    QProcess tool;
    StopOnExit guard{tool};
    QString slave;
    QVERIFY(Start(
        tool,
        {"--port", "COM9", "--replay", path, "--rate", "1000", "--start", "--duration", "1.5"},
        slave));
    const int fd = OpenRaw(slave);
    QVERIFY(fd >= 0);
    Stream stream;
    stream.ReadRecords(fd, 30, 10000);
    QVERIFY(stream.records.size() >= 30);
    ::close(fd);
    for (size_t i = 0; i < 30; ++i) {
        const Record& r = stream.records[i];
        // The recorded content, looped; the running number counts on.
        QCOMPARE(r[0], uint8_t(stream.records[0][0] + i));
        QCOMPARE(r[1], uint8_t(i % 3 == 2 ? 0x00 : 0x3A));
        QCOMPARE(r[13], uint8_t(i % 3 == 0 ? 0xA6 : i % 3 == 1 ? 0x06 : 0x00));
        QCOMPARE(simdev::Checksum(r.data(), 14), r[14]);
    }

    // It ends by itself and takes its link away.
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY(!QFileInfo(PortMapLink(9)).isSymLink());
}

void TestSimDeviceRun::catchesUpAfterRunningLate() {
    // The device process held up (a busy machine) owes more records than its
    // queue holds when it runs again: the line takes them, and none is
    // dropped while the reader keeps up.
    QProcess tool;
    StopOnExit guard{tool};
    QString slave;
    QVERIFY(
        Start(tool, {"--port", "COM11", "--rate", "2000", "--start", "--duration", "120"}, slave));
    const int fd = OpenRaw(slave);
    QVERIFY(fd >= 0);
    Stream stream;
    stream.ReadRecords(fd, 200, 10000);
    const pid_t pid = static_cast<pid_t>(tool.processId());
    for (int i = 0; i < 3; ++i) {
        ::kill(pid, SIGSTOP);
        QTest::qWait(100); // 200 records due meanwhile, three times the queue
        ::kill(pid, SIGCONT);
        stream.ReadRecords(fd, stream.records.size() + 300, 10000);
    }
    ::close(fd);
    bool intact = false;
    QCOMPARE(CheckRecords(stream.records, 0, intact), 0);
    QVERIFY(intact);

    tool.terminate();
    QVERIFY(tool.waitForFinished(10000));
    const QString log = QString::fromUtf8(tool.readAllStandardError());
    QVERIFY2(log.contains(" 0 dropped"), qPrintable(log));
}

void TestSimDeviceRun::writesInPiecesOfTheSizesAsked_data() {
    QTest::addColumn<QString>("chunks");
    QTest::addColumn<int>("startOffset");
    QTest::newRow("7 bytes, the first 5 left out") << "7" << 5;
    QTest::newRow("random 1..40") << "random:40" << 0;
}

void TestSimDeviceRun::writesInPiecesOfTheSizesAsked() {
    QFETCH(QString, chunks);
    QFETCH(int, startOffset);
    const bool random = chunks.startsWith("random:");
    const simdev::ChunkPlan plan{random ? simdev::ChunkPlan::Kind::Random
                                        : simdev::ChunkPlan::Kind::Fixed,
                                 (random ? chunks.mid(7) : chunks).toInt(), 11};

    // Slow enough that a reader waiting in poll() takes most pieces on their own.
    QProcess tool;
    StopOnExit guard{tool};
    QString slave;
    QStringList args{"--port",
                     "COM10",
                     "--rate",
                     "100",
                     "--start",
                     "--duration",
                     "120",
                     "--chunks",
                     chunks,
                     "--start-offset",
                     QString::number(startOffset)};
    if (random)
        args << "--seed"
             << "11";
    QVERIFY(Start(tool, args, slave));
    const int fd = OpenRaw(slave);
    QVERIFY(fd >= 0);
    std::vector<size_t> reads;
    QByteArray bytes;
    QElapsedTimer total;
    total.start();
    while (bytes.size() < 3000 && total.elapsed() < 20000) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            reads.push_back(size_t(n));
            bytes.append(buf, n);
        }
    }
    ::close(fd);
    QVERIFY(bytes.size() >= 3000);

    // Every read ends where a piece of the sequence ends: a slow reader may
    // get several pieces at once, never part of one.
    simdev::ChunkSizes pieces(plan);
    size_t single = 0;
    for (size_t n : reads) {
        size_t got = 0, inRead = 0;
        while (got < n) {
            got += pieces.Next();
            ++inRead;
        }
        QVERIFY2(got == n, qPrintable(QString("read of %1 bytes cuts a piece").arg(n)));
        single += inRead == 1;
    }
    QVERIFY2(single * 3 >= reads.size(),
             qPrintable(QString("%1 of %2 reads held one piece").arg(single).arg(reads.size())));

    // Put back together after the part record at the start, the records are
    // whole and numbered on from the first one sent whole.
    const qsizetype from = startOffset ? qsizetype(kRecordSize) - startOffset : 0;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.constData());
    uint8_t next = startOffset ? 1 : 0;
    for (qsizetype at = from; at + qsizetype(kRecordSize) <= bytes.size(); at += kRecordSize) {
        QVERIFY(simdev::RecordIntact(p + at));
        QCOMPARE(p[at], next);
        ++next;
    }

    tool.terminate();
    QVERIFY(tool.waitForFinished(10000));
    QCOMPARE(tool.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestSimDeviceRun)
#include "tst_tools_simdevicerun.moc"
