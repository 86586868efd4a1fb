// The strip window as the panel uses it: created over a frame, fed samples,
// resized, painted; checked on the pixels of the grabbed window.
#include "display/DrawWave3Wnd.h"
#include "display/InfoScreeWnd.h"
#include "platform/FrameClock.h"

#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QPaintEvent>
#include <QScreen>
#include <QTest>
#include <initializer_list>
#include <memory>
#include <thread>

namespace {
const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kBlack = qRgb(0, 0, 0);
const QRgb kRed = qRgb(255, 0, 0);

// Pixel row of a sample value in a strip 100 pixels high, no offset.
int RowOf(int value) {
    return (199 - value) / 2;
}

void Feed(CDrawWave3Wnd& w, std::initializer_list<int> values) {
    for (int v : values)
        w.AddSample(uint16_t(v));
}

void FeedRepeated(CDrawWave3Wnd& w, int value, int count) {
    for (int k = 0; k < count; ++k)
        w.AddSample(uint16_t(value));
}

// The columns of row y that hold colour c.
QList<int> ColumnsOf(const QImage& img, int y, QRgb c) {
    QList<int> xs;
    for (int x = 0; x < img.width(); ++x)
        if (img.pixel(x, y) == c)
            xs << x;
    return xs;
}

// The rows that hold colour c anywhere.
QList<int> RowsOf(const QImage& img, QRgb c) {
    QList<int> ys;
    for (int y = 0; y < img.height(); ++y)
        if (!ColumnsOf(img, y, c).isEmpty())
            ys << y;
    return ys;
}

QList<int> Range(int from, int to) {
    QList<int> r;
    for (int i = from; i <= to; ++i)
        r << i;
    return r;
}

// Read with pixel(), which gives opaque colours as qRgb() whatever the format
// (no conversion: on large images Qt converts on its thread pool).
QImage Grab(QWidget& w) {
    return w.grab().toImage();
}
} // namespace

class TestStrip : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void sweepOf300Columns();
    void beforeAnySizeEverySampleRestarts();
    void widerThan2048HoldsOnly2048();
    void narrowingKeepsOldestWideningContinues();
    void valuesOnRowsOfHundredPixelStrip();
    void baselineOffset();
    void twoAndThreeBands();
    void sampleAfterDestructionChangesNothing();
    void scrollingRingIsPaintedOldestFirst();
    void appendRepaintsOnlyItsBand();
    void aBurstBetweenTwoFramesReachesTheScreenWhole();
    void membersOfADialogDestroyInOrder();

private:
    std::unique_ptr<QWidget> m_panel;
    CDrawWave3Wnd* Strip(int width, int height = 100);
    std::vector<std::unique_ptr<CDrawWave3Wnd>> m_strips;
};

void TestStrip::init() {
    m_panel = std::make_unique<QWidget>();
    m_panel->resize(2200, 300);
}

void TestStrip::cleanup() {
    CFrameClock::SetPeriodMs(0);
    m_strips.clear();
    m_panel.reset();
}

// A strip over a frame of the (hidden) panel, as the panel creates them.
CDrawWave3Wnd* TestStrip::Strip(int width, int height) {
    m_strips.push_back(std::make_unique<CDrawWave3Wnd>());
    CDrawWave3Wnd* w = m_strips.back().get();
    w->Create(m_panel.get(), QRect(10, 20, width, height), 100);
    return w;
}

void TestStrip::sweepOf300Columns() {
    CDrawWave3Wnd& w = *Strip(300);
    QCOMPARE(w.State().iMaxPt, 300); // laid out although the panel is hidden
    FeedRepeated(w, 100, 300);
    QImage img = Grab(w);
    QCOMPARE(ColumnsOf(img, RowOf(100), kWhite), Range(0, 299));
    QCOMPARE(RowsOf(img, kWhite), QList<int>{RowOf(100)});
    QCOMPARE(img.pixel(150, 10), kBlack);

    // The 301st clears the strip; alone it draws nothing.
    Feed(w, {0});
    QCOMPARE(w.State().iLastPt, 1);
    QCOMPARE(w.State().wWave[0], 0);
    img = Grab(w);
    QVERIFY(RowsOf(img, kWhite).isEmpty());
    QCOMPARE(img.pixel(0, 0), kBlack);
    QCOMPARE(img.pixel(299, 99), kBlack);

    // The 302nd draws the first segment, column 0 to column 1.
    Feed(w, {0});
    img = Grab(w);
    QCOMPARE(ColumnsOf(img, RowOf(0), kWhite), (QList<int>{0, 1}));
    QCOMPARE(RowsOf(img, kWhite), QList<int>{RowOf(0)});
}

