#include "display/InfoScreeWnd.h"

#include <QFont>
#include <QFontMetrics>
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

void CInfoScreeWnd::paintEvent(QPaintEvent*) {
    QPainter dc(this);
    dc.fillRect(rect(), QBrush(QColor(0, 0, 128)));
    dc.setBackgroundMode(Qt::TransparentMode);
    if (m_iAscent < 0) {
        m_font = ReadoutFont();
        m_iAscent = QFontMetrics(m_font, this).ascent();
    }
    dc.setFont(m_font);
    dc.setPen(QColor(255, 255, 128));
    std::snprintf(m_szText, sizeof m_szText, "%d", int(m_iValue.load()));
    // The text cell's top edge is kTextTop; Qt places text by its baseline.
    const QString text = QString::fromLatin1(m_szText, int(std::strlen(m_szText)));
    dc.drawText(QPoint(0, kTextTop + m_iAscent), text);
}
