#include "display/WaveMath.h"

#include "platform/DialogUnits.h"

#include <algorithm>
#include <cstdlib>

namespace {
// num / den rounded to the nearest integer, halves toward +infinity. The
// products of a coordinate and an extent need more than 64 bits.
int64_t RoundDiv(__int128 num, __int128 den) {
    if (den < 0) {
        num = -num;
        den = -den;
    }
    const __int128 n2 = 2 * num + den;
    const __int128 d2 = 2 * den;
    __int128 q = n2 / d2;
    if (n2 % d2 != 0 && n2 < 0)
        --q;
    return int64_t(q);
}

int64_t Clamp(int64_t v, int64_t lim) {
    return std::clamp(v, -lim, lim);
}
} // namespace

int WaveBaseOffset(bool bBaseOffset, int iBaseLine1) {
    if (!bBaseOffset)
        return 0;
    // 64-bit so that large baselines do not overflow; the quotient fits.
    return int(int64_t(4) * iBaseLine1 / 5);
}

int WaveCapacity(int iClientWidth, int iWndExtX, int iViewExtX) {
    if (iViewExtX == 0)
        return kWaveMaxPt;
    const int64_t cap = int64_t(iClientWidth) * iWndExtX / iViewExtX;
    if (cap > kWaveMaxPt || cap < 1)
        return kWaveMaxPt;
    return int(cap);
}

CWaveAppend WavePlanAppend(int iFirstPt, int iLastPt, int iMaxPt, bool bScroll) {
    const int i = iLastPt;
    if (i < 0 || i >= iMaxPt) {
        // A scrolling ring starts dropping its oldest sample from here on.
        const int first = (bScroll && iFirstPt == 0) ? 1 : iFirstPt;
        return {true, 0, first, 1};
    }
    int first = iFirstPt;
    if (bScroll && first == i && i != 0) {
        first = i + 1;
        if (first >= iMaxPt)
            first = 0;
    }
    return {false, i, first, i + 1};
}

QRect WaveRepaintBand(int iLastPt, int iWndExtX, int iViewExtX, const QRect& rcClient) {
    if (iWndExtX == 0)
        return rcClient;
    const int x = int(int64_t(iLastPt) * iViewExtX / iWndExtX);
    return QRect(x - 4, rcClient.top(), 8, rcClient.height());
}

int WaveKeepOnResize(CWaveSamples& wave, int iFirstPt, int iLastPt, int iOldMaxPt, int iCap) {
    CWaveSamples scratch{};
    int n = 0;
    if (iLastPt > iFirstPt) {
        n = std::min(iLastPt - iFirstPt, iCap);
        n = std::min(n, kWaveMaxPt - iFirstPt);
        std::copy_n(wave.begin() + iFirstPt, n, scratch.begin());
    } else if (iLastPt > 0) {
        // A wrapped ring: the older part runs from iFirstPt to the old
        // capacity, the newer part from 0 to iLastPt.
        int p = std::min(iOldMaxPt - iFirstPt, iCap);
        p = std::clamp(p, 0, kWaveMaxPt - std::clamp(iFirstPt, 0, kWaveMaxPt));
        if (p > 0)
            std::copy_n(wave.begin() + iFirstPt, p, scratch.begin());
        const int r = std::clamp(std::min(iLastPt, iCap - p), 0, kWaveMaxPt - p);
        std::copy_n(wave.begin(), r, scratch.begin() + p);
        n = p + r;
    }
    std::copy_n(scratch.begin(), n, wave.begin());
    return n;
}

int WaveDrawOrder(const CWaveSamples& wave, int iFirstPt, int iLastPt, int iMaxPt,
                  CWaveSamples& out) {
    if (iFirstPt < 0 || iFirstPt >= kWaveMaxPt)
        return 0;
    if (iLastPt > iFirstPt) {
        const int n = std::min(iLastPt - iFirstPt, kWaveMaxPt - iFirstPt);
        std::copy_n(wave.begin() + iFirstPt, n, out.begin());
        return n;
    }
    if (iLastPt <= 0)
        return 0;
    const int p = std::clamp(iMaxPt - iFirstPt, 0, kWaveMaxPt - iFirstPt);
    const int r = std::min(iLastPt, kWaveMaxPt - p);
    std::copy_n(wave.begin() + iFirstPt, p, out.begin());
    std::copy_n(wave.begin(), r, out.begin() + p);
    return p + r;
}

