#include "display/DrawWave3Wnd.h"

#include <QCoreApplication>
#include <QPainter>
#include <QResizeEvent>

CDrawWave3Wnd::CDrawWave3Wnd() {
    // Every paint covers the whole client area, so nothing underneath (the
    // panel, the frame the strip sits on) needs painting first; without this
    // each band repaint also repainted the frame below it.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CDrawWave3Wnd::~CDrawWave3Wnd() {
    m_hWnd.Detach();
    // Let an AddSample that got past its window check finish before the
    // members go.
    std::lock_guard g(m_lock);
}

bool CDrawWave3Wnd::Create(QWidget* parent, const QRect& rect, int nID) {
    setParent(parent);
    setProperty("nID", nID);
    setGeometry(rect);
    show();
    // Under a hidden parent the resize is held back until the parent shows;
    // handle it now, as window creation does.
    if (testAttribute(Qt::WA_PendingResizeEvent)) {
        setAttribute(Qt::WA_PendingResizeEvent, false);
        QResizeEvent e(size(), QSize());
        QCoreApplication::sendEvent(this, &e);
    }
    m_hWnd.Attach(this);
    return true;
}

void CDrawWave3Wnd::DestroyWindow() {
    m_hWnd.Detach();
    hide();
}

void CDrawWave3Wnd::AddSample(uint16_t wSample) {
    // The repaint is requested under the lock too, so that the destructor's
    // lock waits for the whole call.
    std::lock_guard g(m_lock);
    if (!IsWindow(m_hWnd))
        return;
    const CWaveAppend step = WavePlanAppend(m_iFirstPt, m_iLastPt, m_iMaxPt, m_bScroll);
    m_iFirstPt = step.iFirstPt;
    m_wWave[step.iIndex] = wSample;
    m_iLastPt = step.iLastPt;
    if (step.bRestart) {
        InvalidateRect(m_hWnd, nullptr, true);
    } else {
        const QRect band = WaveRepaintBand(m_iLastPt, m_iWndExtX, m_iViewExtX, m_rcClient);
        InvalidateRect(m_hWnd, &band, true);
    }
    if (m_bScroll)
        InvalidateRect(m_hWnd, nullptr, false);
}

void CDrawWave3Wnd::SetBandLayout(int iMode, int iBaseLine1, int iBaseLine2) {
    {
        std::lock_guard g(m_lock);
        m_iMode = iMode;
        m_iBaseLine1 = iBaseLine1;
        m_iBaseLine2 = iBaseLine2;
    }
    update();
}

void CDrawWave3Wnd::SetBaseOffset(bool bBaseOffset) {
    {
        std::lock_guard g(m_lock);
        m_bBaseOffset = bBaseOffset;
    }
    update();
}

void CDrawWave3Wnd::SetScroll(bool bScroll) {
    {
        std::lock_guard g(m_lock);
        m_bScroll = bScroll;
        if (!bScroll && m_iFirstPt != 0) {
            m_iLastPt = WaveKeepOnResize(m_wWave, m_iFirstPt, m_iLastPt, m_iMaxPt, m_iMaxPt);
            m_iFirstPt = 0;
        }
    }
    update();
}

void CDrawWave3Wnd::SetExtents(int iWndExtX, int iWndExtY, int iViewExtX, int iViewExtY) {
    {
        std::lock_guard g(m_lock);
        m_iWndExtX = iWndExtX;
        m_iWndExtY = iWndExtY;
        m_iViewExtX = iViewExtX;
        m_iViewExtY = iViewExtY;
        if (m_iMaxPt > 0)
            ResizeBuffer();
    }
    update();
}

CDrawWave3Wnd::CState CDrawWave3Wnd::State() const {
    std::lock_guard g(m_lock);
    return {m_iMode,     m_iBaseLine1, m_iBaseLine2, m_bBaseOffset, m_bScroll,
            m_iFirstPt,  m_iLastPt,    m_iWndExtX,   m_iWndExtY,    m_iViewExtX,
            m_iViewExtY, m_rcClient,   m_wWave,      m_iMaxPt};
}

void CDrawWave3Wnd::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    std::lock_guard g(m_lock);
    m_rcClient = rect();
    ResizeBuffer();
}

int CDrawWave3Wnd::ResizeBuffer() {
    const int cap = WaveCapacity(m_rcClient.width(), m_iWndExtX, m_iViewExtX);
    m_iLastPt = WaveKeepOnResize(m_wWave, m_iFirstPt, m_iLastPt, m_iMaxPt, cap);
    m_iMaxPt = cap;
    m_iFirstPt = 0;
    return cap;
}

void CDrawWave3Wnd::paintEvent(QPaintEvent* event) {
    const CState s = State();
    QPainter dc(this);
    dc.setRenderHint(QPainter::Antialiasing, false);
    dc.fillRect(s.rcClient, QBrush(QColor(0, 0, 0)));
    const CWaveMapping map = DrawGrid(dc, s);
    dc.setPen(QPen(QColor(255, 255, 255), 1));
    DrawWave(dc, map, s, event->rect());
}

CWaveMapping CDrawWave3Wnd::DrawGrid(QPainter& dc, const CState& s) const {
    const CWaveMapping map(s.iWndExtX, s.iWndExtY, s.iViewExtX, s.iViewExtY, size());
    const int a = WaveBaseOffset(s.bBaseOffset, s.iBaseLine1);
    const CWaveBands bands =
        WaveBandLayout(s.iMode, s.iBaseLine1, s.iBaseLine2, a, map.Top() - map.Bottom());
    auto line = [&](int64_t y) { dc.drawLine(map.ToDevice(0, y), map.ToDevice(map.Right(), y)); };
    dc.setPen(QPen(QColor(0, 0, 0), 1));
    for (int i = 0; i < bands.nDividers; ++i)
        line(bands.yDivider[i]);
    dc.setPen(QPen(QColor(255, 0, 0), 1));
    for (int i = 0; i < bands.nBaselines; ++i)
        line(bands.yBaseline[i]);
    return map;
}

void CDrawWave3Wnd::DrawWave(QPainter& dc, const CWaveMapping& map, const CState& s,
                             const QRect& dirty) const {
    CWaveSamples ordered;
    const int n = WaveDrawOrder(s.wWave, s.iFirstPt, s.iLastPt, s.iMaxPt, ordered);
    if (n < 2)
        return; // a single sample is only a starting point
    // Most paints are the 8-pixel band behind a new sample: map and draw only
    // the points whose segments reach it, not the whole sweep.
    const CWaveSpan span = WaveColumnSpan(map, n, dirty.left(), dirty.right());
    CWavePoints points;
    const int count = WavePolyline(ordered, span.from, span.to,
                                   WaveBaseOffset(s.bBaseOffset, s.iBaseLine1), map, points);
    if (count >= 2)
        dc.drawPolyline(points.data(), count);
}
