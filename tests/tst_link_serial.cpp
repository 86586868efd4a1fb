#include "link/CommandFrame.h"
#include "link/Mscomm1.h"
#include "platform/Errors.h"
#include "platform/PortMap.h"
#include "support/pty.h"
#include "support/testsupport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <thread>

namespace {
// The panel's opening sequence, in its order.
void OpenLikePanel(CMscomm1& comm, short port) {
    comm.put_CommPort(port);
    comm.put_PortOpen(true);
    comm.put_Settings(QStringLiteral("926000,n,8,1"));
    comm.put_InputMode(1);
    comm.put_RThreshold(4);
    comm.put_InputLen(0);
}

QByteArray AllByteValues() {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes.append(char(i));
    return bytes;
}

// Collects what the panel's receive handler would see.
struct Receiver {
    QByteArray bytes;
    int events = 0;
    int otherEvents = 0;
    qsizetype largestChunk = 0;

    void Attach(CMscomm1& comm) {
        QObject::connect(&comm, &CMscomm1::OnComm, &comm, [this, &comm] {
            ++events;
            if (comm.get_CommEvent() != 2) {
                ++otherEvents;
                return;
            }
            COleVariant input = comm.get_Input();
            largestChunk = std::max(largestChunk, input.GetOneDimSize());
            bytes.append(input.Bytes());
            input.Clear();
        });
    }
};

// Sends bytes as the device and returns once the control has read them on
// their own and the event loop has done all it had to do with them.
bool SendAndLetRead(TestPty& pty, const QByteArray& bytes) {
    if (!pty.WriteDelivered(bytes) ||
        !QTest::qWaitFor([&] { return pty.SlaveInputWaiting() == 0; }))
        return false;
    EventLoopPassesUntilIdle();
    return true;
}

QString ThrownText(const std::function<void()>& access) {
    try {
        access();
    } catch (const COleDispatchException& e) {
        return e.m_strDescription.isEmpty() ? QStringLiteral("<empty>") : e.m_strDescription;
    }
    return QString();
}
} // namespace

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void openConfiguresTheLine();
    void settingsFollowTheOpenPortAndTheNextOpening();
    void outputArrivesUnchanged();
    void inputArrivesThroughOnComm();
    void bytesBeforeTheThresholdAreNotStranded();
    void burstArrivesWholeInSmallChunks();
    void steadyStreamIsReadOnAPace();
    void silentHandlerIsNotCalledOverAndOver();
    void refusedAccessesThrowReadableText();
    void vanishedDeviceClosesThePortOnce();
    void outputToVanishedDeviceFails();
};

void TestSerial::initTestCase() {
    QStandardPaths::setTestModeEnabled(true);
    SetTovrelApplicationNames();
}

void TestSerial::openConfiguresTheLine() {
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    CMscomm1 comm;
    QVERIFY(!comm.get_PortOpen());
    OpenLikePanel(comm, 3);
    QVERIFY(comm.get_PortOpen());

    const auto tty = pty.SlaveSettings();
    QVERIFY(tty);
    QCOMPARE(tty->outputBaud, 926000u); // not rounded to 921600
    QCOMPARE(tty->inputBaud, 926000u);
    QCOMPARE(tty->dataBits, 8);
    QCOMPARE(tty->parity, 'n');
    QCOMPARE(tty->stopBits, 1);
    QVERIFY(tty->raw);
    QVERIFY(!tty->flowControl);

    comm.put_PortOpen(false);
    QVERIFY(!comm.get_PortOpen());
    comm.put_PortOpen(false); // closing a closed port is harmless
    QVERIFY(!comm.get_PortOpen());
}

