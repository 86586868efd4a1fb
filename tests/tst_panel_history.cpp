// The history log: line format, the byte limit and its cut, appends from
// other threads, the focus rule, long lines, and its lines in English.
#include "acquisition/Recorder.h"
#include "platform/FrameClock.h"
#include "resources/Resource.h"
#include "shell/HistoryEdit.h"
#include "support/panelsupport.h"
#include "support/pty.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QHelpEvent>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QToolTip>
#include <QVBoxLayout>
#include <QtTest>
#include <thread>

namespace {
std::time_t FixedNow() {
    std::tm tm{};
    tm.tm_year = 2017 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 5;
    tm.tm_hour = 9;
    tm.tm_min = 7;
    tm.tm_sec = 2;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}
QDateTime FailingLocalTime(std::time_t) {
    return {};
}
const QString kStamp = QStringLiteral("2017-03-05 09:07:02: ");

// The log's rule in one piece, as the control once applied it to its whole
// text at every append: over 10000 bytes, keep the last 300 (whole
// characters), then a line break unless empty, then the line.
QString ReferenceAppend(QString text, const QString& line) {
    if (Cp936Length(text) > kHistoryLimitBytes)
        text = Cp936Tail(text, kHistoryKeepBytes);
    if (!text.isEmpty())
        text += QStringLiteral("\r\n");
    return text + line;
}

// Device records for the calibration lines: marker in place, pressures set.
QByteArray Records(int count) {
    QByteArray bytes;
    for (int n = 0; n < count; ++n) {
        QByteArray r(15, '\0');
        r[0] = char(n);
        r[1] = ':';
        r[10] = char(0x30); // pressure 1: 12345
        r[11] = char(0x39);
        r[12] = char(0x02); // pressure 2: 678
        r[13] = char(0xA6);
        bytes += r;
    }
    return bytes;
}

// The log's lines without their time stamps.
QStringList LogLines(const CHistoryEdit& log) {
    QStringList lines = log.GetWindowText().split(QStringLiteral("\r\n"));
    for (QString& l : lines)
        l = l.mid(kStamp.size());
    return lines;
}
} // namespace

