// The panel's serial port as the operator drives it: the Open-port and
// Close-port buttons, ending the panel with the port open, a device that
// vanishes while the panel samples, and the advice after a failed opening.
// The device is a pseudo-terminal.
#include "link/PortHints.h"
#include "platform/MessageBox.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"
#include "support/panelsupport.h"
#include "support/pty.h"
#include "support/testsupport.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kOpened = QStringLiteral("串口打开成功");
const QString kClosed = QStringLiteral("串口关闭成功");
const QString kOpenFailedPrefix = QStringLiteral("串口(COM9)打开失败,错误号");

// The advice after a failed opening of COMn, up to what it says to do.
QString ToolAdvice(int n) {
    return QStringLiteral("运行tovrel-ports可列出找到的串口设备,用tovrel-ports set COM%1 设备路径 ")
        .arg(n);
}

// Set when this program runs itself again as a plain user (see below).
const char kForeignDeviceVar[] = "TOVREL_TEST_FOREIGN_DEVICE";
const char kExpectedHintVar[] = "TOVREL_TEST_EXPECTED_HINT";

// The texts of the history log's lines, without their time stamps. A line
// without a well-formed stamp is returned whole, so that comparisons show it.
QStringList LogTexts(const CTovrelDlg& dlg) {
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d: "));
    QStringList texts;
    const QStringList lines =
        dlg.m_editHistory.GetWindowText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QRegularExpressionMatch m = stamp.match(line);
        texts << (m.hasMatch() ? line.mid(m.capturedLength()) : line);
    }
    return texts;
}

// What the device receives: the bytes expected, and whatever else follows
// them shortly, so that a stray byte fails the comparison.
QByteArray Received(TestPty& pty, qsizetype expected) {
    QByteArray bytes = pty.Read(expected);
    return bytes + pty.Read(64, 100);
}

struct Panel : PanelFixture {
    QStringList Log() const { return LogTexts(dlg); }
    int Count(const QString& text) const { return int(Log().count(text)); }
};
} // namespace

class TestPanelLink : public QObject {
    Q_OBJECT
    QStringList m_boxes;

    // Opens COM4 leading to device, which this user may not open: the
    // failure line as always, then the advice, and the box with the failure.
    void OpenAndExpectHint(const QString& device, const QString& hint) {
        QVERIFY(TestPty::LinkComTo(4, device));
        Panel p;
        p.Select(4);
        p.Press(IDC_BUTTON_OPENPORT);
        const QStringList log = p.Log();
        QCOMPARE(log.size(), 2);
        QVERIFY2(log[0].startsWith(QStringLiteral("串口(COM4)打开失败,错误号")),
                 qPrintable(log[0]));
        QVERIFY2(log[0].contains(device), qPrintable(log[0]));
        QCOMPARE(log[1], hint);
        QCOMPARE(m_boxes, QStringList{log[0]});
        QCOMPARE(p.dlg.m_bPortOpen, 0);
        QVERIFY(!p.dlg.m_pRecvThread.IsRunning());
    }

private slots:
    void initTestCase() { InitPanelTestApp(&m_boxes); }
    void init() { m_boxes.clear(); }

    void openConfiguresTheSelectedPortOnceAndStartsOneWorker() {
        TestPty com3, com5;
        QVERIFY(com3.LinkAsCom(3) && com5.LinkAsCom(5));
        Panel p;
        p.Select(3);
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.dlg.m_iComPort, 3);
        QCOMPARE(p.dlg.m_bPortOpen, 1);
        QVERIFY(p.dlg.m_comm.get_PortOpen());
        const auto tty = com3.SlaveSettings();
        QVERIFY(tty);
        QCOMPARE(tty->outputBaud, 926000u);
        QCOMPARE(tty->inputBaud, 926000u);
        QVERIFY(tty->customBaud);
        QCOMPARE(tty->dataBits, 8);
        QCOMPARE(tty->parity, 'n');
        QCOMPARE(tty->stopBits, 1);
        QVERIFY(tty->raw);
        QVERIFY(!tty->flowControl);
        QCOMPARE(p.Log(), QStringList{kOpened});
        QVERIFY(p.dlg.m_pRecvThread.IsRunning());
        const std::thread::id worker = p.dlg.m_pRecvThread.ThreadId();

