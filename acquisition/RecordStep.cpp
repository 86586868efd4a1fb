#include "acquisition/RecordStep.h"

#include "acquisition/Record.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int32_t kRec = kRecordSize;
// A phase this close (bytes) to where the step was lost is taken for the
// held one moved by a lost or added byte.
constexpr int kNearPhase = 2;
// What a phase farther than that must read smoother by, per record, to be
// taken instead of a near one.
constexpr int kFarPhaseBits = 2;
// Another phase replaces the held one only when it reads smoother in this
// many comparisons in a row, by at least an eighth and this much per record.
constexpr int kSwitchStrikes = 2;
constexpr int kSwitchBits = 2;

// 1: the marker is at byte 1 of the record starting at pos; 0: it is not;
// -1: that byte has not arrived yet.
int MarkerAt(const uint8_t* buf, int32_t len, int32_t pos) {
    if (pos + kRecordMarkerPos >= len)
        return -1;
    return buf[pos + kRecordMarkerPos] == kRecordMarker ? 1 : 0;
}

struct SRun {
    int32_t length = 0; // periods from pos on that carry the marker, up to a cap
    bool toEnd = false; // and the bytes ran out right after them
};

SRun RunAt(const uint8_t* buf, int32_t len, int32_t pos, int32_t cap) {
    SRun run;
    int m = 1;
    while (run.length < cap && (m = MarkerAt(buf, len, pos + run.length * kRec)) == 1)
        ++run.length;
    run.toEnd = run.length < cap && m < 0;
    return run;
}

int BitLength(uint32_t v) {
    return v == 0 ? 0 : 32 - __builtin_clz(v);
}

int PhaseDistance(int phase) {
    return std::min(phase, int(kRec) - phase);
}

// Out of step at r: where the records begin, or -1 when no boundary is
// confirmed within the search.
int32_t FindBoundary(const uint8_t* buf, int32_t r, int32_t len, const SStepState& state,
                     EStepEnd end) {
    struct SCandidate {
        int32_t at;
        int phase;
    };
    SCandidate found[kRec];
    int n = 0;
    for (int phase = 0; phase < kRec; ++phase) {
        for (int32_t s = r + phase; s < r + kStepSearch; s += kRec) {
            const SRun run = RunAt(buf, len, s, kStepConfirm);
            // Where the bytes end here for good, the markers up to the end must do.
            if (run.length >= kStepConfirm ||
                (end != EStepEnd::More && run.toEnd && run.length >= 2)) {
                found[n++] = {s, phase};
                break;
            }
        }
    }
    if (n == 0)
        return -1;
    if (n == 1)
        return found[0].at;
    int records = kStepEvidence;
    for (int i = 0; i < n; ++i)
        records = std::min(records, int((len - found[i].at) / kRec));
    int best = -1;
    int64_t bestScore = 0;
    for (int i = 0; i < n; ++i) {
        int64_t score = records >= 2 ? StepRoughness(buf + found[i].at, records) : 0;
        if (state.nearLost && PhaseDistance(found[i].phase) > kNearPhase)
            score += int64_t(std::max(records - 1, 1)) * kFarPhaseBits;
        const bool better =
            best < 0 || score < bestScore ||
            (score == bestScore &&
             (state.nearLost ? PhaseDistance(found[i].phase) < PhaseDistance(found[best].phase)
                             : found[i].at < found[best].at));
        if (better) {
            best = i;
            bestScore = score;
        }
    }
    return found[best].at;
}

// In step at r, with kStepEvidence records ahead in the held phase and in
// every other: the move (1..14) to a phase that carries the marker as well
// and reads clearly smoother, or 0.
int OtherPhaseWins(const uint8_t* buf, int32_t r, int32_t len, SStepState& state) {
    if (RunAt(buf, len, r, kStepEvidence).length < kStepEvidence)
        return 0; // the held phase's own checks see to this stretch
    const int32_t held = StepRoughness(buf + r, kStepEvidence);
    int bestShift = 0;
    int32_t best = held;
    for (int shift = 1; shift < kRec; ++shift) {
        if (RunAt(buf, len, r + shift, kStepEvidence).length < kStepEvidence)
            continue;
        const int32_t other = StepRoughness(buf + r + shift, kStepEvidence);
        if (other < best) {
            best = other;
            bestShift = shift;
        }
    }
    if (bestShift == 0 || best * 8 >= held * 7 || held - best < kSwitchBits * (kStepEvidence - 1)) {
        state.strikes = 0;
        return 0;
    }
    if (++state.strikes < kSwitchStrikes)
        return 0;
    state.strikes = 0;
    return bestShift;
}

