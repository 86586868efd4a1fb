// The platform layer's own rules: dialog units, field parsing, the UI-thread
// call and the cross-thread repaint request.
#include "platform/DataExchange.h"
#include "platform/DialogUnits.h"
#include "platform/UiThreadCall.h"
#include "platform/WindowHandle.h"
#include "support/testsupport.h"

#include <QPaintEvent>
#include <QWidget>
#include <QtTest>
#include <atomic>
#include <thread>

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
