// The device commands as the operator sends them from the panel: the frames
// the device receives byte for byte, what the log says, the entries that are
// refused, the port check, and the buttons each command enables or disables.
// The device is a pseudo-terminal.
#include "platform/DataExchange.h"
#include "platform/Errors.h"
#include "platform/MessageBox.h"
#include "resources/Resource.h"
#include "shell/TovrelDlg.h"
#include "support/panelsupport.h"
#include "support/pty.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <vector>

namespace {
const QString kOpened = QStringLiteral("串口打开成功");

QByteArray Hex(const char* hex) {
    return QByteArray::fromHex(hex);
}

// What the device receives: the bytes expected, and whatever else follows
// them shortly, so that a stray byte fails the comparison.
QByteArray Received(TestPty& pty, qsizetype expected) {
    QByteArray bytes = pty.Read(expected);
    return bytes + pty.Read(64, 100);
}

class Panel : public PanelFixture {
public:
    void Enter(int id, const QString& text) { dlg.Controls().Item<QLineEdit>(id)->setText(text); }
    bool Enabled(int id) const { return dlg.GetDlgItem(id)->isEnabled(); }

    // The log lines added since the last call, without their time stamps.
    QStringList NewLog() {
        static const QRegularExpression stamp(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d: "));
        const QStringList lines =
            dlg.m_editHistory.GetWindowText().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QStringList texts;
        for (qsizetype i = m_seen; i < lines.size(); ++i) {
            const QRegularExpressionMatch m = stamp.match(lines[i]);
            texts << (m.hasMatch() ? lines[i].mid(m.capturedLength()) : lines[i]);
        }
        m_seen = lines.size();
        return texts;
    }

    // Whether each control of the panel is enabled, by ID.
    QMap<int, bool> States() const {
        QMap<int, bool> states;
        for (int id = IDC_RADIO_TEST; id <= IDC_BUTTON_CLOSEPORT; ++id)
            if (QWidget* w = dlg.GetDlgItem(id))
                states[id] = w->isEnabled();
        return states;
    }

private:
    qsizetype m_seen = 0;
};

// The states after a handler: those before it with the given changes.
QMap<int, bool> With(QMap<int, bool> states, const std::vector<std::pair<int, bool>>& changes) {
    for (const auto& [id, enabled] : changes)
        states[id] = enabled;
    return states;
}

QString ClosedPortError(CMscomm1& comm) {
    try {
        comm.put_Output(COleVariant(Hex("F03323")));
    } catch (const COleDispatchException& e) {
        return e.m_strDescription;
    }
    return QString();
}
} // namespace

class TestPanelCommands : public QObject {
    Q_OBJECT
    QStringList m_boxes;

private slots:
    void initTestCase() { InitPanelTestApp(&m_boxes); }
    void init() { m_boxes.clear(); }

