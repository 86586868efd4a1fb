// The numeric readout in place of a static control of the panel: its place,
// its font, and the digits on the grabbed window.
#include "display/InfoScreeWnd.h"
#include "platform/Fonts.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QTest>
#include <climits>
#include <memory>

namespace {
const QRgb kNavy = qRgb(0, 0, 128);
const QRgb kYellow = qRgb(255, 255, 128);

// Read with pixel(), which gives opaque colours as qRgb() whatever the format
// (no conversion: on large images Qt converts on its thread pool).
QImage Grab(QWidget& w) {
    return w.grab().toImage();
}

// The bounding box of everything that is not navy.
QRect InkBox(const QImage& img) {
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixel(x, y) != kNavy)
                box |= QRect(x, y, 1, 1);
    return box;
}

bool HasColour(const QImage& img, QRgb c) {
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixel(x, y) == c)
                return true;
    return false;
}
} // namespace

class TestReadout : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void takesThePlaceOfItsControl();
    void fontCellAndDigitWidth();
    void showsZeroBeforeAnyValue();
    void negativeAndLatestValue();
    void mostNegativeValueIsCutAtTheRightEdge();
    void digitsLookAsTheTextWouldSetThem();

private:
    CInfoScreeWnd* Readout(int width, int height = 40);
    std::unique_ptr<QWidget> m_panel;
    std::vector<std::unique_ptr<CInfoScreeWnd>> m_readouts;
};

void TestReadout::initTestCase() {
    InstallFontSubstitutions();
}

void TestReadout::init() {
    m_panel = std::make_unique<QWidget>();
    m_panel->resize(400, 200);
}

void TestReadout::cleanup() {
    m_readouts.clear();
    m_panel.reset();
}

CInfoScreeWnd* TestReadout::Readout(int width, int height) {
    auto* control = new QLabel(QStringLiteral("static"), m_panel.get());
    control->setGeometry(20, 30, width, height);
    m_readouts.push_back(std::make_unique<CInfoScreeWnd>());
    m_readouts.back()->SubclassWindow(control);
    return m_readouts.back().get();
}

void TestReadout::takesThePlaceOfItsControl() {
    auto* before = new QLabel(m_panel.get());
    auto* control = new QLabel(QStringLiteral("static"), m_panel.get());
    auto* after = new QLabel(m_panel.get());
    control->setGeometry(20, 30, 120, 40);
    CInfoScreeWnd info;
    QVERIFY(!IsWindow(info.m_hWnd));
    info.SubclassWindow(control);
    QCOMPARE(info.parentWidget(), m_panel.get());
    QCOMPARE(info.geometry(), QRect(20, 30, 120, 40));
    QVERIFY(control->isHidden());
    QVERIFY(!info.isHidden());
    QVERIFY(IsWindow(info.m_hWnd));
    // Above every sibling, so that no enclosing frame is repainted over it.
    const QObjectList order = m_panel->children();
    QVERIFY(order.indexOf(before) < order.indexOf(&info));
    QVERIFY(order.indexOf(control) < order.indexOf(&info));
    QVERIFY(order.indexOf(after) < order.indexOf(&info));
    info.DestroyWindow();
    QVERIFY(!IsWindow(info.m_hWnd));
}

void TestReadout::fontCellAndDigitWidth() {
    const QFont font = CInfoScreeWnd::ReadoutFont();
    const QFontMetrics fm(font);
    QCOMPARE(font.family(), QStringLiteral("宋体"));
    QCOMPARE(QFontInfo(font).family(), QStringLiteral("Noto Serif CJK SC"));
    QCOMPARE(font.weight(), QFont::ExtraBold);
    QVERIFY2(qAbs(fm.ascent() + fm.descent() - 30) <= 1, qPrintable(QString::number(fm.height())));
    QVERIFY2(qAbs(fm.horizontalAdvance(QLatin1Char('7')) - 20) <= 1,
             qPrintable(QString::number(fm.horizontalAdvance(QLatin1Char('7')))));
}

void TestReadout::showsZeroBeforeAnyValue() {
    CInfoScreeWnd& info = *Readout(120);
    const QImage img = Grab(info);
    QCOMPARE(QByteArray(info.m_szText), QByteArray("0"));
    QVERIFY(HasColour(img, kYellow));
    // One digit from the left edge, its cell starting 5 pixels down.
    const QRect ink = InkBox(img);
    QVERIFY2(ink.left() <= 3 && ink.right() < 24, qPrintable(QString::number(ink.right())));
    QVERIFY(ink.top() >= 5 && ink.bottom() < 35);
    for (int x = 0; x < img.width(); ++x)
        QCOMPARE(img.pixel(x, 4), kNavy);
    QCOMPARE(img.pixel(119, 39), kNavy);
}

void TestReadout::negativeAndLatestValue() {
    CInfoScreeWnd& info = *Readout(200);
    info.m_iValue = 5;
    info.m_iValue = -42; // two updates before a paint: only the later shows
    const QImage img = Grab(info);
    QCOMPARE(QByteArray(info.m_szText), QByteArray("-42"));
    QVERIFY(HasColour(img, kYellow));
    const QRect ink = InkBox(img);
    QVERIFY(ink.width() > 40 && ink.right() < 64);
}

void TestReadout::mostNegativeValueIsCutAtTheRightEdge() {
    CInfoScreeWnd& narrow = *Readout(100);
    CInfoScreeWnd& wide = *Readout(300);
    narrow.m_iValue = INT_MIN;
    wide.m_iValue = INT_MIN;
    const QImage cut = Grab(narrow);
    const QImage whole = Grab(wide);
    QCOMPARE(QByteArray(narrow.m_szText), QByteArray("-2147483648"));
    // The wide one shows all eleven characters, well past 100 pixels...
    QVERIFY(InkBox(whole).right() > 180);
    // ...and the narrow one the same leftmost digits, neither shrunk nor moved.
    QCOMPARE(cut, whole.copy(0, 0, 100, 40));
    QVERIFY(InkBox(cut).right() >= 95);
}

void TestReadout::digitsLookAsTheTextWouldSetThem() {
    // The readout sets its digits from glyphs looked up once and copies them
    // as blended once; every value must come out pixel for pixel as the font
    // would set the text, in a readout wide enough for every digit and in one
    // that cuts them at its edge.
    CInfoScreeWnd& info = *Readout(300);
    CInfoScreeWnd& narrow = *Readout(104, 36);
    const QFont font = CInfoScreeWnd::ReadoutFont();
    for (const int value : {0, 7, -1, 1234567890, -987654321, INT_MIN, 4096, -30, INT_MAX,
                            -1029384756, 555555555, 11880, 808}) {
        info.m_iValue = value;
        const QImage shown = Grab(info);
        QImage expected(shown.size(), QImage::Format_RGB32);
        expected.fill(kNavy);
        QPainter dc(&expected);
        dc.setFont(font);
        dc.setPen(QColor(kYellow));
        dc.drawText(QPoint(0, 5 + QFontMetrics(font, &info).ascent()), QString::number(value));
        dc.end();
        QVERIFY2(shown.convertToFormat(QImage::Format_RGB32) == expected,
                 qPrintable(QString::number(value)));
        QVERIFY(info.UsesDigitImages());
        narrow.m_iValue = value;
        QVERIFY2(Grab(narrow).convertToFormat(QImage::Format_RGB32) == expected.copy(0, 0, 104, 36),
                 qPrintable(QString::number(value)));
    }
}

QTEST_MAIN(TestReadout)
#include "tst_display_readout.moc"
