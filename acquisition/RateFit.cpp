#include "acquisition/RateFit.h"

#include <cmath>

void CRateFit::NewStretch() {
    Fold(m_cur);
    m_cur = SStretch{};
}

void CRateFit::Fold(const SStretch& s) {
    if (s.n < 2)
        return;
    m_sxx += s.cxx;
    m_sxy += s.cxy;
    m_syy += s.cyy;
    m_spanRecords += s.lastX - s.x0;
    m_spanSeconds += s.lastY - s.y0;
    m_nDone += s.n;
    ++m_nStretchesDone;
}

void CRateFit::Add(double record, double seconds) {
    SStretch& s = m_cur;
    if (s.n == 0) {
        s.x0 = record;
        s.y0 = seconds;
    }
    // Welford's update about the stretch's first point, which keeps the sums
    // exact enough over an hour of records.
    const double x = record - s.x0, y = seconds - s.y0;
    ++s.n;
    const double dx = x - s.mx;
    s.mx += dx / double(s.n);
    const double dy = y - s.my;
    s.my += dy / double(s.n);
    s.cxx += dx * (x - s.mx);
    s.cxy += dx * (y - s.my);
    s.cyy += dy * (y - s.my);
    s.lastX = record;
    s.lastY = seconds;
    ++m_nPoints;
}

std::optional<SRateFitResult> CRateFit::Result() const {
    double sxx = m_sxx, sxy = m_sxy, syy = m_syy;
    double spanRecords = m_spanRecords, spanSeconds = m_spanSeconds;
    uint64_t n = m_nDone, stretches = m_nStretchesDone;
    if (m_cur.n >= 2) {
        sxx += m_cur.cxx;
        sxy += m_cur.cxy;
        syy += m_cur.cyy;
        spanRecords += m_cur.lastX - m_cur.x0;
        spanSeconds += m_cur.lastY - m_cur.y0;
        n += m_cur.n;
        ++stretches;
    }
    if (n < 2 || !(sxx > 0) || !(sxy > 0))
        return std::nullopt;
    const double slope = sxy / sxx; // seconds per record
    SRateFitResult r;
    r.hz = 1.0 / slope;
    r.records = uint64_t(std::llround(spanRecords));
    r.seconds = spanSeconds;
    const double dof = double(n) - double(stretches) - 1;
    if (dof >= 1) {
        const double rss = std::max(0.0, syy - slope * sxy);
        const double seSlope = std::sqrt(rss / dof / sxx);
        r.uncertaintyHz = 2 * seSlope / (slope * slope);
    }
    return r;
}