// In step at r, with this record's marker in place: did a byte go missing
// or come in within this record or the next? Then the records after it begin
// a byte early or late. A sample column of colons beside the marker can make
// a reading a byte off carry markers too, so each reading that carries them
// from the record after next on is read, and the smoothest wins. The first
// record of a slipped reading may be the torn one (its marker lost with the
// byte) and is not required to carry its marker.
struct SSlip {
    bool wait = false;     // the bytes to tell are still to come
    int move = 0;          // 0: held; -1, +1: the next record begins there
    bool keepThis = false; // the record at r is whole (the slip is after it)
    bool dropNext = false; // the first record of the slipped reading is torn
};
constexpr int kSlipRecords = 4;
// A change from one record to the next this many bits above the usual
// is looked into.
constexpr int kRoughJump = 12;
// Records in a row whose checksum holds before one trusts the device to send it.
constexpr int kChecksumRun = 32;
// Taken records in a row whose checksum fails before one stops trusting it.
constexpr int kChecksumMisses = 4;

SSlip FindSlip(const uint8_t* buf, int32_t r, int32_t len, bool more, bool heldToo,
               const SStepState& state) {
    SSlip result;
    int best = 0;
    int32_t bestScore = 0;
    bool any = false;
    for (int slip : {0, -1, 1}) {
        if (slip == 0 && !heldToo)
            continue;
        const int32_t a = r + kRec + slip;
        int m = 1;
        for (int k = 1; k <= kSlipRecords && m == 1; ++k)
            m = MarkerAt(buf, len, a + k * kRec);
        if (m == 0)
            continue;
        if (m < 0 || a + (kSlipRecords + 1) * kRec > len) {
            if (more) {
                result.wait = true;
                return result;
            }
            continue;
        }
        const int32_t score = StepRoughness(buf + a + kRec, kSlipRecords);
        if (!any || score < bestScore) {
            any = true;
            best = slip;
            bestScore = score;
        }
    }
    if (!any || best == 0)
        return result;
    result.move = best;
    const int32_t a = r + kRec + best;
    // Whether the byte went in this record or at the start of the next
    // shows only in bytes 0 and 14, which carry no sample: a checksum
    // there, where the device sends one, tells.
    if (state.checksummed) {
        result.keepThis = RecordChecksumOk(buf + r);
        // A record kept whole ends where a reading a byte early begins: that
        // reading's first record is the torn one.
        result.dropNext = !RecordChecksumOk(buf + a) || (result.keepThis && best < 0);
    } else {
        result.dropNext = MarkerAt(buf, len, a) != 1;
    }
    return result;
}

} // namespace

int32_t StepRoughness(const uint8_t* rec, int records) {
    int32_t bits = 0;
    for (int j = 0; j + 1 < records; ++j) {
        const uint8_t* a = rec + j * kRec;
        const uint8_t* b = a + kRec;
        for (int k = 2; k < kRec - 1; k += 2) {
            const int va = qFromBigEndian<quint16>(a + k);
            const int vb = qFromBigEndian<quint16>(b + k);
            bits += BitLength(uint32_t(std::abs(vb - va)));
        }
    }
    return bits;
}