class TestPanelHistory : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { InitPanelTestApp(); }
    void init() { SetHistoryClock(FixedNow, nullptr); }
    void cleanup() {
        SetHistoryClock(nullptr, nullptr);
        CFrameClock::SetPeriodMs(0);
    }

    void linesAreStampedAndJoinedWithCrLf() {
        CHistoryEdit log;
        AppendHistory(log, QStringLiteral("串口打开成功"));
        QCOMPARE(log.GetWindowText(), kStamp + QStringLiteral("串口打开成功"));
        AppendHistory(log, QStringLiteral("100% %s %d"));
        QCOMPARE(log.GetWindowText(), kStamp + QStringLiteral("串口打开成功\r\n") + kStamp +
                                          QStringLiteral("100% %s %d"));
        // The control follows at the next frame.
        QTRY_COMPARE(log.toPlainText(), QString(log.GetWindowText()).replace("\r\n", "\n"));
        // 21 ASCII bytes of stamp, 6 two-byte characters, CR LF, 21 + 10.
        QCOMPARE(log.GetWindowTextBytes(), 21 + 12 + 2 + 21 + 10);
    }

    void timestampWithoutALocalTime() {
        QCOMPARE(FormatHistoryTimestamp(FixedNow(), FailingLocalTime),
                 QStringLiteral("0000-00-00 -01:-01:-01"));
        SetHistoryClock(FixedNow, FailingLocalTime);
        CHistoryEdit log;
        AppendHistory(log, QStringLiteral("x"));
        QCOMPARE(log.GetWindowText(), QStringLiteral("0000-00-00 -01:-01:-01: x"));
    }

    void textOver10000BytesIsCutToItsLast300() {
        CHistoryEdit log;
        // Grow the log to exactly 10000 bytes: one line of stamp + ASCII.
        AppendHistory(log, QString(10000 - kStamp.size(), u'a'));
        QCOMPARE(log.GetWindowTextBytes(), 10000);
        AppendHistory(log, QStringLiteral("next"));
        QVERIFY(log.GetWindowText().startsWith(kStamp)); // exactly 10000 stays whole
        QCOMPARE(log.GetWindowTextBytes(), 10000 + 2 + 21 + 4);

        CHistoryEdit log2;
        AppendHistory(log2, QString(10001 - kStamp.size(), u'b'));
        QCOMPARE(log2.GetWindowTextBytes(), 10001);
        AppendHistory(log2, QStringLiteral("new"));
        QCOMPARE(log2.GetWindowText(),
                 QString(300, u'b') + QStringLiteral("\r\n") + kStamp + QStringLiteral("new"));
    }

    void theCutNeverSplitsADoubleByteCharacter() {
        CHistoryEdit log;
        // 1 ASCII byte in front makes the two-byte characters end on an odd
        // boundary: a byte-exact cut would leave half a character.
        QString body = QStringLiteral("z") + QString(5000, QChar(0x4E2D)); // 中
        AppendHistory(log, body);
        QVERIFY(log.GetWindowTextBytes() > 10000);
        AppendHistory(log, QStringLiteral("x"));
        const QString kept = log.GetWindowText().section(QStringLiteral("\r\n"), 0, 0);
        QCOMPARE(kept, QString(150, QChar(0x4E2D)));
        QCOMPARE(Cp936Tail(QStringLiteral("ab中"), 3), QStringLiteral("b中"));
        QCOMPARE(Cp936Tail(QStringLiteral("中中"), 3), QStringLiteral("中"));
        QCOMPARE(Cp936Length(QStringLiteral("原始压力值wStressTmp1=")), 10 + 12);
        // The ideographs are counted without the converter: as it counts them.
        QString ideographs;
        for (char16_t u = 0x4DF0; u <= 0x9FB0; ++u)
            ideographs += QChar(u);
        QStringEncoder gbk("GBK");
        QCOMPARE(Cp936Length(ideographs), QByteArray(gbk.encode(ideographs)).size());
    }

    // Random lines (ASCII, Chinese, a character outside the BMP, short and
    // far over both limits) go to the log and to the reference rule; frames
    // come after a random number of lines, so one frame's edit may carry
    // several lines and a cut. After every line the log's text and byte count
    // match the rule; once frames have come, the control shows the same text.
    void incrementalAppendsMatchTheWholeTextRule() {
        CFrameClock::SetPeriodMs(1000000); // frames only when this test says
        QRandomGenerator rng(14);
        const QString pieces[] = {QStringLiteral("a"),          QStringLiteral("原始压力值"),
                                  QStringLiteral("=1234, "),    QStringLiteral("中"),
                                  QStringLiteral("\U0001F600"), QStringLiteral("%s"),
                                  QStringLiteral("\r"),         QStringLiteral("\n")};
        CHistoryEdit log;
        QString ref;
        int frames = 0;
        for (int step = 0; step < 1500; ++step) {
            QString line;
            const int kind = rng.bounded(20);
            const int n = kind == 0   ? rng.bounded(2000, 6000) // over the 300 bytes kept
                          : kind == 1 ? rng.bounded(300, 400)
                                      : rng.bounded(0, 40);
            while (line.size() < n)
                line += pieces[rng.bounded(kind < 2 ? 6 : 8)];
            AppendHistory(log, line);
            ref = ReferenceAppend(ref, kStamp + line);
            QCOMPARE(log.GetWindowText(), ref);
            QCOMPARE(log.GetWindowTextBytes(), Cp936Length(ref));
            if (rng.bounded(4) == 0) {
                // Frames now, until the control has caught up (a frame's
                // timer wakes the loop; QTRY would poll 50 ms a time).
                CFrameClock::SetPeriodMs(1);
                ++frames;
                // A lone CR breaks the line in the control too.
                const QString shown = QString(ref).replace("\r\n", "\n").replace(u'\r', u'\n');
                const QDeadlineTimer deadline(5000);
                while (log.toPlainText() != shown && !deadline.hasExpired())
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
                QCOMPARE(log.toPlainText(), shown);
                CFrameClock::SetPeriodMs(1000000);
            }
        }
        QVERIFY(frames > 300);
        QCOMPARE(log.WidgetResyncs(), 0); // every frame's edit was the incremental one
    }

    void newestLineIsScrolledIntoView() {
        CHistoryEdit log;
        log.resize(289, 93);
        log.show();
        QVERIFY(QTest::qWaitForWindowExposed(&log));
        for (int i = 0; i < 40; ++i)
            AppendHistory(log, QStringLiteral("line %1").arg(i));
        QTRY_VERIFY(log.verticalScrollBar()->maximum() > 0);
        QCOMPARE(log.verticalScrollBar()->value(), log.verticalScrollBar()->maximum());
        QCOMPARE(log.horizontalScrollBar()->value(), 0);
    }

    void appendsFromSeveralThreadsLoseAndDuplicateNothing() {
        CHistoryEdit log;
        constexpr int kThreads = 3, kEach = 100;
        std::atomic<int> done{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int k = 0; k < kEach; ++k)
                    AppendHistory(log, QStringLiteral("t%1 #%2").arg(t).arg(k));
                ++done;
            });
        AppendHistory(log, QStringLiteral("ui")); // the UI thread appends meanwhile
        while (done < kThreads)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        for (auto& th : threads)
            th.join();
        const QStringList lines = log.GetWindowText().split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), kThreads * kEach + 1);
        QSet<QString> unique;
        std::vector<int> next(kThreads, 0);
        for (const QString& l : lines) {
            QVERIFY(l.startsWith(kStamp));
            const QString msg = l.mid(kStamp.size());
            unique.insert(msg);
            if (msg == QStringLiteral("ui"))
                continue;
            const int t = msg.mid(1, 1).toInt();
            QCOMPARE(msg, QStringLiteral("t%1 #%2").arg(t).arg(next[t]));
            ++next[t];
        }
        QCOMPARE(unique.size(), lines.size());
    }

    // A line longer than the log is wide (a recording's path), or scrolled
    // out of view sideways, shows whole as its tooltip; a line that shows
    // whole has none.
    void aLineShownInPartIsItsOwnTooltip() {
        CHistoryEdit log;
        log.resize(289, 93);
        log.show();
        QVERIFY(QTest::qWaitForWindowExposed(&log));
        const QString path =
            QStringLiteral("开始保存文件(/home/operator/Documents/Tovrel/20170305093012.txt)");
        AppendHistory(log, QStringLiteral("short"));
        AppendHistory(log, path);
        QTRY_COMPARE(log.document()->blockCount(), 2);
        auto at = [&](int block) {
            return log.cursorRect(QTextCursor(log.document()->findBlockByNumber(block))).center();
        };
        QVERIFY(log.CutLineAt(at(0)).isEmpty());
        QCOMPARE(log.CutLineAt(at(1)), kStamp + path);
        QHelpEvent help(QEvent::ToolTip, at(1), log.viewport()->mapToGlobal(at(1)));
        QCoreApplication::sendEvent(log.viewport(), &help);
        QTRY_VERIFY(QToolTip::isVisible());
        QCOMPARE(QToolTip::text(), Qt::convertFromPlainText(kStamp + path));
        QToolTip::hideText();
        // Scrolled sideways, the short line shows in part too.
        log.horizontalScrollBar()->setValue(log.horizontalScrollBar()->maximum());
        QCOMPARE(log.CutLineAt(QPoint(5, at(0).y())), kStamp + QStringLiteral("short"));
        // Below the last line there is none.
        QVERIFY(log.CutLineAt(QPoint(5, log.viewport()->height() - 2)).isEmpty());
    }

    // Every line the handlers write, in English: a port that cannot be
    // opened and what it stands for, one that opens, a recording, a marker,
    // coefficients and gains sent, calibration mode's line from the worker,
    // a port closed and one lost, a recording that cannot be opened.
    void theLogIsInEnglishWhenThePanelIs() {
        SLanguageScope english(EUiLanguage::English);
        QVERIFY(english.installed);
        QStringList boxes;
        SetMessageBoxHook([&](const QString& text) { boxes << text; });
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        SetRecordingDir(QFile::encodeName(folder.path()).toStdString() + '/');
        auto restore = qScopeGuard([] {
            SetRecordingDir({});
            SetMessageBoxHook({});
        });
        const QString missing = QDir::home().filePath(QStringLiteral("no-such-tty"));
        QVERIFY(TestPty::LinkComTo(9, missing));
        TestPty com5;
        QVERIFY(com5.LinkAsCom(5));

        PanelFixture p;
        CTovrelDlg& dlg = p.dlg;
        p.Select(9);
        p.Press(IDC_BUTTON_OPENPORT);
        p.Select(5);
        p.Press(IDC_BUTTON_OPENPORT);
        p.Press(IDC_BUTTON_SAVEFILE);
        dlg.OnMarkerKey();
        p.Press(IDC_BUTTON_DOWNLOAD);
        p.Press(IDC_BUTTON_AMPLIFY);
        p.Press(IDC_BUTTON_ZERO);
        p.Press(IDC_RADIO_CALIB);
        p.Press(IDC_BUTTON_START);
        QVERIFY(com5.Write(Records(300)));
        const QString calibration = QStringLiteral(
            "Raw pressures wStressTmp1=12345,wStressTmp2=678, coefficient 1=100, coefficient "
            "2=100, new pressures 1=123, 2=6");
        QTRY_VERIFY(LogLines(dlg.m_editHistory).contains(calibration));
        p.Press(IDC_BUTTON_STOP);
        p.Press(IDC_BUTTON_STOPSAVE);
        p.Press(IDC_BUTTON_CLOSEPORT);
        p.Press(IDC_BUTTON_OPENPORT);
        com5.CloseMaster();
        // The worker may still be writing calibration lines from what came before.
        QTRY_VERIFY(
            LogLines(dlg.m_editHistory).contains(QStringLiteral("Port COM5: connection lost")));
        SetRecordingDir(QFile::encodeName(folder.filePath(QStringLiteral("gone"))).toStdString() +
                        '/');
        p.Press(IDC_BUTTON_SAVEFILE);

        QStringList lines = LogLines(dlg.m_editHistory);
        for (const QString& line : lines)
            QVERIFY2(FirstCjk(line).isNull(), qPrintable(line));
        for (const QString& box : boxes)
            QVERIFY2(FirstCjk(box).isNull(), qPrintable(box));
        lines.removeAll(calibration);
        QCOMPARE(lines.size(), 11);
        QVERIFY2(lines[0].startsWith(QStringLiteral("Port COM9 could not be opened, error: ")),
                 qPrintable(lines[0]));
        QCOMPARE(boxes, QStringList{lines[0]});
        QCOMPARE(lines[1], QStringLiteral("COM9 links to %1, which does not exist (is the device "
                                          "connected?); run tovrel-ports to list the serial "
                                          "devices found and tovrel-ports set COM9 DEVICE-PATH to "
                                          "link it again")
                               .arg(missing));
        QCOMPARE(lines[2], QStringLiteral("Port opened"));
        // The recording's whole path.
        QVERIFY2(QRegularExpression(QStringLiteral("^Saving to file %1/\\d{14}\\.txt$")
                                        .arg(QRegularExpression::escape(folder.path())))
                     .match(lines[3])
                     .hasMatch(),
                 qPrintable(lines[3]));
        QCOMPARE(lines[4], QStringLiteral("Marker 1"));
        QCOMPARE(lines[5], QStringLiteral("Calibration pressure coefficient 1 set to 100, pressure "
                                          "coefficient 2 set to 100"));
        QCOMPARE(lines[6], QStringLiteral("Pulse 1 gain set to 0, pulse 2 gain set to 0"));
        QCOMPARE(lines.mid(7, 3),
                 QStringList({QStringLiteral("Port closed"), QStringLiteral("Port opened"),
                              QStringLiteral("Port COM5: connection lost")}));
        QVERIFY2(lines[10].startsWith(QStringLiteral("File %1/gone/").arg(folder.path())) &&
                     lines[10].contains(QStringLiteral(" could not be opened, error: ")),
                 qPrintable(lines[10]));
    }

    void focusIsHandedBackUntilTheLogAcceptsIt() {
        QWidget window;
        auto* edit = new QLineEdit(&window);
        auto* log = new CHistoryEdit;
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(edit);
        layout->addWidget(log);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        edit->setFocus();
        QCOMPARE(QApplication::focusWidget(), edit);
        log->setFocus(Qt::MouseFocusReason);
        QCOMPARE(QApplication::focusWidget(), edit);
        log->m_bAcceptFocus = 1;
        QTest::mouseClick(log->viewport(), Qt::LeftButton);
        QCOMPARE(QApplication::focusWidget(), log);
    }
};

QTEST_MAIN(TestPanelHistory)
#include "tst_panel_history.moc"
