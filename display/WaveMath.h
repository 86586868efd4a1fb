#pragma once
// The arithmetic of the waveform strip, kept apart from the widget so that it
// can be checked without painting: capacity and resizing of the sample store,
// the sweep and ring indices, the repaint band, the baseline offset, the band
// layout and the anisotropic logical-to-device mapping of the strip.
#include <QPoint>
#include <QRect>
#include <QSize>
#include <array>
#include <cstdint>

// Most samples a strip holds, and so most points a paint draws.
inline constexpr int kWaveMaxPt = 2048;
using CWaveSamples = std::array<uint16_t, kWaveMaxPt>;
using CWavePoints = std::array<QPoint, kWaveMaxPt>;

// The offset a subtracted from every plotted value and baseline: four fifths
// of baseline 1, truncated toward zero, when the offset is on; else 0.
int WaveBaseOffset(bool bBaseOffset, int iBaseLine1);

// Capacity of a strip iClientWidth pixels wide: its width in logical columns,
// or kWaveMaxPt when that is outside 1..kWaveMaxPt (a width of 0 included).
int WaveCapacity(int iClientWidth, int iWndExtX, int iViewExtX);

// Where AddSample stores the next sample and the indices it leaves behind.
struct CWaveAppend {
    bool bRestart; // the strip was full (or never laid out): new sweep at 0
    int iIndex;    // where the sample goes
    int iFirstPt;
    int iLastPt;
};
CWaveAppend WavePlanAppend(int iFirstPt, int iLastPt, int iMaxPt, bool bScroll);

// The 8-pixel band around the end of the trace that an append repaints,
// over the full height of rcClient. With a zero window extent there is no
// column to compute and the whole client area is returned.
QRect WaveRepaintBand(int iLastPt, int iWndExtX, int iViewExtX, const QRect& rcClient);

// Keeps at most iCap samples of the store, oldest first, at the start of
// wave (a wrapped ring is unrolled) and returns how many were kept. Entries
// past the kept ones keep what they held.
int WaveKeepOnResize(CWaveSamples& wave, int iFirstPt, int iLastPt, int iOldMaxPt, int iCap);

// Copies the samples of the trace in drawing order (the one at x = 0 first)
// into out and returns their number. A wrapped ring is drawn from its oldest
// sample at iFirstPt round to its newest at iLastPt - 1.
int WaveDrawOrder(const CWaveSamples& wave, int iFirstPt, int iLastPt, int iMaxPt,
                  CWaveSamples& out);

// The strip's anisotropic mapping, built as the paint builds it: window and
// viewport extents, the client corners and a 1 x 1 size converted to logical
// units, then the window origin moved so that logical y = 0 is the bottom row.
// Conversions round to the nearest pixel, halves toward +infinity, as the
// window system's mapping does; a zero extent is refused and leaves 1.
class CWaveMapping {
public:
    CWaveMapping(int iWndExtX, int iWndExtY, int iViewExtX, int iViewExtY, QSize client);

    // The client area in logical units (left, top, right, bottom).
    int64_t Left() const { return m_left; }
    int64_t Top() const { return m_top; }
    int64_t Right() const { return m_right; }
    int64_t Bottom() const { return m_bottom; }
    QPoint WindowOrg() const { return QPoint(int(m_orgX), int(m_orgY)); }

    // Device pixel of a logical point. Far-off points are pulled in to
    // +-kFar, which is outside every window and keeps the rasterizer in range.
    QPoint ToDevice(int64_t x, int64_t y) const;
    static constexpr int64_t kFar = int64_t(1) << 24;

private:
    int m_wndX = 1, m_wndY = 1, m_viewX = 1, m_viewY = 1;
    int64_t m_left = 0, m_top = 0, m_right = 0, m_bottom = 0;
    int64_t m_orgX = 0, m_orgY = 0;
};

// The horizontal lines of the band layout, in logical y, in drawing order.
// Dividers are drawn with the default (black) pen, baselines in red.
struct CWaveBands {
    int nDividers = 0;
    int64_t yDivider[2] = {};
    int nBaselines = 0;
    int64_t yBaseline[3] = {};
};
// s is the logical height of the client area (top - bottom), a the offset.
CWaveBands WaveBandLayout(int iMode, int iBaseLine1, int iBaseLine2, int a, int64_t s);

// Maps the samples in drawing order to device points: sample k at logical
// (k, sample - a). Returns n.
int WavePolyline(const CWaveSamples& samples, int n, int a, const CWaveMapping& map,
                 CWavePoints& out);
// The same for samples from..to (inclusive) only, written to out from 0.
// Returns their number.
int WavePolyline(const CWaveSamples& samples, int from, int to, int a, const CWaveMapping& map,
                 CWavePoints& out);

// The points of an n-point trace (point k at logical x = k) that a repaint of
// device columns left..right needs: every segment that can leave a pixel in
// those columns. A band repaint thus draws a handful of points instead of the
// whole sweep. Points from..to, inclusive.
struct CWaveSpan {
    int from;
    int to;
};
CWaveSpan WaveColumnSpan(const CWaveMapping& map, int n, int left, int right);