void TestSerial::settingsFollowTheOpenPortAndTheNextOpening() {
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    CMscomm1 comm;
    OpenLikePanel(comm, 3);

    comm.put_Settings(QStringLiteral("115200,n,8,2"));
    auto tty = pty.SlaveSettings();
    QCOMPARE(tty->outputBaud, 115200u);
    QCOMPARE(tty->stopBits, 2);

    // A pseudo-terminal carries only 8 bits without parity, so it refuses
    // even parity after the new rate has already been set: the line must
    // return to what it was. Malformed texts and 1.5 stop bits (which termios
    // cannot express) change nothing either.
    const QString refused = ThrownText([&] { comm.put_Settings(QStringLiteral("9600,e,8,1")); });
    QVERIFY2(refused.contains(QStringLiteral("Invalid argument")), qPrintable(refused));
    QVERIFY(!ThrownText([&] { comm.put_Settings(QStringLiteral("926000,n,8")); }).isEmpty());
    QVERIFY(!ThrownText([&] { comm.put_Settings(QStringLiteral("926000,n,8,1.5")); }).isEmpty());
    tty = pty.SlaveSettings();
    QCOMPARE(tty->outputBaud, 115200u);
    QCOMPARE(tty->parity, 'n');
    QCOMPARE(tty->stopBits, 2);
    QVERIFY(comm.get_PortOpen());

    comm.put_PortOpen(false);
    comm.put_Settings(QStringLiteral("500000,n,8,1")); // kept for the next opening
    comm.put_PortOpen(true);
    tty = pty.SlaveSettings();
    QCOMPARE(tty->outputBaud, 500000u);
    QCOMPARE(tty->stopBits, 1);

    // A refusal while closed is met at the opening, which then fails cleanly.
    comm.put_PortOpen(false);
    comm.put_Settings(QStringLiteral("500000,o,8,1"));
    QVERIFY(!ThrownText([&] { comm.put_PortOpen(true); }).isEmpty());
    QVERIFY(!comm.get_PortOpen());
}

void TestSerial::outputArrivesUnchanged() {
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    CMscomm1 comm;
    OpenLikePanel(comm, 3);

    const QByteArray frames = BuildCommandFrame(kCmdStartSample) +
                              BuildCommandFrame(kCmdDownloadCoef, 100, 100) +
                              BuildCommandFrame(kCmdStopSample);
    COleVariant frameVariant(frames);
    comm.put_Output(frameVariant);
    frameVariant.Clear();
    QCOMPARE(pty.Read(frames.size()).toHex(' '), frames.toHex(' '));

    // Every byte value, including newline, XON/XOFF and interrupt characters.
    comm.put_Output(COleVariant(AllByteValues()));
    QCOMPARE(pty.Read(256).toHex(' '), AllByteValues().toHex(' '));
}

void TestSerial::inputArrivesThroughOnComm() {
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    CMscomm1 comm;
    OpenLikePanel(comm, 3);
    Receiver rx;
    rx.Attach(comm);

    // Fewer bytes than the threshold raise nothing...
    QVERIFY(SendAndLetRead(pty, QByteArray::fromHex("0A0D11")));
    QCOMPARE(rx.events, 0);
    // ...the fourth does.
    QVERIFY(pty.Write(QByteArray::fromHex("13")));
    QTRY_COMPARE(rx.bytes.size(), 4);
    QCOMPARE(rx.otherEvents, 0);
    QCOMPARE(comm.get_CommEvent(), short(2));
    QCOMPARE(rx.bytes, QByteArray::fromHex("0A0D1113"));

    rx.bytes.clear();
    QVERIFY(pty.Write(AllByteValues()));
    QTRY_COMPARE(rx.bytes.size(), 256);
    QCOMPARE(rx.bytes.toHex(' '), AllByteValues().toHex(' '));
}

void TestSerial::bytesBeforeTheThresholdAreNotStranded() {
    // A device that streams as soon as the line opens sends before the panel
    // has put RThreshold; those bytes must not wait for more to come.
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    CMscomm1 comm;
    Receiver rx;
    rx.Attach(comm);
    comm.put_CommPort(3);
    comm.put_PortOpen(true);
    comm.put_Settings(QStringLiteral("926000,n,8,1"));
    comm.put_InputMode(1);
    QVERIFY(SendAndLetRead(pty, QByteArray("early bytes")));
    QCOMPARE(rx.events, 0);
    comm.put_RThreshold(4);
    QCOMPARE(rx.events, 0); // not from inside the put
    comm.put_InputLen(0);
    QTRY_COMPARE(rx.bytes, QByteArray("early bytes"));
}

