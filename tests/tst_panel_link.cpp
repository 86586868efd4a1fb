// The panel's serial port as the operator drives it: the Open-port and
// Close-port buttons, ending the panel with the port open, and a device that
// vanishes while the panel samples. The device is a pseudo-terminal.
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
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {
const QString kOpened = QStringLiteral("串口打开成功");
const QString kClosed = QStringLiteral("串口关闭成功");
const QString kOpenFailedPrefix = QStringLiteral("串口(COM9)打开失败,错误号");

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
        QVERIFY(p.dlg.m_pRecvThread.joinable());
        const std::thread::id worker = p.dlg.m_pRecvThread.get_id();

        // Again, and with another port selected: each press reports success,
        // the port stays the one first opened, and no second worker starts.
        p.Press(IDC_BUTTON_OPENPORT);
        p.Select(5);
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.dlg.m_iComPort, 5);
        QCOMPARE(p.Log(), QStringList({kOpened, kOpened, kOpened}));
        QCOMPARE(p.dlg.m_pRecvThread.get_id(), worker);
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
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(kOpenFailedPrefix), qPrintable(log[0]));
        // The reason is the system's, in words, naming what could not be opened.
        const QString reason = log[0].mid(kOpenFailedPrefix.size());
        QVERIFY2(reason.contains(QRegularExpression(QStringLiteral("[A-Za-z]{3,}"))),
                 qPrintable(reason));
        QVERIFY2(reason.contains(QStringLiteral("no-such-tty")), qPrintable(reason));
        QCOMPARE(m_boxes, QStringList{log[0]});
        QCOMPARE(p.dlg.m_iComPort, 9);
        QCOMPARE(p.dlg.m_bPortOpen, 0);
        QVERIFY(!p.dlg.m_comm.get_PortOpen());
        QVERIFY(!p.dlg.m_pRecvThread.joinable());

        // Once the device is there, the same press succeeds.
        TestPty com9;
        QVERIFY(com9.LinkAsCom(9));
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.dlg.m_bPortOpen, 1);
        QCOMPARE(p.Log().last(), kOpened);
        QVERIFY(p.dlg.m_pRecvThread.joinable());
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
        QVERIFY(!p.dlg.m_pRecvThread.joinable());
    }

    void failureIsShownInAModalBoxWithOk() {
        QVERIFY(TestPty::LinkComTo(9, QDir::home().filePath(QStringLiteral("no-such-tty"))));
        SetMessageBoxHook({});
        // Looks for the box from the event loop the box runs, reads it and
        // presses its OK. The timer goes with this scope, also on failure.
        QString text;
        QMessageBox::StandardButtons buttons;
        QTimer poll;
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                poll.stop();
                text = box->text();
                buttons = box->standardButtons();
                box->button(QMessageBox::Ok)->click();
            }
        });
        poll.start();
        Panel p;
        p.Select(9);
        p.Press(IDC_BUTTON_OPENPORT); // returns once the box is closed
        SetMessageBoxHook([this](const QString& t) { m_boxes << t; });
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(text.startsWith(kOpenFailedPrefix));
        QCOMPARE(p.Log(), QStringList{text});
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
        const std::thread::id worker = p.dlg.m_pRecvThread.get_id();
        p.Press(IDC_BUTTON_CLOSEPORT);
        QVERIFY(!p.dlg.m_comm.get_PortOpen());
        QCOMPARE(p.dlg.m_bPortOpen, 0);
        QCOMPARE(p.dlg.m_iComPort, 3);
        QCOMPARE(p.dlg.m_pRecvThread.get_id(), worker);
        p.Press(IDC_BUTTON_CLOSEPORT);
        QCOMPARE(p.Log(), QStringList({kOpened, kClosed}));

        // It opens again, with the same worker, and carries frames.
        p.Press(IDC_BUTTON_OPENPORT);
        QVERIFY(p.dlg.m_comm.get_PortOpen());
        QCOMPARE(p.dlg.m_pRecvThread.get_id(), worker);
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
        QVERIFY(!p.dlg.m_pRecvThread.joinable()); // the worker was stopped and joined
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
            QVERIFY(!p.dlg.m_pRecvThread.joinable());
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
        const std::thread::id worker = p.dlg.m_pRecvThread.get_id();
        device.reset();
        TestPty again;
        QVERIFY(again.LinkAsCom(3));
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.dlg.m_bPortOpen, 1);
        QCOMPARE(p.Log().last(), kOpened);
        QCOMPARE(p.dlg.m_pRecvThread.get_id(), worker);
        p.Press(IDC_BUTTON_STOP);
        QCOMPARE(Received(again, 3), QByteArray::fromHex("F03323"));
        QVERIFY(m_boxes.isEmpty());
    }
};

QTEST_MAIN(TestPanelLink)
#include "tst_panel_link.moc"