        // Again, and with another port selected: each press reports success,
        // the port stays the one first opened, and no second worker starts.
        p.Press(IDC_BUTTON_OPENPORT);
        p.Select(5);
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.dlg.m_iComPort, 5);
        QCOMPARE(p.Log(), QStringList({kOpened, kOpened, kOpened}));
        QCOMPARE(p.dlg.m_pRecvThread.ThreadId(), worker);
        p.Press(IDC_BUTTON_STOP);
        QCOMPARE(Received(com3, 3), QByteArray::fromHex("F03323"));
        QVERIFY(com5.Read(1, 100).isEmpty());
        QVERIFY(m_boxes.isEmpty());
    }

    void failedOpeningIsLoggedAndShownAndStartsNothing() {
        QVERIFY(TestPty::LinkComTo(9, QDir::home().filePath(QStringLiteral("no-such-tty"))));
        Panel p;
        p.Select(9);
        p.Press(IDC_BUTTON_OPENPORT);
        const QStringList log = p.Log();
        QCOMPARE(log.size(), 2);
        QVERIFY2(log[0].startsWith(kOpenFailedPrefix), qPrintable(log[0]));
        // Then what COM9 leads to and how to point it elsewhere.
        QCOMPARE(log[1],
                 QStringLiteral("COM9链接到%1,该设备不存在(设备未连接?);%2重新设定")
                     .arg(QDir::home().filePath(QStringLiteral("no-such-tty")), ToolAdvice(9)));
        // The reason is the system's, in words, naming what could not be opened.
        const QString reason = log[0].mid(kOpenFailedPrefix.size());
        QVERIFY2(reason.contains(QRegularExpression(QStringLiteral("[A-Za-z]{3,}"))),
                 qPrintable(reason));
        QVERIFY2(reason.contains(QStringLiteral("no-such-tty")), qPrintable(reason));
        QCOMPARE(m_boxes, QStringList{log[0]});
        QCOMPARE(p.dlg.m_iComPort, 9);
        QCOMPARE(p.dlg.m_bPortOpen, 0);
        QVERIFY(!p.dlg.m_comm.get_PortOpen());
        QVERIFY(!p.dlg.m_pRecvThread.IsRunning());

        // Once the device is there, the same press succeeds.
        TestPty com9;
        QVERIFY(com9.LinkAsCom(9));
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.dlg.m_bPortOpen, 1);
        QCOMPARE(p.Log().last(), kOpened);
        QVERIFY(p.dlg.m_pRecvThread.IsRunning());
    }

    // Without a link COMn is /dev/ttyS(n-1); when that is missing too, the
    // advice says so and names the tool that finds the adapter.
    void missingDefaultDeviceIsExplained() {
        int n = kComPortCount;
        while (n > 0 && QFileInfo::exists(QStringLiteral("/dev/ttyS%1").arg(n - 1)))
            --n;
        if (n == 0)
            QSKIP("every /dev/ttyS0 to /dev/ttyS15 exists here");
        QFile::remove(PortMapLink(n));
        Panel p;
        p.Select(n);
        p.Press(IDC_BUTTON_OPENPORT);
        const QStringList log = p.Log();
        QCOMPARE(log.size(), 2);
        QVERIFY2(log[0].startsWith(QStringLiteral("串口(COM%1)打开失败,错误号").arg(n)),
                 qPrintable(log[0]));
        QCOMPARE(log[1], QStringLiteral("COM%1未设置链接,即/dev/ttyS%2,该设备不存在;%3设定COM%1")
                             .arg(n)
                             .arg(n - 1)
                             .arg(ToolAdvice(n)));
        QCOMPARE(m_boxes, QStringList{log[0]});
    }

    // A device the user may not open, as a plain user meets it: the advice
    // names the device's group and how to join it. As the superuser (who may
    // open anything) this test runs itself again as nobody, against a
    // pseudo-terminal owned by root:dialout with mode 660, as udev leaves a
    // USB adapter; as a plain user already, against its own pseudo-terminal
    // with every permission taken away.
    void deviceTheUserMayNotOpenIsExplained() {
        if (qEnvironmentVariableIsSet(kForeignDeviceVar)) {
            QVERIFY(::geteuid() != 0);
            OpenAndExpectHint(qEnvironmentVariable(kForeignDeviceVar),
                              qEnvironmentVariable(kExpectedHintVar));
            return;
        }
        TestPty pty;
        QVERIFY(pty.IsValid());
        const QByteArray slave = QFile::encodeName(pty.SlavePath());
        if (::geteuid() != 0) {
            struct stat st {};
            QVERIFY(::chmod(slave.constData(), 0) == 0 && ::stat(slave.constData(), &st) == 0);
            const passwd* me = ::getpwuid(::geteuid());
            const group* gr = ::getgrgid(st.st_gid);
            QVERIFY(me && gr);
            OpenAndExpectHint(pty.SlavePath(),
                              QStringLiteral("当前用户%1无权读写%2(权限c---------,所有者%1,组%3)")
                                  .arg(QString::fromLocal8Bit(me->pw_name), pty.SlavePath(),
                                       QString::fromLocal8Bit(gr->gr_name)));
            return;
        }
        const passwd* nobody = ::getpwnam("nobody");
        const group* dialout = ::getgrnam("dialout");
        if (!nobody || !dialout)
            QSKIP("no user nobody or no group dialout here");
        const uid_t uid = nobody->pw_uid;
        const gid_t gid = nobody->pw_gid;
        QVERIFY(::chown(slave.constData(), 0, dialout->gr_gid) == 0);
        QVERIFY(::chmod(slave.constData(), 0660) == 0);
        QTemporaryDir home; // the plain user's own, for its temporary folders
        QVERIFY(::chown(QFile::encodeName(home.path()).constData(), uid, gid) == 0);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"TOVREL_TEST_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                                 "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("TMPDIR"), home.path());
        env.insert(QString::fromLatin1(kForeignDeviceVar), pty.SlavePath());
        env.insert(QString::fromLatin1(kExpectedHintVar),
                   QStringLiteral("当前用户nobody不在dialout组,无权打开%1;执行sudo adduser "
                                  "nobody dialout,重新登录后生效")
                       .arg(pty.SlavePath()));
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.setChildProcessModifier([uid, gid] {
            // Left as the superuser, the child fails its own check.
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(126);
        });
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("deviceTheUserMayNotOpenIsExplained")});
        if (!child.waitForStarted())
            QSKIP("this test program cannot be started as the user nobody here");
        QVERIFY(child.waitForFinished(120000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
                 output.constData());
        QVERIFY2(output.contains("PASS   : TestPanelLink::deviceTheUserMayNotOpenIsExplained"),
                 output.constData());
    }

    // The line after a failed opening, in the cases the tests above do not
    // meet: a comN that is no link, a user whose new group needs a new login,
    // bits that no group would help with, and facts that explain nothing.
    void hintsAfterAFailedOpening() {
        using S = DeviceFacts::EState;
        PortMapEntry notALink;
        notALink.n = 3;
        notALink.kind = PortMapEntry::EKind::NotALink;
        notALink.link = QStringLiteral("/m/com3");
        notALink.device = QStringLiteral("/dev/ttyS2");
        DeviceFacts missing;
        missing.state = S::Missing;
        QCOMPARE(OpenFailureHint(notALink, missing),
                 QStringLiteral("COM3未设置链接(/m/com3不是链接),即/dev/ttyS2,该设备不存在;"
                                "运行tovrel-ports可列出找到的串口设备,用tovrel-ports set COM3 "
                                "设备路径 设定COM3"));

        PortMapEntry linked = notALink;
        linked.kind = PortMapEntry::EKind::Link;
        linked.device = QStringLiteral("/dev/serial/by-id/usb-FTDI_A-if00-port0");
        DeviceFacts denied;
        denied.state = S::NoAccess;
        denied.path = QStringLiteral("/dev/ttyUSB0");
        denied.userName = QStringLiteral("alice");
        denied.ownerName = QStringLiteral("root");
        denied.groupName = QStringLiteral("dialout");
        denied.permissions.mode = S_IFCHR | 0660;
        denied.access = EPortAccess::NotInGroup;
        denied.groupListsUser = true;
        QCOMPARE(OpenFailureHint(linked, denied),
                 QStringLiteral("当前用户alice已加入dialout组,但本次登录尚未生效,无权打开"
                                "/dev/ttyUSB0;请重新登录"));
        denied.access = EPortAccess::Denied;
        denied.permissions.mode = S_IFCHR | 0600;
        QCOMPARE(OpenFailureHint(linked, denied),
                 QStringLiteral("当前用户alice无权读写/dev/ttyUSB0(权限crw-------,所有者root,"
                                "组dialout)"));

        for (S other : {S::Usable, S::NotSerial, S::Unreachable}) {
            DeviceFacts f;
            f.state = other;
            QVERIFY(OpenFailureHint(linked, f).isEmpty());
        }
    }

    void portThatRefusesItsSettingsIsClosedAgain() {
        // A pseudo-terminal refuses parity once it is open: the port was
        // opened and then could not be set up, so it must not stay open with
        // half its settings, or the next press would pass as a success.
        TestPty com3;
        QVERIFY(com3.LinkAsCom(3));
        Panel p;
        p.dlg.m_strLineSettings = QStringLiteral("926000,e,8,1");
        p.Select(3);
        const QString failed = QStringLiteral("串口(COM3)打开失败,错误号");
        for (int press = 1; press <= 2; ++press) {
            p.Press(IDC_BUTTON_OPENPORT);
            QVERIFY(!p.dlg.m_comm.get_PortOpen());
            QCOMPARE(p.dlg.m_bPortOpen, 0);
            const QStringList log = p.Log();
            QCOMPARE(std::count_if(log.begin(), log.end(),
                                   [&](const QString& line) { return line.startsWith(failed); }),
                     press);
            QCOMPARE(m_boxes.size(), press);
            QVERIFY2(m_boxes.last().startsWith(failed), qPrintable(m_boxes.last()));
        }
        QCOMPARE(p.Count(kOpened), 0);
        QVERIFY(!p.dlg.m_pRecvThread.IsRunning());
    }

    void failureIsShownInAModalBoxWithOk() {
        QVERIFY(TestPty::LinkComTo(9, QDir::home().filePath(QStringLiteral("no-such-tty"))));
        SetMessageBoxHook({});
        // Looks for the box from the event loop the box runs, reads it and
        // presses its OK. The timer goes with this scope, also on failure.
        QString text;
        QMessageBox::StandardButtons buttons;
        QStringList logWhileShown;
        const CTovrelDlg* panel = nullptr;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                poll.stop();
                if (panel)
                    logWhileShown = LogTexts(*panel);
                text = box->text();
                buttons = box->standardButtons();
                box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start();
        Panel p;
        panel = &p.dlg;
        p.Select(9);
        p.Press(IDC_BUTTON_OPENPORT); // returns once the box is closed
        SetMessageBoxHook([this](const QString& t) { m_boxes << t; });
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(text.startsWith(kOpenFailedPrefix));
        // The box shows the failure alone; the advice is in the log already.
        QCOMPARE(logWhileShown.size(), 2);
        QCOMPARE(logWhileShown[0], text);
        QCOMPARE(p.Log(), logWhileShown);
        QVERIFY(p.dlg.isVisible());
    }

    void closeButtonClosesOnlyAnOpenPortAndLeavesTheWorker() {
        TestPty com3;
        QVERIFY(com3.LinkAsCom(3));
        Panel p;
        p.Select(3);
        p.Press(IDC_BUTTON_CLOSEPORT);
        QVERIFY(p.Log().isEmpty());

        p.Press(IDC_BUTTON_OPENPORT);
        const std::thread::id worker = p.dlg.m_pRecvThread.ThreadId();
        p.Press(IDC_BUTTON_CLOSEPORT);
        QVERIFY(!p.dlg.m_comm.get_PortOpen());
        QCOMPARE(p.dlg.m_bPortOpen, 0);
        QCOMPARE(p.dlg.m_iComPort, 3);
        QCOMPARE(p.dlg.m_pRecvThread.ThreadId(), worker);
        p.Press(IDC_BUTTON_CLOSEPORT);
        QCOMPARE(p.Log(), QStringList({kOpened, kClosed}));

        // It opens again, with the same worker, and carries frames.
        p.Press(IDC_BUTTON_OPENPORT);
        QVERIFY(p.dlg.m_comm.get_PortOpen());
        QCOMPARE(p.dlg.m_pRecvThread.ThreadId(), worker);
        p.Press(IDC_BUTTON_STOP);
        QCOMPARE(Received(com3, 3), QByteArray::fromHex("F03323"));
        QCOMPARE(p.Log(), QStringList({kOpened, kClosed, kOpened}));
        QVERIFY(m_boxes.isEmpty());
    }

    void closingThePanelClosesAnOpenPortFirst_data() {
        QTest::addColumn<bool>("open");
        QTest::newRow("port open") << true;
        QTest::newRow("port closed") << false;
    }
    void closingThePanelClosesAnOpenPortFirst() {
        QFETCH(bool, open);
        TestPty com3;
        QVERIFY(com3.LinkAsCom(3));
        Panel p;
        p.Select(3);
        if (open)
            p.Press(IDC_BUTTON_OPENPORT);
        QStringList logAtEnd;
        QObject::connect(&p.dlg, &QDialog::finished, [&] { logAtEnd = p.Log(); });
        p.dlg.close(); // the handler ends the run itself, so the event is not accepted
        QVERIFY(!p.dlg.isVisible());
        QCOMPARE(p.dlg.result(), int(QDialog::Rejected));
        QCOMPARE(logAtEnd, open ? QStringList({kOpened, kClosed}) : QStringList());
        QCOMPARE(p.Log(), logAtEnd);
        QVERIFY(!p.dlg.m_comm.get_PortOpen());
        QVERIFY(!p.dlg.m_pRecvThread.IsRunning()); // the worker was stopped and joined
    }

    void okAndCancelEndThePanelWithoutALogLine() {
        TestPty com3;
        QVERIFY(com3.LinkAsCom(3));
        for (bool ok : {true, false}) {
            Panel p;
            p.Select(3);
            p.Press(IDC_BUTTON_OPENPORT);
            ok ? p.dlg.OnOK() : p.dlg.OnCancel();
            QVERIFY(!p.dlg.isVisible());
            QCOMPARE(p.dlg.result(), int(ok ? QDialog::Accepted : QDialog::Rejected));
            QCOMPARE(p.Log(), QStringList{kOpened});
            QVERIFY(!p.dlg.m_pRecvThread.IsRunning());
        }
        QVERIFY(m_boxes.isEmpty());
    }

    void vanishedDeviceIsReportedOnceAndThePortOpensAgain() {
        const QString lost = QStringLiteral("串口(COM3)连接中断");
        auto device = std::make_unique<TestPty>();
        QVERIFY(device->LinkAsCom(3));
        Panel p;
        p.Select(3);
        p.Press(IDC_BUTTON_OPENPORT);
        p.Press(IDC_BUTTON_START);
        QCOMPARE(Received(*device, 3), QByteArray::fromHex("F03222"));
        QByteArray record = QByteArray::fromHex("AA3A0102030405060708090A0B0C55");
        QVERIFY(device->Write(record.repeated(40)));
        device->CloseMaster();

        QTRY_VERIFY(!p.dlg.m_comm.get_PortOpen());
        QTRY_COMPARE(p.Count(lost), 1);
        QCOMPARE(p.dlg.m_bPortOpen, 0);

        // Nothing keeps the event loop busy once the port is gone.
        const int passes = EventLoopPassesUntilIdle();
        QVERIFY2(passes < 1000, qPrintable(QString::number(passes)));
        QCOMPARE(p.Count(lost), 1);
        QVERIFY(m_boxes.isEmpty());

        // The device comes back under the same name.
        const std::thread::id worker = p.dlg.m_pRecvThread.ThreadId();
        device.reset();
        TestPty again;
        QVERIFY(again.LinkAsCom(3));
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.dlg.m_bPortOpen, 1);
        QCOMPARE(p.Log().last(), kOpened);
        QCOMPARE(p.dlg.m_pRecvThread.ThreadId(), worker);
        p.Press(IDC_BUTTON_STOP);
        QCOMPARE(Received(again, 3), QByteArray::fromHex("F03323"));
        QVERIFY(m_boxes.isEmpty());
    }
};

QTEST_MAIN(TestPanelLink)
#include "tst_panel_link.moc"
