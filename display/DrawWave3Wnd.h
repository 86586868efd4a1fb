#pragma once
#include "display/WaveMath.h"
#include "platform/WindowHandle.h"

#include <QRect>
#include <QWidget>
#include <cstdint>
#include <mutex>

class QPainter;

// A strip that plots one channel of unsigned 16-bit samples as a one-pixel
// white line on black, one sample per pixel column. Each sample extends the
// line one column to the right; when the strip is full the next sample clears
// it and starts a new sweep at the left edge.
//
// AddSample may be called from any thread (the acquisition worker); the
// sample store is guarded by m_lock, which resizing and painting take too.
// Everything else runs on the UI thread.
class CDrawWave3Wnd : public QWidget {
    Q_OBJECT
public:
    CDrawWave3Wnd();
    ~CDrawWave3Wnd() override;

    // UI thread. Parents the strip, places it at rect (parent client
    // coordinates), shows it and gives it its window; the size is handled at
    // once even while the parent is still hidden, so the capacity follows the
    // width from the start. nID is kept as the "nID" property.
    bool Create(QWidget* parent, const QRect& rect, int nID);
    // UI thread. The window is gone: later samples are dropped.
    void DestroyWindow();

    // Any thread. Appends one sample and asks for the changed band to be
    // repainted.
    void AddSample(uint16_t wSample);

    // UI thread. Test seams: the panel never changes these; tests reach other settings here.
    void SetBandLayout(int iMode, int iBaseLine1, int iBaseLine2);
    void SetBaseOffset(bool bBaseOffset);
    // Switching the ring off unrolls it, oldest sample at the left.
    void SetScroll(bool bScroll);
    // The capacity follows the new extents at once once the strip is laid out.
    void SetExtents(int iWndExtX, int iWndExtY, int iViewExtX, int iViewExtY);

    // A consistent copy of the settings and the sample store.
    struct CState {
        int iMode, iBaseLine1, iBaseLine2;
        bool bBaseOffset, bScroll;
        int iFirstPt, iLastPt;
        int iWndExtX, iWndExtY, iViewExtX, iViewExtY;
        QRect rcClient;
        CWaveSamples wWave;
        int iMaxPt;
    };
    CState State() const;

    CWndHandle m_hWnd;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    int ResizeBuffer(); // m_lock held
    CWaveMapping DrawGrid(QPainter& dc, const CState& s) const;
    // dirty: the device rectangle being repainted; nothing outside it shows.
    void DrawWave(QPainter& dc, const CWaveMapping& map, const CState& s, const QRect& dirty) const;

    int m_iMode = 1;
    int m_iBaseLine1 = -1;
    int m_iBaseLine2 = -1;
    bool m_bBaseOffset = true;
    bool m_bScroll = false;
    int m_iFirstPt = 0;
    int m_iLastPt = 0;
    int m_iWndExtX = 100, m_iWndExtY = -100;
    int m_iViewExtX = 100, m_iViewExtY = 50;
    QRect m_rcClient; // empty until the first size notification
    CWaveSamples m_wWave{};
    int m_iMaxPt = 0;

    mutable std::mutex m_lock;
};
