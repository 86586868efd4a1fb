#include "display/InfoScreeWnd.h"

#include <QFont>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QPaintEngine>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int kCellHeight = 30; // ascent + descent, in pixels
constexpr int kAveWidth = 20;   // width of a digit, in pixels
constexpr int kTextTop = 5;
const QColor kField(0, 0, 128);
const QColor kInk(255, 255, 128);
// Room either side of a digit's scratch image to see whether its ink strays
// from its place.
constexpr int kStrayRoom = kAveWidth;
} // namespace

CInfoScreeWnd::CInfoScreeWnd() {
    // The navy field covers the whole client area: nothing underneath needs
    // painting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CInfoScreeWnd::~CInfoScreeWnd() {
    m_hWnd.Detach();
}

void CInfoScreeWnd::SubclassWindow(QWidget* control) {
    setParent(control->parentWidget());
    setGeometry(control->geometry());
    // On top of its siblings, not in the control's place: the panel's group
    // boxes enclose the readouts, and a sibling above is repainted with every
    // paint below it, so each new value also repainted a group box (its frame
    // pixmaps and title shaping, twice the readout's own cost) and its frame
    // tinted the navy field. Nothing else overlaps a readout.
    raise();
    control->hide();
    show();
    m_hWnd.Attach(this);
}

void CInfoScreeWnd::DestroyWindow() {
    m_hWnd.Detach();
    hide();
}

// The digits were designed for a face whose cell is one em high and whose
// digits are half an em wide, which is also its average width. Whatever face
// "宋体" stands for here, scale it so that its cell (ascent + descent) is 30
// pixels and stretch it so that a digit is 20 pixels wide.
QFont CInfoScreeWnd::ReadoutFont() {
    QFont font(QStringLiteral("宋体"));
    font.setStyleHint(QFont::TypeWriter); // a fixed-pitch face if the name is unknown
    font.setWeight(QFont::ExtraBold);
    font.setPixelSize(kCellHeight);
    const int cell = QFontMetrics(font).height();
    if (cell > 0 && cell != kCellHeight) {
        // The cell grows in whole pixels with the size; of the sizes round the
        // proportional one, take the one whose cell comes closest (the smaller
        // on a tie, so that the digits never outgrow their cell).
        const int guess = std::max(2, (kCellHeight * kCellHeight + cell / 2) / cell);
        int best = guess, bestError = INT_MAX;
        for (int px = guess - 1; px <= guess + 1; ++px) {
            font.setPixelSize(px);
            const int error = std::abs(QFontMetrics(font).height() - kCellHeight);
            if (error < bestError) {
                best = px;
                bestError = error;
            }
        }
        font.setPixelSize(best);
    }
    const qreal digit = QFontMetricsF(font).horizontalAdvance(QLatin1Char('0'));
    if (digit > 0)
        font.setStretch(std::clamp(qRound(100 * kAveWidth / digit), 1, 4000));
    return font;
}

void CInfoScreeWnd::PrepareFont() {
    m_font = ReadoutFont();
    m_iAscent = QFontMetrics(m_font, this).ascent();
    m_rawFont = QRawFont::fromFont(m_font);
    const QList<quint32> glyphs =
        m_rawFont.isValid() ? m_rawFont.glyphIndexesForString(QStringLiteral("0123456789-"))
                            : QList<quint32>();
    const QList<QPointF> advances = m_rawFont.advancesForGlyphIndexes(glyphs);
    if (glyphs.size() != 11 || advances.size() != 11 ||
        std::find(glyphs.begin(), glyphs.end(), 0u) != glyphs.end()) {
        m_rawFont = QRawFont();
        return;
    }
    for (int i = 0; i < 11; ++i) {
        m_glyph[i] = glyphs[i];
        m_advance[i] = advances[i].x();
    }
}

int CInfoScreeWnd::Layout(const char* text, int length, quint32* glyphs, QPointF* positions,
                          int* kinds) const {
    const int count = std::min(length, 16);
    qreal x = 0;
    for (int i = 0; i < count; ++i) {
        const int k = text[i] == '-' ? 10 : text[i] - '0';
        kinds[i] = k;
        glyphs[i] = m_glyph[k];
        positions[i] = QPointF(x, 0);
        x += m_advance[k];
    }
    return count;
}

void CInfoScreeWnd::DrawGlyphRun(QPainter& dc, const quint32* glyphs, const QPointF* positions,
                                 int count) {
    QGlyphRun run;
    run.setRawFont(m_rawFont);
    run.setRawData(glyphs, positions, count);
    // The text cell's top edge is kTextTop; glyphs are placed by their baseline.
    dc.drawGlyphRun(QPointF(0, kTextTop + m_iAscent), run);
}