SStepCut CutInStep(uint8_t* buf, int32_t from, int32_t len, SStepState& state, EStepEnd end,
                   int32_t* takenEnds) {
    SStepCut cut;
    const bool more = end == EStepEnd::More;
    int32_t r = from, w = from;
    int taken = 0;
    auto take = [&] {
        // Learns whether the device checksums its records.
        if (RecordChecksumOk(buf + r)) {
            state.sumRun = std::max(state.sumRun, 0) + 1;
            if (state.sumRun >= kChecksumRun)
                state.checksummed = true;
        } else {
            state.sumRun = std::min(state.sumRun, 0) - 1;
            if (state.sumRun <= -kChecksumMisses)
                state.checksummed = false;
        }
        if (r + 2 * kRec <= len) {
            const int32_t rough = StepRoughness(buf + r, 2) * 16;
            state.roughAvg16 += (rough - state.roughAvg16) / 8;
        }
        if (w != r)
            std::memmove(buf + w, buf + r, kRec);
        if (takenEnds)
            takenEnds[taken] = r + kRec;
        ++taken;
        w += kRec;
        r += kRec;
    };
    // The record a slip tore goes; the one before it stays where the
    // checksum says it is whole.
    auto moveBy = [&](const SSlip& slip) {
        const int32_t next = r + kRec + slip.move + (slip.dropNext ? kRec : 0);
        if (slip.keepThis)
            take();
        cut.skipped += next - r;
        r = next;
        ++cut.stepsLost;
    };
    auto loseStep = [&] {
        state.inStep = false;
        state.nearLost = true;
        ++cut.stepsLost;
    };
    while (len - r >= kRec) {
        if (state.inStep) {
            // Compared once kStepRecheck records have been taken, as soon as
            // the bytes ahead hold enough of every phase.
            if (state.sinceCheck >= kStepRecheck && r + (kRec - 1) + kStepEvidence * kRec <= len) {
                state.sinceCheck = 0;
                if (const int shift = OtherPhaseWins(buf, r, len, state)) {
                    cut.skipped += shift;
                    r += shift;
                    ++cut.stepsLost;
                    continue;
                }
            }
            const int m0 = MarkerAt(buf, len, r);
            const int m1 = MarkerAt(buf, len, r + kRec);
            if (m0 == 1 && m1 == 1) {
                // Only where another reading carries markers too, and the
                // next record reads far rougher than records lately do.
                const bool alias = MarkerAt(buf, len, r + 2 * kRec - 1) == 1 ||
                                   MarkerAt(buf, len, r + 2 * kRec + 1) == 1;
                const SSlip slip =
                    alias && r + 2 * kRec <= len &&
                            StepRoughness(buf + r, 2) * 16 > state.roughAvg16 + kRoughJump * 16
                        ? FindSlip(buf, r, len, more, true, state)
                        : SSlip{};
                if (slip.wait)
                    break;
                if (slip.move != 0) {
                    moveBy(slip);
                    continue;
                }
                take();
                ++state.sinceCheck;
                continue;
            }
            if (m1 < 0) {
                // The next record's marker has not arrived: decide with it.
                if (more)
                    break;
                if (m0 == 1) {
                    take();
                    ++state.sinceCheck;
                    continue;
                }
            } else if (m0 != m1) {
                // One of two markers missing: a damaged record, or the step
                // slipped here. The two periods after tell which.
                const int m2 = MarkerAt(buf, len, r + 2 * kRec);
                const int m3 = MarkerAt(buf, len, r + 3 * kRec);
                if (m2 == 1 && m3 == 1) {
                    take();
                    ++state.sinceCheck;
                    continue;
                }
                if ((m2 < 0 || m3 < 0) && m2 != 0 && m3 != 0) {
                    if (more)
                        break;
                    if (m0 == 1) {
                        take();
                        ++state.sinceCheck;
                        continue;
                    }
                }
            }
            if (m0 == 1 && m1 >= 0) {
                // This record's marker is in place, the next one's is not: a
                // byte lost or added in this record shows the next marker a
                // byte early or late. Else the damage begins after this
                // record, which is whole where its checksum says so.
                const SSlip slip = FindSlip(buf, r, len, more, false, state);
                if (slip.wait)
                    break;
                if (slip.move != 0) {
                    moveBy(slip);
                    continue;
                }
                if (state.checksummed && RecordChecksumOk(buf + r)) {
                    take();
                    loseStep();
                    continue;
                }
            }
            loseStep();
        }
        // Out of step: look for a boundary a little ahead, once the bytes
        // after it are there to tell phases apart.
        if (more && len - r < kStepMaxRest)
            break;
        int32_t at = FindBoundary(buf, r, len, state, end);
        // A boundary found just after a slip may begin with the torn record,
        // its marker shown by a column of colons beside it; where the device
        // checksums its records, that one goes too.
        for (int k = 0; state.checksummed && at >= 0 && k < 2 && at + 2 * kRec <= len &&
                        !RecordChecksumOk(buf + at) && MarkerAt(buf, len, at + kRec) == 1;
             ++k)
            at += kRec;
        if (at >= 0) {
            if (at > r && (at - r) % kRec == 0 && (state.nearLost || !state.marked)) {
                // The held phase itself, or fixed offsets before any marker
                // was seen: the records whose marker is missing keep their place.
                take();
                continue;
            }
            cut.skipped += at - r;
            r = at;
            state.inStep = true;
            state.marked = true;
            state.nearLost = false;
            state.sinceCheck = 0;
            state.strikes = 0;
            continue;
        }
        if (state.marked) {
            // No boundary near in a stream that has carried the marker:
            // whatever this is, it is no record; and what comes after it
            // owes nothing to the phase held before.
            cut.skipped += kRec;
            r += kRec;
            state.nearLost = false;
            continue;
        }
        // A stream without the marker: cut at fixed offsets as it comes.
        take();
    }
    cut.whole = w;
    cut.restFrom = r;
    if (end == EStepEnd::Break) {
        cut.skipped += len - r;
        cut.restFrom = len;
    }
    return cut;
}
