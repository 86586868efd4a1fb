#include "display/InfoScreeWnd.h"

#include <QFont>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QPainter>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int kCellHeight = 30; // ascent + descent, in pixels
constexpr int kAveWidth = 20;   // width of a digit, in pixels
constexpr int kTextTop = 5;
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

void CInfoScreeWnd::paintEvent(QPaintEvent*) {
    QPainter dc(this);
    dc.fillRect(rect(), QBrush(QColor(0, 0, 128)));
    dc.setBackgroundMode(Qt::TransparentMode);
    if (m_iAscent < 0)
        PrepareFont();
    dc.setPen(QColor(255, 255, 128));
    const int length = std::snprintf(m_szText, sizeof m_szText, "%d", int(m_iValue.load()));
    // The text cell's top edge is kTextTop; Qt places text by its baseline.
    const QPointF baseline(0, kTextTop + m_iAscent);
    if (!m_rawFont.isValid()) {
        dc.setFont(m_font);
        dc.drawText(baseline, QString::fromLatin1(m_szText, length));
        return;
    }
    quint32 glyphs[16];
    QPointF positions[16];
    qreal x = 0;
    for (int i = 0; i < length && i < 16; ++i) {
        const int k = m_szText[i] == '-' ? 10 : m_szText[i] - '0';
        glyphs[i] = m_glyph[k];
        positions[i] = QPointF(x, 0);
        x += m_advance[k];
    }
    QGlyphRun run;
    run.setRawFont(m_rawFont);
    run.setRawData(glyphs, positions, std::min(length, 16));
    dc.drawGlyphRun(baseline, run);
}