void TestStrip::beforeAnySizeEverySampleRestarts() {
    CDrawWave3Wnd w;
    w.m_hWnd.Attach(&w); // a window that has had no size notification yet
    Feed(w, {5, 6, 7});
    const auto s = w.State();
    QCOMPARE(s.iMaxPt, 0);
    QCOMPARE(s.iLastPt, 1);
    QCOMPARE(s.wWave[0], 7);
    QCOMPARE(s.wWave[1], 0);
}

void TestStrip::widerThan2048HoldsOnly2048() {
    CDrawWave3Wnd& w = *Strip(2100);
    QCOMPARE(w.State().iMaxPt, 2048);
    FeedRepeated(w, 50, 2048);
    const QImage img = Grab(w);
    QCOMPARE(ColumnsOf(img, RowOf(50), kWhite), Range(0, 2047));
    QCOMPARE(ColumnsOf(img, RowOf(50), kBlack), Range(2048, 2099));
    Feed(w, {50});
    QCOMPARE(w.State().iLastPt, 1); // full: a new sweep
}

void TestStrip::narrowingKeepsOldestWideningContinues() {
    m_panel->show(); // resizes reach a shown strip at once
    CDrawWave3Wnd& w = *Strip(500);
    for (int k = 0; k < 350; ++k)
        w.AddSample(uint16_t(k));
    w.resize(200, 100);
    auto s = w.State();
    QCOMPARE(s.iMaxPt, 200);
    QCOMPARE(s.iLastPt, 200);
    QCOMPARE(s.iFirstPt, 0);
    for (int k = 0; k < 200; ++k)
        QCOMPARE(int(s.wWave[k]), k);
    QImage img = Grab(w);
    QCOMPARE(img.pixel(0, RowOf(0)), kWhite);
    QCOMPARE(img.pixel(198, RowOf(198)), kWhite);
    Feed(w, {42});
    QCOMPARE(w.State().iLastPt, 1);

    // Widening keeps what is there and the sweep goes on behind it.
    Feed(w, {44});
    w.resize(400, 100);
    s = w.State();
    QCOMPARE(s.iMaxPt, 400);
    QCOMPARE(s.iLastPt, 2);
    Feed(w, {46});
    s = w.State();
    QCOMPARE(s.iLastPt, 3);
    QCOMPARE((QList<int>{s.wWave[0], s.wWave[1], s.wWave[2]}), (QList<int>{42, 44, 46}));
}

void TestStrip::valuesOnRowsOfHundredPixelStrip() {
    // Two columns wide: each pair of equal samples is one flat segment.
    CDrawWave3Wnd& w = *Strip(2);
    const struct {
        int value, row;
    } cases[] = {{0, 99}, {1, 99}, {2, 98}, {100, 49}, {198, 0}, {199, 0}};
    for (const auto& c : cases) {
        Feed(w, {c.value, c.value});
        QCOMPARE(RowsOf(Grab(w), kWhite), QList<int>{c.row});
    }
    for (int above : {200, 1000, 65535}) {
        Feed(w, {above, above});
        QVERIFY(RowsOf(Grab(w), kWhite).isEmpty());
    }
}

void TestStrip::baselineOffset() {
    CDrawWave3Wnd& w = *Strip(10);
    // Baseline 100 gives a = 80: a sample of 100 lies on the baseline's row.
    w.SetBandLayout(1, 100, -1);
    Feed(w, {100, 100});
    QImage img = Grab(w);
    const int row20 = (199 - 20) / 2;
    QCOMPARE(ColumnsOf(img, row20, kWhite), (QList<int>{0, 1}));
    QCOMPARE(ColumnsOf(img, row20, kRed), Range(2, 9));
    QCOMPARE(RowsOf(img, kRed), QList<int>{row20});

    // A negative baseline is not drawn but still offsets: -7 raises by 5.
    w.SetBandLayout(1, -7, -1);
    img = Grab(w);
    QVERIFY(RowsOf(img, kRed).isEmpty());
    QCOMPARE(RowsOf(img, kWhite), QList<int>{RowOf(100 + 5)});
    w.SetBandLayout(1, -1, -1);
    QCOMPARE(RowsOf(Grab(w), kWhite), QList<int>{RowOf(100)});

    // With the offset off, the baseline is drawn where it is.
    w.SetBandLayout(1, 100, -1);
    w.SetBaseOffset(false);
    img = Grab(w);
    QCOMPARE(RowsOf(img, kWhite), QList<int>{RowOf(100)});
    QCOMPARE(RowsOf(img, kRed), QList<int>{RowOf(100)});
}

