#pragma once
#include <cstdint>
#include <optional>

// The record rate of a recording, fitted over the records' arrivals: each
// point is a record's number in the segment and the time (seconds, steady
// clock) its last byte was read from the line. A straight line through them
// by least squares, one slope over every stretch of the stream, each stretch
// (after sampling started again or the port opened) with its own start, so
// the pauses between stretches count for nothing. Arrivals jitter by the
// serial control's read pace (about 12 ms), but over thousands of reads the
// slope comes out to a few millionths.
struct SRateFitResult {
    double hz = 0;
    uint64_t records = 0; // records the points span, all stretches together
    double seconds = 0;   // the time they span
    // Two standard errors of the fitted rate (from the scatter of the
    // points about the line); 0 while too few points tell.
    double uncertaintyHz = 0;
};

class CRateFit {
public:
    // The next stretch of the stream begins with the next point.
    void NewStretch();
    // Record number (from 0) and its arrival in seconds; points come in order.
    void Add(double record, double seconds);
    // Nothing before two points of one stretch span some time.
    std::optional<SRateFitResult> Result() const;
    uint64_t Points() const { return m_nPoints; }

private:
    struct SStretch {
        uint64_t n = 0;
        double x0 = 0, y0 = 0;            // first point: sums are taken about it
        double mx = 0, my = 0;            // running means
        double cxx = 0, cxy = 0, cyy = 0; // co-moments about the means
        double lastX = 0, lastY = 0;
    };
    void Fold(const SStretch& s);

    SStretch m_cur;
    // The stretches before the current one, folded together.
    double m_sxx = 0, m_sxy = 0, m_syy = 0, m_spanRecords = 0, m_spanSeconds = 0;
    uint64_t m_nDone = 0, m_nStretchesDone = 0;
    uint64_t m_nPoints = 0;
};
