// The history log: line format, the byte limit and its cut, appends from
// other threads, and the focus rule.
#include "platform/FrameClock.h"
#include "shell/HistoryEdit.h"
#include "support/panelsupport.h"

#include <QDeadlineTimer>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QStringEncoder>
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
bool FailingLocalTime(std::time_t, std::tm*) {
    return false;
}
int g_calls = 0;
bool EveryOtherFails(std::time_t t, std::tm* out) {
    return (g_calls++ % 2) ? false : DefaultLocalTime(t, out);
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

    void timestampFallsBackFieldByField() {
        QCOMPARE(FormatHistoryTimestamp(FixedNow(), FailingLocalTime),
                 QStringLiteral("0000-00-00 -01:-01:-01"));
        g_calls = 0;
        QCOMPARE(FormatHistoryTimestamp(FixedNow(), EveryOtherFails),
                 QStringLiteral("2017-00-05 -01:07:-01"));
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