void TestSerial::burstArrivesWholeInSmallChunks() {
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    CMscomm1 comm;
    OpenLikePanel(comm, 3);
    Receiver rx;
    rx.Attach(comm);

    QByteArray burst(20000, Qt::Uninitialized);
    for (qsizetype i = 0; i < burst.size(); ++i)
        burst[i] = char((i * 7 + i / 256) & 0xFF);

    std::atomic<bool> written{false};
    std::thread device([&] { written = pty.Write(burst); });
    // Let the kernel queue fill while the UI thread is busy, so that large
    // blocks reach the control at once and it has to hand them out in pieces.
    QVERIFY(WaitWithoutEvents(
        [&] { return pty.SlaveInputWaiting() >= 4 * CSerialControl::kMaxInputChunk; }));
    QTRY_COMPARE_WITH_TIMEOUT(rx.bytes.size(), burst.size(), 20000);
    device.join();
    QVERIFY(written);
    QVERIFY(rx.bytes == burst);
    QVERIFY(rx.largestChunk <= 512);
    QCOMPARE(rx.largestChunk % 15, 0); // a backlog goes out in whole device records
    QCOMPARE(rx.otherEvents, 0);
}

void TestSerial::steadyStreamIsReadOnAPace() {
    // A device that hands over a few bytes every millisecond, as a USB
    // adapter does: the bytes arrive whole and in order, but the handler is
    // called about once a pace, not once an arrival.
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    CMscomm1 comm;
    OpenLikePanel(comm, 3);
    Receiver rx;
    rx.Attach(comm);

    constexpr int kWrites = 300;
    QByteArray stream;
    for (int i = 0; i < kWrites * 15; ++i)
        stream.append(char((i * 11 + i / 255) & 0xFF));
    QElapsedTimer clock;
    clock.start();
    std::atomic<bool> written{true};
    std::thread device([&] {
        for (int i = 0; i < kWrites && written; ++i) {
            written = pty.Write(stream.mid(i * 15, 15));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // A plain event loop: the test macros' waits sleep between passes and
    // would merge arrivals themselves.
    QEventLoop loop;
    QObject::connect(&comm, &CMscomm1::OnComm, &loop, [&] {
        if (rx.bytes.size() >= stream.size())
            loop.quit();
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    const qint64 elapsed = clock.elapsed();
    device.join();
    QVERIFY(written);
    QVERIFY(rx.bytes == stream);
    // One read per pace (coarse timers may come 5 % early), the first at
    // once, and a read that found more than a piece offers the rest too.
    const qint64 most = elapsed * 100 / (95 * CSerialControl::kReadPaceMs) + 2 +
                        stream.size() / CSerialControl::kMaxInputChunk;
    QVERIFY2(rx.events <= most, qPrintable(QStringLiteral("%1 events in %2 ms, %3 writes")
                                               .arg(rx.events)
                                               .arg(elapsed)
                                               .arg(kWrites)));
}

void TestSerial::silentHandlerIsNotCalledOverAndOver() {
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    CMscomm1 comm;
    OpenLikePanel(comm, 3);
    int events = 0;
    connect(&comm, &CMscomm1::OnComm, &comm, [&] { ++events; });

    QVERIFY(pty.Write(QByteArray(100, 'x')));
    QTRY_VERIFY(events >= 1);
    // A handler that reads nothing is not offered the bytes again on every
    // pass of the event loop, which therefore comes to rest.
    QVERIFY(EventLoopPassesUntilIdle() < 1000);
    QVERIFY(events <= 2);

    // The bytes are still there for a later read.
    QCOMPARE(comm.get_Input().GetOneDimSize(), 100);
}

void TestSerial::refusedAccessesThrowReadableText() {
    QVERIFY(TestPty::LinkComTo(9, QStringLiteral("/nonexistent/tovrel-tty")));
    CMscomm1 comm;
    comm.put_CommPort(9);
    const QString missing = ThrownText([&] { comm.put_PortOpen(true); });
    QVERIFY2(missing.contains(QStringLiteral("No such file")), qPrintable(missing));
    QVERIFY(!comm.get_PortOpen());

    const QString closedOutput = ThrownText([&] { comm.put_Output(COleVariant(QByteArray("x"))); });
    QVERIFY2(closedOutput.contains(QStringLiteral("open")), qPrintable(closedOutput));
    QVERIFY(!ThrownText([&] { comm.get_Input(); }).isEmpty());

    QVERIFY(!ThrownText([&] { comm.put_CommPort(0); }).isEmpty());
    QVERIFY(!ThrownText([&] { comm.put_CommPort(17); }).isEmpty());
    QVERIFY(!ThrownText([&] { comm.put_Settings(QStringLiteral("926000;n;8;1")); }).isEmpty());
    QVERIFY(!ThrownText([&] { comm.put_RThreshold(-1); }).isEmpty());

    // A port already in use by another control is refused, and the first
    // one is unaffected.
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    OpenLikePanel(comm, 3);
    CMscomm1 other;
    other.put_CommPort(3);
    QVERIFY(!ThrownText([&] { other.put_PortOpen(true); }).isEmpty());
    QVERIFY(!other.get_PortOpen());
    QVERIFY(!ThrownText([&] { comm.put_PortOpen(true); }).isEmpty());
    QVERIFY(!ThrownText([&] { comm.put_CommPort(4); }).isEmpty());
    comm.put_Output(COleVariant(QByteArray("ok")));
    QCOMPARE(pty.Read(2), QByteArray("ok"));
}

void TestSerial::vanishedDeviceClosesThePortOnce() {
    CMscomm1 comm;
    int lost = 0;
    QString reason;
    connect(&comm, &CMscomm1::PortLost, &comm, [&](const QString& why) {
        ++lost;
        reason = why;
        QVERIFY(!comm.get_PortOpen());
    });
    Receiver rx;
    rx.Attach(comm);
    {
        TestPty pty;
        QVERIFY(pty.LinkAsCom(3));
        OpenLikePanel(comm, 3);
        QVERIFY(pty.Write(QByteArray::fromHex("3A3A3A3A")));
        QTRY_COMPARE(rx.bytes.size(), 4);

        pty.CloseMaster();
        QTRY_COMPARE(lost, 1);
        QVERIFY(!reason.isEmpty());
        QVERIFY(!comm.get_PortOpen());

        // Nothing keeps the event loop busy once the port is gone.
        const int passes = EventLoopPassesUntilIdle();
        QVERIFY2(passes < 1000, qPrintable(QString::number(passes)));
        QCOMPARE(lost, 1);
        QVERIFY(!ThrownText([&] { comm.put_Output(COleVariant(QByteArray("x"))); }).isEmpty());
    }

    // A new device on the same port works again.
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    OpenLikePanel(comm, 3);
    rx.bytes.clear();
    QVERIFY(pty.Write(QByteArray("abcd")));
    QTRY_COMPARE(rx.bytes, QByteArray("abcd"));
    comm.put_Output(COleVariant(QByteArray("efgh")));
    QCOMPARE(pty.Read(4), QByteArray("efgh"));
    QCOMPARE(lost, 1);

    // An unplugged adapter's line reads 0 bytes, as a quiet one does; it is
    // the hang-up that ends the port, not the quiet.
    QVERIFY(pty.Write(QByteArray("ijkl")));
    QTRY_COMPARE(rx.bytes, QByteArray("abcdijkl"));
    QTest::qWait(3 * CSerialControl::kReadPaceMs); // quiet looks find nothing
    QVERIFY(comm.get_PortOpen());
    if (!pty.HangUpLine())
        QSKIP("hanging up a line needs CAP_SYS_ADMIN");
    QTRY_COMPARE(lost, 2);
    QVERIFY(!comm.get_PortOpen());
    QVERIFY(EventLoopPassesUntilIdle() < 1000);
}

void TestSerial::outputToVanishedDeviceFails() {
    TestPty pty;
    QVERIFY(pty.LinkAsCom(3));
    CMscomm1 comm;
    int lost = 0;
    connect(&comm, &CMscomm1::PortLost, &comm, [&] { ++lost; });
    OpenLikePanel(comm, 3);

    // The device is gone before the event loop has noticed: the frame
    // cannot be delivered, and the caller must hear so.
    pty.CloseMaster();
    const QString text =
        ThrownText([&] { comm.put_Output(COleVariant(BuildCommandFrame(kCmdStartSample))); });
    QVERIFY2(!text.isEmpty(), "Output to a vanished device reported success");
    QTRY_COMPARE(lost, 1);
    QVERIFY(!comm.get_PortOpen());
}

QTEST_MAIN(TestSerial)
#include "tst_link_serial.moc"