void TestStrip::twoAndThreeBands() {
    CDrawWave3Wnd& w = *Strip(10);
    // The dividing lines are black on black; only the red baselines show.
    w.SetBandLayout(3, 10, -1); // a = 8: baselines at y = 2, 68, 134
    QImage img = Grab(w);
    QCOMPARE(RowsOf(img, kRed), (QList<int>{RowOf(134), RowOf(68), RowOf(2)}));
    QCOMPARE(ColumnsOf(img, RowOf(68), kRed), Range(0, 9));
    QCOMPARE(RowsOf(img, kBlack).size(), 97);

    w.SetBandLayout(2, 10, 20); // y = 100 + 2 upper, 20 - 8 lower
    QCOMPARE(RowsOf(Grab(w), kRed), (QList<int>{RowOf(102), RowOf(12)}));
    w.SetBandLayout(2, -1, 20); // a = 0; only the lower baseline
    QCOMPARE(RowsOf(Grab(w), kRed), QList<int>{RowOf(20)});
}

void TestStrip::sampleAfterDestructionChangesNothing() {
    CDrawWave3Wnd& w = *Strip(50);
    Feed(w, {1, 2, 3});
    w.DestroyWindow();
    QVERIFY(w.isHidden());
    Feed(w, {9, 9, 9, 9});
    const auto s = w.State();
    QCOMPARE(s.iLastPt, 3);
    QCOMPARE(s.wWave[2], 3);
    QCOMPARE(s.wWave[3], 0);
}

void TestStrip::scrollingRingIsPaintedOldestFirst() {
    CDrawWave3Wnd& w = *Strip(5);
    w.SetScroll(true);
    for (int k = 0; k < 7; ++k) // values 0, 20, ..., 120; the ring keeps 40..120
        w.AddSample(uint16_t(20 * k));
    auto s = w.State();
    QCOMPARE(s.iFirstPt, 2);
    QCOMPARE(s.iLastPt, 2);
    const QImage img = Grab(w);
    for (int x = 0; x < 5; ++x)
        QCOMPARE(img.pixel(x, RowOf(20 * (x + 2))), kWhite);
    QVERIFY(ColumnsOf(img, RowOf(0), kWhite).isEmpty());
    QVERIFY(ColumnsOf(img, RowOf(20), kWhite).isEmpty());

    // Leaving the ring unrolls it, so the picture stays the same.
    w.SetScroll(false);
    s = w.State();
    QCOMPARE(s.iFirstPt, 0);
    QCOMPARE(s.iLastPt, 5);
    QCOMPARE(Grab(w), img);
}

namespace {
class RecordingStrip : public CDrawWave3Wnd {
public:
    QRegion painted;
    int paints = 0;

protected:
    void paintEvent(QPaintEvent* e) override {
        painted += e->region();
        ++paints;
        CDrawWave3Wnd::paintEvent(e);
    }
};

class CountingReadout : public CInfoScreeWnd {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent* e) override {
        ++paints;
        CInfoScreeWnd::paintEvent(e);
    }
};

// What the window system holds of a child of a top-level window: what the
// paints left there, not a fresh rendering.
QImage OnScreen(QWidget& w) {
    QWidget* top = w.window();
    const QPoint at = w.mapTo(top, QPoint(0, 0));
    return top->screen()->grabWindow(top->winId(), at.x(), at.y(), w.width(), w.height()).toImage();
}
} // namespace

