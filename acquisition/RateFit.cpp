#include "acquisition/RateFit.h"

#include "acquisition/RecordFormat.h"

#include <algorithm>
#include <cmath>

void CLineFit::NewStretch() {
    const SStretch& s = m_cur;
    if (s.n >= 2) {
        m_sxx += s.cxx;
        m_sxy += s.cxy;
        m_syy += s.cyy;
        m_spanRecords += s.lastX - s.x0;
        m_spanSeconds += s.lastY - s.y0;
        m_nDone += s.n;
        ++m_nStretchesDone;
    }
    m_cur = SStretch{};
}

void CLineFit::Add(double xIn, double yIn) {
    if (m_bKeep)
        m_points.push_back({float(m_nStretchesDone), xIn, yIn});
    SStretch& s = m_cur;
    if (s.n == 0) {
        s.x0 = xIn;
        s.y0 = yIn;
    }
    // Welford's update about the stretch's first point, which keeps the sums
    // exact enough over an hour of records.
    const double x = xIn - s.x0, y = yIn - s.y0;
    ++s.n;
    const double dx = x - s.mx;
    s.mx += dx / double(s.n);
    const double dy = y - s.my;
    s.my += dy / double(s.n);
    s.cxx += dx * (x - s.mx);
    s.cxy += dx * (y - s.my);
    s.cyy += dy * (y - s.my);
    s.lastX = xIn;
    s.lastY = yIn;
}

std::optional<double> CLineFit::Slope() const {
    if (m_cur.n < 2 || !(m_cur.cxx > 0) || !(m_cur.cxy > 0))
        return std::nullopt;
    return m_cur.cxy / m_cur.cxx;
}

std::optional<SRateFitResult> CLineFit::Result() const {
    CLineFit all = *this;
    all.NewStretch();
    const uint64_t n = all.m_nDone, stretches = all.m_nStretchesDone;
    if (n < 2 || !(all.m_sxx > 0) || !(all.m_sxy > 0))
        return std::nullopt;
    const double slope = all.m_sxy / all.m_sxx; // seconds per record
    SRateFitResult r;
    r.hz = 1.0 / slope;
    r.records = uint64_t(std::llround(all.m_spanRecords));
    r.seconds = all.m_spanSeconds;
    const double dof = double(n) - double(stretches) - 1;
    if (dof >= 1) {
        const double rss = std::max(0.0, all.m_syy - slope * all.m_sxy);
        double seSlope = std::sqrt(rss / dof / all.m_sxx);
        // Errors that run on from one point to the next (the reads late for
        // a while) tell less than as many independent ones: the standard
        // error grows with the residuals' correlation from point to point.
        if (m_bKeep && m_points.size() >= 8) {
            // Each stretch's line passes through its mean point.
            std::vector<double> meanX(size_t(stretches) + 1, 0), meanY(meanX), count(meanX);
            for (const SPoint& p : m_points) {
                const size_t k = size_t(p.stretch);
                meanX[k] += p.x;
                meanY[k] += p.y;
                count[k] += 1;
            }
            double lag = 0, sq = 0, previous = 0;
            float previousStretch = -1;
            for (const SPoint& p : m_points) {
                const size_t k = size_t(p.stretch);
                const double e = (p.y - meanY[k] / count[k]) - slope * (p.x - meanX[k] / count[k]);
                if (p.stretch == previousStretch)
                    lag += e * previous;
                sq += e * e;
                previous = e;
                previousStretch = p.stretch;
            }
            const double rho = sq > 0 ? std::clamp(lag / sq, 0.0, 0.95) : 0.0;
            seSlope *= std::sqrt((1 + rho) / (1 - rho));
        }
        r.uncertaintyHz = 3 * seSlope / (slope * slope);
    }
    return r;
}

void CRateFit::NewStretch() {
    Commit();
    m_blocks.NewStretch();
    m_all.NewStretch();
}

void CRateFit::Add(double record, double seconds) {
    m_all.Add(record, seconds);
    // How late a point is, as far as it can be told yet: against the line
    // fitted so far, or the full line rate before there is one.
    const double slope = m_blocks.Slope().value_or(double(kRecordSize) / 92600.0);
    if (m_bBlock && seconds - m_blockStart >= kBlockSeconds)
        Commit();
    if (!m_bBlock) {
        m_bBlock = true;
        m_blockStart = seconds;
        m_bestX = record;
        m_bestY = seconds;
        return;
    }
    if (seconds - record * slope < m_bestY - m_bestX * slope) {
        m_bestX = record;
        m_bestY = seconds;
    }
}

void CRateFit::Commit() {
    if (!m_bBlock)
        return;
    m_bBlock = false;
    m_blocks.Add(m_bestX, m_bestY);
}

std::optional<SRateFitResult> CRateFit::Result() const {
    // The block being gathered counts as if it ended now.
    CRateFit whole = *this;
    whole.Commit();
    // Points of at least three blocks, over a second or more, tell; a
    // shorter recording has its rate from every point it has.
    const std::optional<SRateFitResult> blocks = whole.m_blocks.Result();
    if (blocks && whole.m_blocks.Points() >= 3 && blocks->seconds >= 1.0)
        return blocks;
    return whole.m_all.Result();
}