const QImage& CInfoScreeWnd::DigitImage(int k, qreal phase) {
    const qreal sixtyfourths = phase * kPhases;
    const int slot = int(sixtyfourths);
    if (slot != sixtyfourths || slot < 0 || slot >= kPhases)
        return m_noDigitImage;
    const int at = k * kPhases + slot;
    if (m_digitImages.empty()) {
        m_digitImages.resize(11 * kPhases);
        m_digitMade.assign(11 * kPhases, 0);
    }
    if (m_digitMade[at] != 0)
        return m_digitImages[at];
    // A place owns the columns from its own start to the next place's.
    const int columns = int(std::floor(phase + m_advance[k]));
    QImage scratch(columns + 2 * kStrayRoom, height(), QImage::Format_RGB32);
    scratch.fill(kField);
    {
        QPainter dc(&scratch);
        dc.setPen(kInk);
        const QPointF origin(kStrayRoom + phase, 0);
        DrawGlyphRun(dc, &m_glyph[k], &origin, 1);
    }
    const QRgb field = kField.rgb();
    bool strays = columns <= 0;
    for (int y = 0; y < scratch.height() && !strays; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(scratch.constScanLine(y));
        for (int x = 0; x < scratch.width(); ++x)
            if ((x < kStrayRoom || x >= kStrayRoom + columns) && row[x] != field) {
                strays = true;
                break;
            }
    }
    m_digitMade[at] = strays ? -1 : 1;
    if (strays)
        return m_digitImages[at];
    m_digitImages[at] = scratch.copy(kStrayRoom, 0, columns, height());
    // The font sets a glyph at fewer distinct fractions than 64: places that
    // come out the same share one image.
    for (int other = k * kPhases; other < (k + 1) * kPhases; ++other)
        if (other != at && m_digitMade[other] == 1 && m_digitImages[other] == m_digitImages[at]) {
            m_digitImages[at] = m_digitImages[other];
            break;
        }
    return m_digitImages[at];
}

bool CInfoScreeWnd::DrawDigitImages(QPainter& dc, const QPointF* positions, const int* kinds,
                                    int count) {
    const QImage* images[16];
    for (int i = 0; i < count; ++i) {
        const qreal left = std::floor(positions[i].x());
        images[i] = &DigitImage(kinds[i], positions[i].x() - left);
        if (images[i]->isNull())
            return false;
    }
    for (int i = 0; i < count; ++i)
        dc.drawImage(int(std::floor(positions[i].x())), 0, *images[i]);
    return true;
}

bool CInfoScreeWnd::DigitImagesMatchGlyphRun() {
    // Every digit at every place a number can put it, after a minus sign
    // and without one.
    const QByteArray digits("0123456789");
    for (int turn = 0; turn < 2 * digits.size(); ++turn) {
        const int r = turn % digits.size();
        QByteArray text = digits.mid(r) + digits.left(r);
        if (turn >= digits.size())
            text.prepend('-');
        quint32 glyphs[16];
        QPointF positions[16];
        int kinds[16];
        const int count = Layout(text.constData(), int(text.size()), glyphs, positions, kinds);
        QImage run(size(), QImage::Format_RGB32), copied(size(), QImage::Format_RGB32);
        run.fill(kField);
        copied.fill(kField);
        {
            QPainter dc(&run);
            dc.setPen(kInk);
            DrawGlyphRun(dc, glyphs, positions, count);
        }
        QPainter dc(&copied);
        if (!DrawDigitImages(dc, positions, kinds, count))
            return false;
        dc.end();
        if (copied != run)
            return false;
    }
    return true;
}

void CInfoScreeWnd::paintEvent(QPaintEvent*) {
    QPainter dc(this);
    dc.fillRect(rect(), QBrush(kField));
    dc.setBackgroundMode(Qt::TransparentMode);
    if (m_iAscent < 0)
        PrepareFont();
    dc.setPen(kInk);
    const int length = std::snprintf(m_szText, sizeof m_szText, "%d", int(m_iValue.load()));
    if (!m_rawFont.isValid()) {
        // The text cell's top edge is kTextTop; Qt places text by its baseline.
        dc.setFont(m_font);
        dc.drawText(QPointF(0, kTextTop + m_iAscent), QString::fromLatin1(m_szText, length));
        return;
    }
    if (m_iDigitHeight != height()) {
        m_digitImages.clear();
        m_digitMade.clear();
        m_iDigitHeight = height();
        m_bDigitImages = DigitImagesMatchGlyphRun();
    }
    quint32 glyphs[16];
    QPointF positions[16];
    int kinds[16];
    const int count = Layout(m_szText, length, glyphs, positions, kinds);
    // Copies are exact on the 32-bit raster surfaces they were checked on,
    // unscaled; anywhere else the glyphs are blended where they land.
    const QPaintEngine* engine = dc.paintEngine();
    const QTransform toDevice = dc.deviceTransform();
    if (m_bDigitImages && engine && engine->type() == QPaintEngine::Raster &&
        engine->paintDevice() && engine->paintDevice()->depth() == 32 &&
        toDevice.type() <= QTransform::TxTranslate && toDevice.dx() == std::floor(toDevice.dx()) &&
        toDevice.dy() == std::floor(toDevice.dy()) && dc.device()->devicePixelRatio() == 1 &&
        DrawDigitImages(dc, positions, kinds, count))
        return;
    DrawGlyphRun(dc, glyphs, positions, count);
}