    void eachCommandSendsItsFrame_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<QString>("value1"); // coefficient or gain 1
        QTest::addColumn<QString>("value2");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QString>("logLine");
        const QString coefs = QStringLiteral("设定标定压力系数1为%1,设定标定压力系数2为%2");
        const QString gains = QStringLiteral("脉搏1放大倍数设置为%1,脉搏2放大倍数设置为%2");
        QTest::newRow("calibration mode")
            << IDC_RADIO_CALIB << QString() << QString() << Hex("F04A3A") << QString();
        QTest::newRow("download 100 100") << IDC_BUTTON_DOWNLOAD << "100"
                                          << "100" << Hex("F0416464F9") << coefs.arg(100).arg(100);
        QTest::newRow("download 200 200") << IDC_BUTTON_DOWNLOAD << "200"
                                          << "200" << Hex("F041C8C8C1") << coefs.arg(200).arg(200);
        QTest::newRow("download 0 0") << IDC_BUTTON_DOWNLOAD << "0"
                                      << "0" << Hex("F041000031") << coefs.arg(0).arg(0);
        QTest::newRow("start") << IDC_BUTTON_START << QString() << QString() << Hex("F03222")
                               << QString();
        QTest::newRow("stop") << IDC_BUTTON_STOP << QString() << QString() << Hex("F03323")
                              << QString();
        QTest::newRow("zero") << IDC_BUTTON_ZERO << QString() << QString() << Hex("F04030")
                              << QString();
        QTest::newRow("gains 127 0") << IDC_BUTTON_AMPLIFY << "127"
                                     << "0" << Hex("F0347F00A3") << gains.arg(127).arg(0);
        QTest::newRow("gains 127 127") << IDC_BUTTON_AMPLIFY << "127"
                                       << "127" << Hex("F0347F7F22") << gains.arg(127).arg(127);
        QTest::newRow("gains 0 0") << IDC_BUTTON_AMPLIFY << "0"
                                   << "0" << Hex("F034000024") << gains.arg(0).arg(0);
    }
    void eachCommandSendsItsFrame() {
        QFETCH(int, button);
        QFETCH(QString, value1);
        QFETCH(QString, value2);
        QFETCH(QByteArray, frame);
        QFETCH(QString, logLine);
        TestPty com3;
        QVERIFY(com3.LinkAsCom(3));
        Panel p;
        p.Select(3);
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.NewLog(), QStringList{kOpened});
        if (button == IDC_BUTTON_DOWNLOAD) {
            p.Enter(IDC_EDIT_COEF1, value1);
            p.Enter(IDC_EDIT_COEF2, value2);
        } else if (button == IDC_BUTTON_AMPLIFY) {
            p.Enter(IDC_EDIT_GAIN1, value1);
            p.Enter(IDC_EDIT_GAIN2, value2);
        }
        p.dlg.GetDlgItem(button)->setEnabled(true); // calibration mode waits for a zero otherwise
        p.Press(button);
        QCOMPARE(Received(com3, frame.size()), frame);
        QCOMPARE(p.NewLog(), logLine.isEmpty() ? QStringList() : QStringList{logLine});
        QVERIFY(m_boxes.isEmpty());
    }

    void refusedEntriesSendAndLogNothing_data() {
        QTest::addColumn<int>("button");
        QTest::addColumn<int>("field");
        QTest::addColumn<QString>("entry");
        QTest::addColumn<QString>("prompt");
        const QString coefRange = PromptRange(0, 200), gainRange = PromptRange(0, 127);
        QTest::newRow("coefficient 1 is 201")
            << IDC_BUTTON_DOWNLOAD << IDC_EDIT_COEF1 << "201" << coefRange;
        QTest::newRow("coefficient 2 is -1")
            << IDC_BUTTON_DOWNLOAD << IDC_EDIT_COEF2 << "-1" << coefRange;
        QTest::newRow("gain 1 is 128")
            << IDC_BUTTON_AMPLIFY << IDC_EDIT_GAIN1 << "128" << gainRange;
        QTest::newRow("gain 2 is -1") << IDC_BUTTON_AMPLIFY << IDC_EDIT_GAIN2 << "-1" << gainRange;
        // Entries that are no number leave older values in the members; those
        // must not go out in their place.
        QTest::newRow("coefficient 1 is no number")
            << IDC_BUTTON_DOWNLOAD << IDC_EDIT_COEF1 << "x" << PromptInteger();
        QTest::newRow("gain 2 is no number")
            << IDC_BUTTON_AMPLIFY << IDC_EDIT_GAIN2 << "x" << PromptUnsigned();
        // A coefficient left out of range stops the exchange before the gains.
        QTest::newRow("gains after a bad coefficient")
            << IDC_BUTTON_AMPLIFY << IDC_EDIT_COEF1 << "250" << coefRange;
    }
    void refusedEntriesSendAndLogNothing() {
        QFETCH(int, button);
        QFETCH(int, field);
        QFETCH(QString, entry);
        QFETCH(QString, prompt);
        TestPty com3;
        QVERIFY(com3.LinkAsCom(3));
        Panel p;
        p.Select(3);
        p.Press(IDC_BUTTON_OPENPORT);
        p.NewLog();
        for (int id : {IDC_EDIT_COEF1, IDC_EDIT_COEF2, IDC_EDIT_GAIN1, IDC_EDIT_GAIN2})
            p.Enter(id, QStringLiteral("50"));
        p.Enter(field, entry);
        p.Press(button);
        QCOMPARE(m_boxes, QStringList{prompt});
        QVERIFY(com3.Read(1, 200).isEmpty());
        QVERIFY(p.NewLog().isEmpty());
    }

    void startOpensAClosedPortButNoWorker() {
        TestPty com3;
        QVERIFY(com3.LinkAsCom(3));
        Panel p;
        p.Select(3);
        p.Press(IDC_BUTTON_START);
        QCOMPARE(p.NewLog(), QStringList{kOpened});
        QCOMPARE(Received(com3, 3), Hex("F03222"));
        QCOMPARE(p.dlg.m_bPortOpen, 1);
        QCOMPARE(p.dlg.m_iComPort, 3);
        QVERIFY(!p.dlg.m_pRecvThread.IsRunning());
        // The Open-port button still starts it, on the port already open.
        p.Press(IDC_BUTTON_OPENPORT);
        QCOMPARE(p.NewLog(), QStringList{kOpened});
        QVERIFY(p.dlg.m_pRecvThread.IsRunning());
        QVERIFY(m_boxes.isEmpty());
    }

    void stopAndDownloadDoNotOpenThePort() {
        TestPty com3;
        QVERIFY(com3.LinkAsCom(3));
        Panel p;
        p.Select(3);
        const QString error = ClosedPortError(p.dlg.m_comm);
        QVERIFY(!error.isEmpty());
        const QMap<int, bool> states = p.States();
        for (int button : {IDC_BUTTON_STOP, IDC_BUTTON_DOWNLOAD}) {
            m_boxes.clear();
            p.Press(button);
            QCOMPARE(m_boxes, QStringList{error});
            QCOMPARE(p.States(), states);
            QVERIFY(p.NewLog().isEmpty());
            QVERIFY(!p.dlg.m_comm.get_PortOpen());
            QCOMPARE(p.dlg.m_bPortOpen, 0);
        }
        QVERIFY(com3.Read(1, 200).isEmpty());
    }

    void failedOpeningStopsTheCommandAfterWhatItDidBefore() {
        QVERIFY(TestPty::LinkComTo(9, QDir::home().filePath(QStringLiteral("no-such-tty"))));
        const QString failed = QStringLiteral("串口(COM9)打开失败,错误号");
        Panel p;
        p.Select(9);
        p.Enter(IDC_EDIT_GAIN1, QStringLiteral("5"));
        p.Enter(IDC_EDIT_GAIN2, QStringLiteral("6"));
        p.Press(IDC_BUTTON_AMPLIFY);
        const QStringList log = p.NewLog();
        QCOMPARE(log.size(), 3); // the failure is followed by its advice
        QCOMPARE(log[0], QStringLiteral("脉搏1放大倍数设置为5,脉搏2放大倍数设置为6"));
        QVERIFY2(log[1].startsWith(failed), qPrintable(log[1]));
        QVERIFY2(log[2].startsWith(QStringLiteral("COM9链接到")), qPrintable(log[2]));
        QCOMPARE(m_boxes, QStringList{log[1]});
        QCOMPARE(p.dlg.m_bPortOpen, 0);

        // Calibration mode keeps the states it set before the check.
        m_boxes.clear();
        p.dlg.GetDlgItem(IDC_RADIO_CALIB)->setEnabled(true);
        p.Press(IDC_RADIO_CALIB);
        QCOMPARE(p.NewLog().size(), 2);
        QCOMPARE(m_boxes.size(), 1);
        QVERIFY(p.Enabled(IDC_EDIT_COEF1) && p.Enabled(IDC_EDIT_COEF2));
        QVERIFY(!p.Enabled(IDC_RADIO_CALIB));
        QCOMPARE(p.dlg.m_bTestMode.load(), 0);
        QVERIFY(!p.dlg.m_comm.get_PortOpen());
    }

    void controlStatesFollowEachCommand() {
        TestPty com3;
        QVERIFY(com3.LinkAsCom(3));
        Panel p;
        QVERIFY(QTest::qWaitForWindowActive(&p.dlg));
        p.Select(3);
        p.Press(IDC_BUTTON_OPENPORT);
        // Each step: the handler, the frame it sends, and the changes it makes.
        struct Step {
            const char* name;
            int button;
            QByteArray frame;
            std::vector<std::pair<int, bool>> changes;
            int testMode;
        };
        const Step steps[] = {
            {"zero", IDC_BUTTON_ZERO, Hex("F04030"), {{IDC_RADIO_CALIB, true}}, 1},
            {"calibration mode",
             IDC_RADIO_CALIB,
             Hex("F04A3A"),
             {{IDC_EDIT_COEF1, true}, {IDC_EDIT_COEF2, true}, {IDC_RADIO_CALIB, false}},
             0},
            {"download", IDC_BUTTON_DOWNLOAD, Hex("F0416464F9"), {}, 0},
            {"zero again", IDC_BUTTON_ZERO, Hex("F04030"), {{IDC_RADIO_CALIB, true}}, 0},
            {"start",
             IDC_BUTTON_START,
             Hex("F03222"),
             {{IDC_BUTTON_START, false},
              {IDC_BUTTON_STOP, true},
              {IDC_RADIO_CALIB, false},
              {IDC_BUTTON_ZERO, false},
              {IDC_BUTTON_DOWNLOAD, false}},
             0},
            {"amplification", IDC_BUTTON_AMPLIFY, Hex("F034000024"), {}, 0},
            {"stop",
             IDC_BUTTON_STOP,
             Hex("F03323"),
             {{IDC_BUTTON_START, true},
              {IDC_BUTTON_STOP, false},
              {IDC_BUTTON_ZERO, true},
              {IDC_BUTTON_DOWNLOAD, true}},
             0},
            {"test mode",
             IDC_RADIO_TEST,
             QByteArray(),
             {{IDC_EDIT_COEF1, false}, {IDC_EDIT_COEF2, false}},
             1},
        };
        for (const Step& step : steps) {
            const QMap<int, bool> expected = With(p.States(), step.changes);
            p.Press(step.button);
            QVERIFY2(p.States() == expected, step.name);
            QCOMPARE(Received(com3, step.frame.size()), step.frame);
            QCOMPARE(p.dlg.m_bTestMode.load(), step.testMode);
            if (step.button == IDC_RADIO_CALIB)
                QCOMPARE(QApplication::focusWidget(), p.dlg.GetDlgItem(IDC_EDIT_COEF1));
        }
        QVERIFY(p.Enabled(IDC_RADIO_TEST) && p.Enabled(IDC_BUTTON_AMPLIFY));
        QVERIFY(m_boxes.isEmpty());
    }

    void commandAfterCloseOpensThePortAgain() {
        TestPty com3;
        QVERIFY(com3.LinkAsCom(3));
        Panel p;
        p.Select(3);
        p.Press(IDC_BUTTON_OPENPORT);
        p.Press(IDC_BUTTON_CLOSEPORT);
        p.NewLog();
        p.Press(IDC_BUTTON_ZERO);
        QCOMPARE(p.NewLog(), QStringList{kOpened});
        QCOMPARE(Received(com3, 3), Hex("F04030"));
        QVERIFY(p.dlg.m_comm.get_PortOpen());
        QCOMPARE(p.dlg.m_bPortOpen, 1);
        QVERIFY(m_boxes.isEmpty());
    }
};

QTEST_MAIN(TestPanelCommands)
#include "tst_panel_commands.moc"
