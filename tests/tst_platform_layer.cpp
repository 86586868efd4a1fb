// The platform layer's own rules: dialog units, field parsing, the UI-thread
// call, the cross-thread repaint request, what COMn stands for and why a
// device may not serve.
#include "platform/DataExchange.h"
#include "platform/DialogUnits.h"
#include "platform/PortInfo.h"
#include "platform/PortMap.h"
#include "platform/UiThreadCall.h"
#include "platform/WindowHandle.h"
#include "support/testsupport.h"

#include "support/pty.h"

#include <QPaintEvent>
#include <QTemporaryDir>
#include <QWidget>
#include <QtTest>
#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
class PaintCounter : public QWidget {
public:
    int paints = 0;
    QRegion last;

protected:
    void paintEvent(QPaintEvent* e) override {
        ++paints;
        last = e->region();
    }
};

bool Link(const QString& target, const QString& link) {
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) ==
           0;
}

// The kernel's table of tty drivers as a typical machine with a USB adapter,
// a modem line and a Bluetooth port has it.
const char kTtyDrivers[] = "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
                           "/dev/console         /dev/console    5       1 system:console\n"
                           "/dev/ptmx            /dev/ptmx       5       2 system\n"
                           "/dev/vc/0            /dev/vc/0       4       0 system:vtmaster\n"
                           "rfcomm               /dev/rfcomm   216 0-255 serial\n"
                           "usbserial            /dev/ttyUSB   188 0-511 serial\n"
                           "acm                  /dev/ttyACM   166 0-255 serial\n"
                           "serial               /dev/ttyS       4 64-95 serial\n"
                           "pty_slave            /dev/pts      136 0-1048575 pty:slave\n"
                           "pty_master           /dev/ptm      128 0-1048575 pty:master\n"
                           "unknown              /dev/tty        4 1-63 console\n";
// Holds back the event that runs a waiting UI-thread call and closes the UI
// side in its place, as the panel does before it joins its worker.
class CloseOnCallEvent : public QObject {
public:
    explicit CloseOnCallEvent(CUiThreadCall& calls) : m_calls(calls) {}
    bool closed = false;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (closed || e->type() != QEvent::User)
            return false;
        m_calls.Close();
        closed = true;
        return true;
    }

private:
    CUiThreadCall& m_calls;
};
} // namespace

class TestPlatformLayer : public QObject {
    Q_OBJECT
private slots:
    void dialogUnitsRoundLikeTheWindowSystem() {
        QCOMPARE(MulDiv(615, 6, 4), 923); // 922.5 rounds away from zero
        QCOMPARE(MulDiv(-3, 6, 4), -5);
        QCOMPARE(MapDialogSize(615, 367), QSize(923, 551));
        // A strip frame: edges are mapped, not the size.
        QCOMPARE(MapDialogRect(QRect(11, 86, 595, 56)), QRect(17, 129, 892, 84));
        QCOMPARE(MapDialogRect(QRect(11, 229, 595, 56)), QRect(17, 344, 892, 84));
        QCOMPARE(MapDialogRect(QRect(1, 1, 1, 1)), QRect(2, 2, 1, 1));
    }

