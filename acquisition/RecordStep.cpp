#include "acquisition/RecordStep.h"

#include "acquisition/Record.h"

#include <cstring>

namespace {

// 1: the marker is at byte 1 of the record starting at pos; 0: it is not;
// -1: that byte has not arrived yet.
int MarkerAt(const uint8_t* buf, int32_t len, int32_t pos) {
    if (pos + kRecordMarkerPos >= len)
        return -1;
    return buf[pos + kRecordMarkerPos] == kRecordMarker ? 1 : 0;
}

int32_t RunAt(const uint8_t* buf, int32_t len, int32_t pos) {
    int32_t run = 0;
    while (run < kStepRunCap && MarkerAt(buf, len, pos + run * kRecordSize) == 1)
        ++run;
    return run;
}

} // namespace

SStepCut CutInStep(uint8_t* buf, int32_t from, int32_t len, bool& inStep, bool final) {
    SStepCut cut;
    int32_t r = from, w = from;
    auto take = [&] {
        if (w != r)
            std::memmove(buf + w, buf + r, kRecordSize);
        w += kRecordSize;
        r += kRecordSize;
    };
    while (len - r >= kRecordSize) {
        if (inStep) {
            const int m0 = MarkerAt(buf, len, r);
            const int m1 = MarkerAt(buf, len, r + kRecordSize);
            if (m0 == 1 && m1 == 1) {
                take();
                continue;
            }
            if (m1 < 0) {
                // The next record's marker has not arrived: decide with it.
                if (!final)
                    break;
                if (m0 == 1) {
                    take();
                    continue;
                }
            } else if (m0 != m1) {
                // One of two markers missing: a damaged record, or the step
                // slipped here. The two periods after tell which.
                const int m2 = MarkerAt(buf, len, r + 2 * kRecordSize);
                const int m3 = MarkerAt(buf, len, r + 3 * kRecordSize);
                if (m2 == 1 && m3 == 1) {
                    take();
                    continue;
                }
                if ((m2 < 0 || m3 < 0) && m2 != 0 && m3 != 0) {
                    if (!final)
                        break;
                    if (m0 == 1) {
                        take();
                        continue;
                    }
                }
            }
            inStep = false;
            ++cut.stepsLost;
        }
        // Out of step: look for a boundary a little ahead.
        if (!final && len - r <= kStepMaxRest)
            break; // not every candidate can be confirmed yet
        int32_t best = -1, bestRun = 0;
        for (int32_t s = r; s < r + kStepSearch; ++s) {
            const int32_t run = RunAt(buf, len, s);
            // Where the stream breaks, the markers up to its end must do.
            const bool toEnd = final && run >= 2 && s + run * kRecordSize + kRecordMarkerPos >= len;
            if ((run >= kStepConfirm || toEnd) && run > bestRun) {
                best = s;
                bestRun = run;
            }
        }
        if (best == r) {
            inStep = true;
            continue;
        }
        if (best > r && (best - r) % kRecordSize != 0) {
            cut.skipped += best - r;
            r = best;
            inStep = true;
            continue;
        }
        // No boundary near (a stream without the marker), or one a whole
        // number of records ahead (records whose marker is missing, then
        // marked ones): cut at fixed offsets as it comes.
        take();
    }
    cut.whole = w;
    cut.restFrom = r;
    if (final) {
        cut.skipped += len - r;
        cut.restFrom = len;
    }
    return cut;
}