void TestStrip::appendRepaintsOnlyItsBand() {
    RecordingStrip w;
    w.Create(m_panel.get(), QRect(0, 0, 300, 100), 100);
    m_panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
    QTRY_COMPARE(w.painted, QRegion(w.rect())); // the first exposure
    w.painted = QRegion();
    FeedRepeated(w, 10, 50); // m_iLastPt 1..50: columns -3 to 53, merged
    QTRY_COMPARE(w.painted, QRegion(0, 0, 54, 100));
    FeedRepeated(w, 10, 250); // full
    QTRY_VERIFY(w.painted.boundingRect().right() == 299);
    w.painted = QRegion();
    Feed(w, {10}); // a new sweep clears everything
    QTRY_COMPARE(w.painted, QRegion(w.rect()));
    w.painted = QRegion();
    FeedRepeated(w, 10, 10); // m_iLastPt 2..11: columns -2 to 14
    QTRY_COMPARE(w.painted, QRegion(0, 0, 15, 100));
    w.SetScroll(true);
    QTRY_COMPARE(w.painted, QRegion(w.rect()));
    w.painted = QRegion();
    Feed(w, {10});
    QTRY_COMPARE(w.painted, QRegion(w.rect())); // a ring repaints everything
}

// The worker's samples between two frames are painted in the second frame,
// in one paint of the strip, and all of them reach the screen: what the
// window system holds then is what a full paint of the strip draws. A
// readout updated many times meanwhile paints once, with its newest value.
void TestStrip::aBurstBetweenTwoFramesReachesTheScreenWhole() {
    RecordingStrip w;
    w.Create(m_panel.get(), QRect(10, 20, 300, 100), 100);
    auto* control = new QLabel(m_panel.get());
    control->setGeometry(10, 150, 200, 40);
    CountingReadout info;
    info.SubclassWindow(control);
    m_panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_panel.get()));
    QTRY_COMPARE(w.painted, QRegion(w.rect()));
    QTRY_VERIFY(info.paints > 0);

    // A frame now, then none until the test says.
    CFrameClock::SetPeriodMs(1);
    const int first = w.paints;
    FeedRepeated(w, 50, 100);
    QTRY_COMPARE(w.paints, first + 1);
    CFrameClock::SetPeriodMs(1000000);
    w.painted = QRegion();
    const int strips = w.paints, readouts = info.paints;

    // The burst, from another thread, in pieces with the UI thread running
    // in between: no piece is painted on its own.
    for (int piece = 0; piece < 12; ++piece) {
        std::thread worker([&] {
            for (int k = 0; k < 10; ++k) {
                w.AddSample(uint16_t((piece * 10 + k) * 37 % 199));
                info.m_iValue = piece * 10 + k;
                InvalidateRect(info.m_hWnd, nullptr, false);
            }
        });
        worker.join();
        QCoreApplication::processEvents();
    }
    QCOMPARE(w.paints, strips);
    QCOMPARE(info.paints, readouts);

    CFrameClock::SetPeriodMs(1); // the next frame
    QTRY_COMPARE(w.paints, strips + 1);
    QTRY_COMPARE(info.paints, readouts + 1);
    QCoreApplication::processEvents(); // nothing else is coming
    QCOMPARE(w.paints, strips + 1);
    QCOMPARE(info.paints, readouts + 1);
    // m_iLastPt went 101..220: the bands from column 97 to column 223.
    QCOMPARE(w.painted, QRegion(97, 0, 127, 100));
    QCOMPARE(QByteArray(info.m_szText), QByteArray("119"));
    // (Grabbing renders afresh, so it comes last.)
    const QImage stripShown = OnScreen(w), readoutShown = OnScreen(info);
    QCOMPARE(stripShown, Grab(w));
    QCOMPARE(readoutShown, Grab(info));
}

// The panel holds its windows by value and parents them later; its members
// go before the dialog itself.
void TestStrip::membersOfADialogDestroyInOrder() {
    struct Panel : QDialog {
        CInfoScreeWnd m_info;
        CDrawWave3Wnd m_wave1, m_wave2;
    };
    auto panel = std::make_unique<Panel>();
    panel->m_info.SubclassWindow(new QLabel(panel.get()));
    panel->m_wave1.Create(panel.get(), QRect(0, 0, 50, 20), 100);
    panel->m_wave2.Create(panel.get(), QRect(0, 30, 50, 20), 100);
    Feed(panel->m_wave1, {1, 2});
    panel->m_wave2.DestroyWindow();
    panel->show();
    QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
    QCOMPARE(panel->findChildren<CDrawWave3Wnd*>().size(), 2);
    panel.reset(); // must not delete the members a second time
}

QTEST_MAIN(TestStrip)
#include "tst_display_strip.moc"