    void fieldsParseAsTheCLibrarySeesAWholeField_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("intOk");
        QTest::addColumn<int>("intValue");
        QTest::addColumn<bool>("uintOk");
        QTest::addColumn<uint>("uintValue");
        QTest::newRow("plain") << "300" << true << 300 << true << 300u;
        QTest::newRow("blanks") << "  12 " << true << 12 << true << 12u;
        QTest::newRow("plus") << "+5" << true << 5 << true << 5u;
        QTest::newRow("minus zero") << "-0" << true << 0 << true << 0u;
        QTest::newRow("negative") << "-5" << true << -5 << true << 4294967291u;
        QTest::newRow("empty") << "" << false << 0 << false << 0u;
        QTest::newRow("blank") << "   " << false << 0 << false << 0u;
        QTest::newRow("trailing junk") << "12a" << false << 0 << false << 0u;
        QTest::newRow("inner blank") << "1 2" << false << 0 << false << 0u;
        QTest::newRow("sign only") << "-" << false << 0 << false << 0u;
        QTest::newRow("int max") << "2147483647" << true << 2147483647 << true << 2147483647u;
        QTest::newRow("int min") << "-2147483648" << true << int(-2147483648ll) << true
                                 << 2147483648u;
        QTest::newRow("past int") << "2147483648" << false << 0 << true << 2147483648u;
        QTest::newRow("uint max") << "4294967295" << false << 0 << true << 4294967295u;
        QTest::newRow("past 32 bits") << "4294967296" << false << 0 << false << 0u;
        QTest::newRow("very long") << QString(1000, u'9') << false << 0 << false << 0u;
        QTest::newRow("full-width digit") << QStringLiteral("１") << false << 0 << false << 0u;
    }
    void fieldsParseAsTheCLibrarySeesAWholeField() {
        QFETCH(QString, text);
        QFETCH(bool, intOk);
        QFETCH(int, intValue);
        QFETCH(bool, uintOk);
        QFETCH(uint, uintValue);
        const auto i = ParseInt32Field(text);
        QCOMPARE(i.has_value(), intOk);
        if (intOk)
            QCOMPARE(*i, intValue);
        const auto u = ParseUInt32Field(text);
        QCOMPARE(u.has_value(), uintOk);
        if (uintOk)
            QCOMPARE(*u, uintValue);
    }

    // ------------------------------------------------------------ port map

    void comNamesAndWhatEachComStandsFor() {
        QCOMPARE(ParseComNumber(QStringLiteral("COM3")), std::optional<int>(3));
        QCOMPARE(ParseComNumber(QStringLiteral("com16")), std::optional<int>(16));
        QCOMPARE(ParseComNumber(QStringLiteral("COM17")), std::optional<int>(17));
        QCOMPARE(ParseComNumber(QStringLiteral("COM0")), std::optional<int>(0));
        for (const char* bad : {"COM", "LPT1", "COM3 ", "COM-1", "3", "COM1x", "COM9999999999"})
            QVERIFY2(!ParseComNumber(QString::fromLatin1(bad)), bad);
        QVERIFY(!IsComInMap(0) && IsComInMap(1) && IsComInMap(16) && !IsComInMap(17));

        QTemporaryDir dir;
        QVERIFY(Link(QStringLiteral("/dev/ttyUSB0"), dir.filePath(QStringLiteral("com2"))));
        QVERIFY(Link(QStringLiteral("../elsewhere/tty"), dir.filePath(QStringLiteral("com3"))));
        QFile plain(dir.filePath(QStringLiteral("com4")));
        QVERIFY(plain.open(QIODevice::WriteOnly));

        const PortMapEntry none = ReadPortMapEntry(dir.path(), 1);
        QCOMPARE(none.kind, PortMapEntry::EKind::None);
        QCOMPARE(none.device, QStringLiteral("/dev/ttyS0"));
        QCOMPARE(none.link, dir.filePath(QStringLiteral("com1")));
        const PortMapEntry linked = ReadPortMapEntry(dir.path(), 2);
        QCOMPARE(linked.kind, PortMapEntry::EKind::Link);
        QCOMPARE(linked.device, QStringLiteral("/dev/ttyUSB0")); // even though it is missing
        // A relative link counts from its folder.
        const PortMapEntry relative = ReadPortMapEntry(dir.path(), 3);
        QCOMPARE(relative.linkText, QStringLiteral("../elsewhere/tty"));
        QCOMPARE(relative.device,
                 QDir::cleanPath(dir.path() + QStringLiteral("/../elsewhere/tty")));
        // Anything else named comN is no link: COMn keeps its default.
        const PortMapEntry file = ReadPortMapEntry(dir.path(), 4);
        QCOMPARE(file.kind, PortMapEntry::EKind::NotALink);
        QCOMPARE(file.device, QStringLiteral("/dev/ttyS3"));

        // A link that would reach itself: directly, through another link, or
        // through another way of writing its folder.
        const QString com5 = dir.filePath(QStringLiteral("com5"));
        QVERIFY(PathLeadsThrough(com5, com5));
        QVERIFY(PathLeadsThrough(dir.path() + QStringLiteral("/./x/../com5"), com5));
        QVERIFY(Link(com5, dir.filePath(QStringLiteral("via"))));
        QVERIFY(PathLeadsThrough(dir.filePath(QStringLiteral("via")), com5));
        QVERIFY(!PathLeadsThrough(dir.filePath(QStringLiteral("com2")), com5));
        QVERIFY(!PathLeadsThrough(QStringLiteral("/dev/null"), com5));
        QVERIFY(Link(QStringLiteral("loop"), dir.filePath(QStringLiteral("loop"))));
        QVERIFY(!PathLeadsThrough(dir.filePath(QStringLiteral("loop")), com5)); // ends

        // Placing a link makes the folder, replaces the link there, and
        // leaves nothing else behind; a folder that cannot be made says so.
        const QString map = dir.filePath(QStringLiteral("map"));
        QString error;
        QVERIFY(PlacePortMapLink(map, 7, QStringLiteral("/dev/ttyUSB0"), error));
        QVERIFY(PlacePortMapLink(map, 7, QStringLiteral("/dev/pts/3"), error));
        QCOMPARE(ReadPortMapEntry(map, 7).linkText, QStringLiteral("/dev/pts/3"));
        QCOMPARE(QDir(map).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList{QStringLiteral("com7")});
        QVERIFY(!PlacePortMapLink(dir.filePath(QStringLiteral("com4/map")), 1,
                                  QStringLiteral("/dev/ttyUSB0"), error));
        QCOMPARE(error, QStringLiteral("cannot create the port-map folder %1")
                            .arg(dir.filePath(QStringLiteral("com4/map"))));
    }

    // A USB adapter is linked by its by-id name, so that it keeps its COM
    // number however the system numbers it next time.
    void linksPreferTheStableByIdName() {
        TestPty adapter, other;
        QVERIFY(adapter.IsValid() && other.IsValid());
        QTemporaryDir byId, elsewhere;
        QVERIFY(Link(other.SlavePath(), byId.filePath(QStringLiteral("usb-Other_X-if00-port0"))));
        QVERIFY(Link(adapter.SlavePath(), byId.filePath(QStringLiteral("usb-FTDI_B-if00-port0"))));
        QVERIFY(Link(adapter.SlavePath(), byId.filePath(QStringLiteral("usb-FTDI_A-if00-port0"))));
        QVERIFY(Link(adapter.SlavePath(), elsewhere.filePath(QStringLiteral("alias"))));
        const QString a = byId.filePath(QStringLiteral("usb-FTDI_A-if00-port0"));

        QCOMPARE(ByIdPathFor(adapter.SlavePath(), byId.path()), a); // the first by name
        QCOMPARE(StableDevicePath(adapter.SlavePath(), byId.path()), a);
        QCOMPARE(StableDevicePath(elsewhere.filePath(QStringLiteral("alias")), byId.path()), a);
        // A by-id name given stays the one given.
        const QString b = byId.filePath(QStringLiteral("usb-FTDI_B-if00-port0"));
        QCOMPARE(StableDevicePath(b, byId.path()), b);
        QCOMPARE(StableDevicePath(other.SlavePath(), byId.path()),
                 byId.filePath(QStringLiteral("usb-Other_X-if00-port0")));

        // Without a by-id name (or without the folder): the node itself, not
        // the link it was given by.
        const QString none = elsewhere.filePath(QStringLiteral("no-by-id"));
        QVERIFY(ByIdPathFor(adapter.SlavePath(), none).isEmpty());
        QCOMPARE(StableDevicePath(elsewhere.filePath(QStringLiteral("alias")), none),
                 adapter.SlavePath());
        QVERIFY(ByIdPathFor(QStringLiteral("/nonexistent/tty"), byId.path()).isEmpty());
    }

    void accessFollowsTheBitsThatApplyToTheUser_data() {
        QTest::addColumn<uint>("mode");
        QTest::addColumn<uint>("uid");
        QTest::addColumn<QList<uint>>("groups");
        QTest::addColumn<int>("access");
        const int ok = int(EPortAccess::Allowed), join = int(EPortAccess::NotInGroup),
                  no = int(EPortAccess::Denied);
        // The node belongs to user 500 and group 20 (dialout).
        QTest::newRow("superuser, no bits") << 0000u << 0u << QList<uint>{0} << ok;
        QTest::newRow("owner, rw") << 0600u << 500u << QList<uint>{100} << ok;
        QTest::newRow("owner, read only") << 0460u << 500u << QList<uint>{20} << no;
        QTest::newRow("owner, group rw only") << 0060u << 500u << QList<uint>{20} << no;
        QTest::newRow("member, rw") << 0660u << 1000u << QList<uint>{1000, 20} << ok;
        QTest::newRow("member, group read only") << 0646u << 1000u << QList<uint>{20} << no;
        QTest::newRow("effective group") << 0660u << 1000u << QList<uint>{20, 27} << ok;
        QTest::newRow("not in group, group rw") << 0660u << 1000u << QList<uint>{1000, 27} << join;
        QTest::newRow("not in group, others rw") << 0666u << 1000u << QList<uint>{1000} << ok;
        QTest::newRow("owner only") << 0600u << 1000u << QList<uint>{1000} << no;
        QTest::newRow("group read only") << 0640u << 1000u << QList<uint>{1000} << no;
    }
    void accessFollowsTheBitsThatApplyToTheUser() {
        QFETCH(uint, mode);
        QFETCH(uint, uid);
        QFETCH(QList<uint>, groups);
        QFETCH(int, access);
        PortUser user;
        user.uid = uid;
        for (uint g : groups)
            user.groups.push_back(g);
        const NodePermissions node{500, 20, mode_t(S_IFCHR | mode)};
        QCOMPARE(int(AccessByPermissions(node, user)), access);
    }

    void serialLinesByTheKernelsTable() {
        const QString table = QString::fromLatin1(kTtyDrivers);
        QVERIFY(IsSerialLineDevice(table, 188, 0));  // ttyUSB0
        QVERIFY(IsSerialLineDevice(table, 166, 3));  // ttyACM3
        QVERIFY(IsSerialLineDevice(table, 4, 64));   // ttyS0
        QVERIFY(IsSerialLineDevice(table, 4, 95));   // the last UART
        QVERIFY(IsSerialLineDevice(table, 216, 0));  // rfcomm0
        QVERIFY(IsSerialLineDevice(table, 136, 7));  // a pseudo-terminal's slave
        QVERIFY(!IsSerialLineDevice(table, 4, 96));  // past the UARTs
        QVERIFY(!IsSerialLineDevice(table, 4, 1));   // a virtual console
        QVERIFY(!IsSerialLineDevice(table, 5, 0));   // /dev/tty
        QVERIFY(!IsSerialLineDevice(table, 5, 2));   // /dev/ptmx
        QVERIFY(!IsSerialLineDevice(table, 128, 0)); // a pseudo-terminal's master
        QVERIFY(!IsSerialLineDevice(table, 1, 3));   // /dev/null: no tty at all
        QVERIFY(!IsSerialLineDevice(QString(), 188, 0));
        QCOMPARE(ModeText(S_IFCHR | 0660), QStringLiteral("crw-rw----"));
        QCOMPARE(ModeText(S_IFDIR | 0755), QStringLiteral("drwxr-xr-x"));
    }

    void uiThreadCallsRunInOrderWithNothingLost() {
        CUiThreadCall calls;
        std::vector<int> seen; // touched on the UI thread only
        constexpr int kThreads = 4, kEach = 200;
        std::atomic<int> finished{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int k = 0; k < kEach; ++k)
                    QVERIFY(calls.Call([&, t, k] { seen.push_back(t * 1000 + k); }));
                ++finished;
            });
        while (finished < kThreads)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        for (auto& th : threads)
            th.join();
        QCOMPARE(int(seen.size()), kThreads * kEach);
        // Each thread's calls appear in its own order.
        std::vector<int> last(kThreads, -1);
        for (int v : seen) {
            QVERIFY(v % 1000 > last[v / 1000]);
            last[v / 1000] = v % 1000;
        }
        // On the UI thread a call runs at once.
        bool ran = false;
        QVERIFY(calls.Call([&] { ran = true; }));
        QVERIFY(ran);
    }

    void closingRunsWhatWaitsAndRefusesTheRest() {
        CUiThreadCall calls;
        int ranOnUi = 0;
        std::atomic<int> refused{0};
        std::thread worker([&] {
            calls.Call([&] { ++ranOnUi; }); // waits: its event is held back below
            if (!calls.Call([&] { ++ranOnUi; }))
                ++refused;
        });
        // The event that would run the first call is held back, so the call
        // is certainly queued and waiting when the UI side closes.
        CloseOnCallEvent closer(calls);
        qApp->installEventFilter(&closer);
        QTRY_VERIFY(closer.closed);
        qApp->removeEventFilter(&closer);
        worker.join(); // would hang if the waiting call were left waiting
        QCOMPARE(ranOnUi, 1);
        QCOMPARE(refused.load(), 1);
    }

    void windowHandleMergesRepaintsFromAnyThread() {
        PaintCounter w;
        w.resize(200, 50);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCoreApplication::processEvents();
        CWndHandle h;
        QVERIFY(!IsWindow(h));
        QRect r(10, 0, 8, 50);
        InvalidateRect(h, &r, true); // no window yet: nothing happens
        h.Attach(&w);
        QVERIFY(IsWindow(h));
        w.paints = 0;
        std::thread t([&] {
            for (int x = 0; x < 100; ++x) {
                QRect band(x, 0, 8, 50);
                InvalidateRect(h, &band, true);
            }
        });
        t.join();
        QTRY_VERIFY(w.paints >= 1);
        QVERIFY(w.paints <= 2); // a burst costs one paint (two if it straddled one)
        QVERIFY(w.last.boundingRect().contains(QRect(50, 0, 8, 50)));
        h.Detach();
        QVERIFY(!IsWindow(h));
        const int before = w.paints;
        InvalidateRect(h, nullptr, false);
        EventLoopPassesUntilIdle();
        QCOMPARE(w.paints, before);
    }

    void windowHandleOutlivesItsWidgetSafely() {
        CWndHandle h;
        {
            QWidget w;
            h.Attach(&w);
            InvalidateRect(h, nullptr, false); // queued for a widget about to go
        }                                      // destroyed without a Detach
        QCoreApplication::processEvents();
        QVERIFY(!IsWindow(h));
        InvalidateRect(h, nullptr, false);
    }
};

QTEST_MAIN(TestPlatformLayer)
#include "tst_platform_layer.moc"