CWaveMapping::CWaveMapping(int iWndExtX, int iWndExtY, int iViewExtX, int iViewExtY, QSize client) {
    // Switching to the anisotropic mode keeps the extents at 1; an extent of
    // 0 is refused and leaves them so.
    if (iWndExtX != 0 && iWndExtY != 0) {
        m_wndX = iWndExtX;
        m_wndY = iWndExtY;
    }
    if (iViewExtX != 0 && iViewExtY != 0) {
        m_viewX = iViewExtX;
        m_viewY = iViewExtY;
    }
    // Client corners to logical units, origins still at 0.
    m_left = 0;
    m_top = 0;
    m_right = RoundDiv(__int128(client.width()) * m_wndX, m_viewX);
    m_bottom = RoundDiv(__int128(client.height()) * m_wndY, m_viewY);
    // One pixel as a logical size: magnitudes, rounded half away from zero.
    const int oneY = MulDiv(1, std::abs(m_wndY), std::abs(m_viewY));
    m_orgX = m_left;
    m_orgY = -(m_bottom + oneY);
}

QPoint CWaveMapping::ToDevice(int64_t x, int64_t y) const {
    const int64_t dx = RoundDiv((__int128(x) - m_orgX) * m_viewX, m_wndX);
    const int64_t dy = RoundDiv((__int128(y) - m_orgY) * m_viewY, m_wndY);
    return QPoint(int(Clamp(dx, kFar)), int(Clamp(dy, kFar)));
}

CWaveBands WaveBandLayout(int iMode, int iBaseLine1, int iBaseLine2, int a, int64_t s) {
    CWaveBands b;
    const int64_t b1 = int64_t(iBaseLine1) - a;
    if (iMode == 3) {
        const int64_t q = s / 3;
        b.nDividers = 2;
        b.yDivider[0] = 2 * q;
        b.yDivider[1] = q;
        if (iBaseLine1 >= 0) {
            b.nBaselines = 3;
            b.yBaseline[0] = b1;
            b.yBaseline[1] = q + b1;
            b.yBaseline[2] = 2 * q + b1;
        }
    } else if (iMode == 2) {
        const int64_t q = s / 2;
        b.nDividers = 1;
        b.yDivider[0] = q;
        if (iBaseLine1 >= 0)
            b.yBaseline[b.nBaselines++] = q + b1;
        if (iBaseLine2 >= 0)
            b.yBaseline[b.nBaselines++] = int64_t(iBaseLine2) - a;
    } else if (iBaseLine1 >= 0) {
        b.yBaseline[b.nBaselines++] = b1;
    }
    return b;
}

int WavePolyline(const CWaveSamples& samples, int n, int a, const CWaveMapping& map,
                 CWavePoints& out) {
    for (int k = 0; k < n; ++k)
        out[k] = map.ToDevice(k, int64_t(samples[k]) - a);
    return n;
}

int WavePolyline(const CWaveSamples& samples, int from, int to, int a, const CWaveMapping& map,
                 CWavePoints& out) {
    from = std::max(from, 0);
    to = std::min(to, kWaveMaxPt - 1);
    for (int k = from; k <= to; ++k)
        out[k - from] = map.ToDevice(k, int64_t(samples[k]) - a);
    return std::max(0, to - from + 1);
}

CWaveSpan WaveColumnSpan(const CWaveMapping& map, int n, int left, int right) {
    if (n <= 0)
        return {0, -1};
    auto x = [&](int k) { return map.ToDevice(k, 0).x(); };
    // The mapping is linear, so x either never falls or never rises with k.
    // Only the rising (or flat) case is cut; the other keeps every point.
    if (x(0) > x(n - 1) || left > right)
        return {0, n - 1};
    // A one-pixel line stays within the columns of its end points; two
    // columns to spare cover the rounding of its ends.
    const int lo = left - 2, hi = right + 2;
    int a = 0, b = n; // first point at or right of lo
    while (a < b) {
        const int m = a + (b - a) / 2;
        if (x(m) < lo)
            a = m + 1;
        else
            b = m;
    }
    const int from = std::max(0, a - 1); // the segment into the range starts there
    a = 0, b = n;                        // first point right of hi
    while (a < b) {
        const int m = a + (b - a) / 2;
        if (x(m) <= hi)
            a = m + 1;
        else
            b = m;
    }
    return {from, std::min(n - 1, a)}; // the segment out of the range ends there
}
