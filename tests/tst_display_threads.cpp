// Samples and values arrive on the acquisition worker while the UI thread
// resizes and paints. Build with -DTOVREL_SANITIZE=thread to check for races.
#include "display/DrawWave3Wnd.h"
#include "display/InfoScreeWnd.h"
#include "platform/Fonts.h"

#include <QLabel>
#include <QTest>
#include <atomic>
#include <thread>

namespace {
// A shown panel with one strip and one readout, as the worker feeds them.
struct Screen {
    QWidget panel;
    CDrawWave3Wnd wave;
    CInfoScreeWnd info;
    Screen() {
        panel.resize(700, 300);
        wave.Create(&panel, QRect(0, 0, 300, 100), 100);
        auto* control = new QLabel(&panel);
        control->setGeometry(0, 150, 200, 40);
        info.SubclassWindow(control);
        panel.show();
    }
};
} // namespace

class TestDisplayThreads : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void workerFeedShowsOnScreen();
    void workerFeedWhileResizingAndPainting();
};

void TestDisplayThreads::initTestCase() {
    InstallFontSubstitutions();
}

void TestDisplayThreads::workerFeedShowsOnScreen() {
    Screen screen;
    QVERIFY(QTest::qWaitForWindowExposed(&screen.panel));
    CDrawWave3Wnd& wave = screen.wave;
    CInfoScreeWnd& info = screen.info;

    std::thread worker([&] {
        for (int k = 0; k < 250; ++k) {
            wave.AddSample(uint16_t(k < 125 ? 20 : 180));
            info.m_iValue = k;
            InvalidateRect(info.m_hWnd, nullptr, false);
        }
    });
    worker.join();
    // The worker's repaint request reaches the readout's paint.
    QTRY_COMPARE(QByteArray(info.m_szText), QByteArray("249"));

    const QImage img = wave.grab().toImage();
    const QRgb white = qRgb(255, 255, 255);
    QCOMPARE(img.pixel(0, (199 - 20) / 2), white);
    QCOMPARE(img.pixel(124, (199 - 20) / 2), white);
    QCOMPARE(img.pixel(249, (199 - 180) / 2), white);
    QCOMPARE(img.pixel(250, (199 - 180) / 2), qRgb(0, 0, 0));
    QCOMPARE(img.pixel(299, 50), qRgb(0, 0, 0));
    const QImage digits = info.grab().toImage();
    bool yellow = false;
    for (int x = 0; x < digits.width() && !yellow; ++x)
        for (int y = 0; y < digits.height() && !yellow; ++y)
            yellow = digits.pixel(x, y) == qRgb(255, 255, 128);
    QVERIFY(yellow);
}

void TestDisplayThreads::workerFeedWhileResizingAndPainting() {
    Screen screen;
    QVERIFY(QTest::qWaitForWindowExposed(&screen.panel));
    CDrawWave3Wnd& wave = screen.wave;
    CInfoScreeWnd& info = screen.info;

    std::atomic<bool> stop{false};
    std::atomic<int> fed{0};
    std::thread worker([&] {
        for (int k = 0; !stop.load(std::memory_order_relaxed); ++k) {
            wave.AddSample(uint16_t(k % 200));
            info.m_iValue = k;
            InvalidateRect(info.m_hWnd, nullptr, false);
            fed.fetch_add(1, std::memory_order_relaxed);
        }
    });
    for (int round = 0; round < 60; ++round) {
        wave.resize(50 + (round * 97) % 600, 100);
        wave.repaint();
        info.repaint();
        QCoreApplication::processEvents();
        const auto s = wave.State();
        QVERIFY(0 <= s.iLastPt && s.iLastPt <= s.iMaxPt && s.iMaxPt <= kWaveMaxPt);
        QCOMPARE(s.iFirstPt, 0);
    }
    // Keep going until the worker has demonstrably run alongside.
    QTRY_VERIFY(fed.load() > 1000);
    stop = true;
    worker.join();
    wave.DestroyWindow();
    info.DestroyWindow();
}

QTEST_MAIN(TestDisplayThreads)
#include "tst_display_threads.moc"
