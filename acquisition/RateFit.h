#pragma once
#include <cstdint>
#include <optional>
#include <vector>

// The record rate of a recording, fitted over the records' arrivals: each
// point is a record's number in the segment and the time (seconds, steady
// clock) its last byte was read from the line. A read is never early, only
// late: by the read pace (up to 12 ms), and by much more when the UI thread
// was held up and found a backlog. So of each quarter of a second only the
// point read least late is kept, and a straight line is put through those by
// least squares: one slope over every stretch of the stream, each stretch
// (after sampling started again or the port opened) with its own start, so
// the pauses between stretches count for nothing. A recording too short for
// that is fitted over all its points.
struct SRateFitResult {
    double hz = 0;
    uint64_t records = 0; // records the points span, all stretches together
    double seconds = 0;   // the time they span
    // Three standard errors of the fitted rate (from the scatter of the
    // points about the line); 0 while too few points tell.
    double uncertaintyHz = 0;
};

// Least squares with one slope over stretches that each have their own start.
class CLineFit {
public:
    // keepPoints: the points are kept, so that the uncertainty allows for
    // errors that run on from point to point (a read late for a while).
    explicit CLineFit(bool keepPoints = false) : m_bKeep(keepPoints) {}
    void NewStretch();
    void Add(double x, double y);
    std::optional<SRateFitResult> Result() const;
    uint64_t Points() const { return m_nDone + m_cur.n; }
    // The slope of the current stretch, when it has one.
    std::optional<double> Slope() const;

private:
    struct SStretch {
        uint64_t n = 0;
        double x0 = 0, y0 = 0;            // first point: sums are taken about it
        double mx = 0, my = 0;            // running means
        double cxx = 0, cxy = 0, cyy = 0; // co-moments about the means
        double lastX = 0, lastY = 0;
    };
    SStretch m_cur;
    bool m_bKeep;
    struct SPoint {
        float stretch; // which stretch, from 0
        double x, y;
    };
    std::vector<SPoint> m_points;
    // The stretches before the current one, folded together.
    double m_sxx = 0, m_sxy = 0, m_syy = 0, m_spanRecords = 0, m_spanSeconds = 0;
    uint64_t m_nDone = 0, m_nStretchesDone = 0;
};

class CRateFit {
public:
    // The next stretch of the stream begins with the next point.
    void NewStretch();
    // Record number (from 0) and its arrival in seconds; points come in order.
    void Add(double record, double seconds);
    // Nothing before two points of one stretch span some time.
    std::optional<SRateFitResult> Result() const;
    uint64_t Points() const { return m_all.Points(); }

    // Points are kept one per block of this many seconds.
    static constexpr double kBlockSeconds = 0.25;

private:
    void Commit();

    CLineFit m_blocks{true}, m_all;
    // The block being gathered: its start, and its point read least late.
    bool m_bBlock = false;
    double m_blockStart = 0, m_bestX = 0, m_bestY = 0;
};
